// The text rules every layer shares: the hexadecimal forms of tests/base/hex.txt, UTF-8, and the
// escaping of lines.
#include "base/text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/run_binary.h"

namespace halvane {
namespace {

// What a form gives for a text: its bytes in upper-case hexadecimal, or "refused" and the reason;
// the line form, the text as a line shows it.
std::string Parsed(const std::string& form, const std::string& text) {
  StatusOr<Data> bytes = Status::Error(kBadArgument, "");
  const auto data = [](const WwnBytes& wwn) { return Data(wwn.begin(), wwn.end()); };
  if (form == "line") {
    std::ostringstream line;
    line << Escaped{text};
    return line.str();
  }
  if (form == "wwn") {
    const StatusOr<WwnBytes> wwn = ParseWwnText(text);
    bytes = wwn.ok() ? StatusOr<Data>(data(*wwn)) : wwn.status();
  } else if (form == "number") {
    if (const auto value = ParsePrefixedHex(text, 16)) bytes = data(WwnBytesOf(*value));
  } else {
    bytes = ParseHexBytes(text, form == "data" ? kDataForm : kIdForm);
  }
  if (!bytes.ok()) return ("refused " + bytes.status().message());
  std::string hex;
  AppendHex(hex, *bytes, ' ');
  return hex;
}

TEST(Hex, FormsOfTheTable) {
  for (const auto& row : testing::Rows("base/hex.txt")) {
    const std::string got = Parsed(row.at(0), row.at(1));
    // A refusal is told by the start of its reason.
    const bool refused = row.at(2).rfind("refused", 0) == 0;
    EXPECT_EQ(refused ? got.substr(0, row[2].size()) : got, row[2])
        << row[0] << " \"" << row[1] << "\": " << got;
  }
  // A text is read to its end and no further.
  EXPECT_EQ(ParseHexBytes(std::string_view("0a0b").substr(0, 3), kDataForm).status().message(),
            "a single hexadecimal digit");
}

TEST(Utf8, Validity) {
  const std::pair<std::string, bool> texts[] = {
      {"plain", true},
      {"caf\xC3\xA9 \xF0\x9F\x92\xBE \xF4\x8F\xBF\xBF", true},  // to U+10FFFF
      {"\xC2\xA9 \xDF\xBF", true},  // the first and last lead bytes of two
      {"\xFF", false},
      {"\xC0\xAF", false},          // overlong
      {"\xC1\xBF", false},          // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},          // cut short
      {"a\x80", false},             // a continuation byte with nothing before it
  };
  for (const auto& [text, valid] : texts) EXPECT_EQ(IsValidUtf8(text), valid) << text;
}

}  // namespace
}  // namespace halvane
