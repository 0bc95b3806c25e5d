#include "registry/json_text.h"

#include <cstdint>

#include <nlohmann/json.hpp>

#include "registry/property_value.h"

namespace halvane {

void AppendJsonString(std::string& out, std::string_view text) {
  // Nearly every text needs no escape and goes out as it is; the rest is left to the library.
  bool plain = IsValidUtf8(text);
  for (std::size_t i = 0; plain && i < text.size(); ++i) {
    const char c = text[i];
    plain = static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
  }
  if (!plain) {
    out.append(nlohmann::json(std::string(text))
                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    return;
  }
  out.push_back('"');
  out.append(text);
  out.push_back('"');
}

std::string ValidUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  // The library replaces what is not UTF-8 when it writes a string, and reads back what it wrote.
  const nlohmann::json replaced =
      nlohmann::json::parse(nlohmann::json(std::string(text))
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                            nullptr, false);
  return replaced.is_string() ? replaced.get<std::string>() : std::string();
}

std::string JsonLine(const Dictionary& members) {
  std::string line = "{";
  for (const auto& [key, value] : members) {
    if (line.size() > 1) line += ", ";
    AppendJsonString(line, key);
    line += ": ";
    std::int64_t number = 0;
    if (const std::string* text = value.AsString()) {
      AppendJsonString(line, *text);
    } else if (value.AsNumber() && value.AsNumber()->ToInt64(&number)) {
      line += std::to_string(number);
    } else {
      line += "null";
    }
  }
  return line + "}";
}

}  // namespace halvane
