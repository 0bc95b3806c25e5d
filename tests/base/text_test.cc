// The text rules every layer shares: the hexadecimal forms of tests/base/hex.txt, UTF-8, the
// escaping of lines and of metrics labels, all in its rows.
#include "base/text.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/run_binary.h"

namespace halvane {
namespace {

// What a form gives for a text: its bytes in upper-case hexadecimal, or "refused" and the reason;
// the line form, the text as a line shows it; the utf8 form, whether it is valid UTF-8; the
// label form, the text as a metrics label's value; the dot form, as a Graphviz string holds it.
std::string Parsed(const std::string& form, const std::string& text) {
  StatusOr<Data> bytes = Status::Error(kBadArgument, "");
  const auto data = [](const WwnBytes& wwn) { return Data(wwn.begin(), wwn.end()); };
  if (form == "utf8") return IsValidUtf8(text) ? "valid" : "invalid";
  if (form == "label" || form == "dot") {
    std::string escaped;
    AppendEscaped(escaped, text, form == "label" ? EscapeFor::kLabel : EscapeFor::kDot);
    return escaped;
  }
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

}  // namespace
}  // namespace halvane
