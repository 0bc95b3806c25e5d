#include "check/check_scope.h"

#include <utility>

#include "base/text.h"

namespace halvane {

std::optional<std::string> WwidKey(std::string_view text) {
  // multipath's and udev's first digit is the kind of designator the kernel's prefix names.
  static const std::pair<char, const char*> kForms[] = {
      {'3', "naa."}, {'2', "eui."}, {'1', "t10."}};
  for (const auto& [digit, prefix] : kForms) {
    if (text.size() > 1 && text[0] == digit) return WwidKey(prefix + std::string(text.substr(1)));
  }
  const std::size_t dot = text.find('.');
  const std::string kind = AsciiLower(text.substr(0, dot == std::string_view::npos ? 0 : dot + 1));
  const std::string_view rest = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  // A T10 vendor id holds the vendor's text, whose letter case is its own.
  if (kind == "t10." && !rest.empty()) return kind + std::string(rest);
  if ((kind == "naa." || kind == "eui.") && IsHexDigits(rest)) return kind + AsciiLower(rest);
  if ((kind == "uuid." || kind == "nvme.") && !rest.empty()) return kind + AsciiLower(rest);
  if (text.size() > 2 && AsciiLower(text.substr(0, 2)) == "0x" && IsHexDigits(text.substr(2)))
    return AsciiLower(text);
  return std::nullopt;
}

}  // namespace halvane
