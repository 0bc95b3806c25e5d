#include "sysfs/sysfs_names.h"

namespace halvane {

std::optional<std::uint64_t> ParseHex(std::string_view text) { return ParsePrefixedHex(text, 16); }

std::optional<std::vector<std::uint64_t>> NumbersOf(std::string_view name, std::string_view prefix,
                                                    std::string_view separators) {
  if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
  name.remove_prefix(prefix.size());
  std::vector<std::uint64_t> numbers;
  for (char separator : std::string(separators) + '\0') {
    const std::size_t at = separator == '\0' ? name.size() : name.find(separator);
    if (at == std::string_view::npos) return std::nullopt;
    auto n = ParseDecimal(name.substr(0, at));
    if (!n) return std::nullopt;
    numbers.push_back(*n);
    name.remove_prefix(separator == '\0' ? at : at + 1);
  }
  return numbers;
}

bool IsPciAddress(const std::string& name) {
  if (name.size() != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') return false;
  const std::string_view text = name;
  if (!IsHexDigits(text.substr(0, 4)) || !IsHexDigits(text.substr(5, 2)) ||
      !IsHexDigits(text.substr(8, 2)))
    return false;
  return name[11] >= '0' && name[11] <= '7';
}

std::string Basename(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

PropertyValue WwnData(std::uint64_t wwn) {
  const WwnBytes bytes = WwnBytesOf(wwn);
  return PropertyValue::OfData(Data(bytes.begin(), bytes.end()));
}

PropertyValue AttributeText(std::string bytes) {
  if (IsValidUtf8(bytes)) return PropertyValue::String(std::move(bytes));
  return PropertyValue::OfData(Data(bytes.begin(), bytes.end()));
}

std::string TrimInquiryText(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

}  // namespace halvane
