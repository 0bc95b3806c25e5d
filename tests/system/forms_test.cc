// The texts every layer reads and writes, kept as rows of data: each row a form, a text and what
// the form gives for it (tests/base/hex.txt, tests/cli/validation.txt, tests/check/wwid_keys.txt,
// tests/sysfs/nvme_addresses.txt and tests/sysfs/pages_and_names.txt say what each form is).
#include <gtest/gtest.h>

#include <sstream>

#include "base/text.h"
#include "check/judge.h"
#include "cli/validation.h"
#include "support/run_binary.h"
#include "sysfs/scsi_pages.h"
#include "sysfs/sysfs_names.h"
#include "sysfs/sysfs_nvme.h"

namespace halvane {
namespace {

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string hex;
  AppendHex(hex, bytes, ' ');
  return hex;
}

// What a form gives for a text: bytes in upper-case hexadecimal, or "refused" and the reason.
std::string Form(const std::string& form, const std::string& text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::string out;
  if (form == "utf8") return IsValidUtf8(text) ? "valid" : "invalid";
  if (form == "valid-wwn") return IsValidWwnText(text) ? "yes" : "no";
  if (form == "pci") return IsPciAddress(text) ? "yes" : "no";
  if (form == "alpa") return std::to_string(ParseAlpaArgument(text.c_str()).value_or(-1));
  if (form == "wwid") return WwidKey(text).value_or("refused");
  if (form == "alua") return AluaSupportText(bytes, text.size()).value_or("none");
  if (form == "lun") return Hex(ScsiLunBytes(std::stoull(text)));
  if (form == "decimal")
    return ParseDecimal(text) ? std::to_string(*ParseDecimal(text)) : "refused";
  if (form == "numbers") {
    const bool rport = text[0] == 'r';
    const auto numbers = NumbersOf(text, rport ? "rport-" : "host", rport ? ":-" : "");
    for (const std::uint64_t n : numbers.value_or(std::vector<std::uint64_t>{}))
      out.append(out.empty() ? "" : " ").append(std::to_string(n));
    return numbers ? out : "none";
  }
  if (form == "nvme") {
    const auto a = ParseNvmeFcAddress(text);
    std::ostringstream names;
    if (a)
      names << std::hex << a->remote.node << ' ' << a->remote.port << ' ' << a->host.node << ' '
            << a->host.port;
    return a ? names.str() : "none";
  }
  if (form == "accepted") {
    Data accepted;
    for (int b = 0; b < 256; ++b)
      if (IsAcceptedALPA(static_cast<std::uint8_t>(b))) accepted.push_back(b);
    return Hex(accepted);
  }
  if (form == "page") {
    for (const Designator& d : ParseDeviceIdentificationPage(bytes, text.size()))
      out += (out.empty() ? "" : ", ") + std::to_string(d.code_set) + "/" +
             std::to_string(d.association) + "/" + std::to_string(d.type) + ": " + Hex(d.bytes);
    return out;
  }
  if (form == "label" || form == "dot") {
    AppendEscaped(out, text, form == "label" ? EscapeFor::kLabel : EscapeFor::kDot);
    return out;
  }
  if (form == "line") {
    std::ostringstream line;
    line << Escaped{text};
    return line.str();
  }
  if (form == "wwn") {
    const StatusOr<WwnBytes> wwn = ParseWwnText(text);
    return wwn.ok() ? Hex(*wwn) : "refused " + wwn.status().message();
  }
  if (form == "number") {
    const auto value = ParsePrefixedHex(text, 16);
    return value ? Hex(WwnBytesOf(*value)) : "refused";
  }
  EXPECT_TRUE(form == "data" || form == "id") << form;
  const StatusOr<Data> parsed = ParseHexBytes(text, form == "data" ? kDataForm : kIdForm);
  return parsed.ok() ? Hex(*parsed) : "refused " + parsed.status().message();
}

TEST(Forms, RowsOfTheTables) {
  for (const char* table : {"base/hex.txt", "cli/validation.txt", "check/wwid_keys.txt",
                            "sysfs/nvme_addresses.txt", "sysfs/pages_and_names.txt"}) {
    for (const auto& row : testing::Rows(table)) {
      const std::string got = Form(row.at(0), row.at(1));
      // A refusal is told by the start of its reason.
      const bool refused = row.at(2).rfind("refused", 0) == 0;
      EXPECT_EQ(refused ? got.substr(0, row[2].size()) : got, row[2])
          << table << ": " << row[0] << " \"" << row[1] << "\": " << got;
    }
  }
  // A text is read to its end and no further.
  EXPECT_EQ(ParseHexBytes(std::string_view("0a0b").substr(0, 3), kDataForm).status().message(),
            "a single hexadecimal digit");
}

}  // namespace
}  // namespace halvane
