#include "base/text.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace halvane {
namespace {

// The value of a hexadecimal digit of either case; nothing for any other character.
std::optional<std::uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The bytes written in form at the front of *text, at most count of them (every one there is
// when count is 0), taken off *text. A byte must follow each separator; after the last byte
// wanted nothing more is looked at.
StatusOr<Data> ReadHexBytes(std::string_view* text, const HexForm& form, std::size_t count) {
  std::string_view& t = *text;
  Data bytes;
  while (count == 0 ? !t.empty() : bytes.size() < count) {
    if (!bytes.empty()) {
      const bool separated = !t.empty() && form.separators.find(t[0]) != std::string_view::npos;
      if (separated) t.remove_prefix(1);
      if (!separated && form.separator_required)
        return Status::Error(kBadArgument,
                             "no separator after byte " + std::to_string(bytes.size()));
    }
    if (t.empty() || !HexDigit(t[0]))
      return Status::Error(kBadArgument,
                           "no byte where byte " + std::to_string(bytes.size() + 1) + " should be");
    unsigned value = 0;
    if (form.pairs) {
      const auto low = t.size() > 1 ? HexDigit(t[1]) : std::nullopt;
      if (!low) return Status::Error(kBadArgument, "a single hexadecimal digit");
      value = *HexDigit(t[0]) * 16u + *low;
      t.remove_prefix(2);
    } else {
      for (std::optional<std::uint8_t> d; !t.empty() && (d = HexDigit(t[0])); t.remove_prefix(1)) {
        value = value * 16 + *d;
        if (value > 0xFF) return Status::Error(kBadArgument, "a byte above FF");
      }
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  return bytes;
}

// How many bytes at text[i] a line writes escaped: a C0 control, DEL or a backslash, or the two
// bytes of a C1 control (U+0080 to U+009F are C2 80 to C2 9F in UTF-8); 0 for a byte that stands
// as it is.
std::size_t LineEscapeLength(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x20 || c == 0x7F || c == '\\') return 1;
  if (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80)
    return 2;
  return 0;
}

// The escape of a byte in a label value; nothing for a byte that stands as it is.
std::optional<std::string_view> LabelEscape(char c) {
  if (c == '\\') return "\\\\";
  if (c == '"') return "\\\"";
  if (c == '\n') return "\\n";
  return std::nullopt;
}

// The escape of a byte in a DOT string that is not a control; nothing for any other byte.
std::optional<std::string_view> DotEscape(char c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    default:
      return std::nullopt;
  }
}

std::size_t EscapeLength(std::string_view text, std::size_t i, EscapeFor format) {
  switch (format) {
    case EscapeFor::kLine:
      return LineEscapeLength(text, i);
    case EscapeFor::kLabel:
      return LabelEscape(text[i]) ? 1 : 0;
    case EscapeFor::kDot:
      return DotEscape(text[i]) ? 1 : LineEscapeLength(text, i);
  }
  return 0;
}

}  // namespace

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

bool IsHexDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return HexDigit(c); });
}

std::optional<std::uint64_t> ParseHexNumber(std::string_view digits, std::size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits || digits.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    const auto d = HexDigit(c);
    if (!d) return std::nullopt;
    value = value << 4 | *d;
  }
  return value;
}

std::optional<std::uint64_t> ParsePrefixedHex(std::string_view text, std::size_t max_digits) {
  if (text.size() < 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return std::nullopt;
  return ParseHexNumber(text.substr(2), max_digits);
}

StatusOr<Data> ParseHexBytes(std::string_view text, const HexForm& form) {
  return ReadHexBytes(&text, form, 0);
}

WwnBytes WwnBytesOf(std::uint64_t wwn) {
  WwnBytes bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(wwn >> (56 - 8 * i));
  return bytes;
}

std::string WwnText(std::span<const std::uint8_t, 8> bytes) {
  std::string text;
  text.reserve(23);
  AppendHex(text, bytes, ':');
  return text;
}

StatusOr<WwnBytes> ParseWwnText(std::string_view text) {
  while (!text.empty() && IsSpace(text[0])) text.remove_prefix(1);
  const StatusOr<Data> bytes = ReadHexBytes(&text, HexForm{false, " -:", true}, 8);
  if (!bytes.ok()) return bytes.status();
  WwnBytes wwn;
  std::copy(bytes->begin(), bytes->end(), wwn.begin());
  return wwn;
}

void AppendHex(std::string& out, std::span<const std::uint8_t> bytes, char separator,
               HexCase letters) {
  const char* digits = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && separator != '\0') out.push_back(separator);
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

namespace {

// text with every byte that is not UTF-8 replaced by U+FFFD, as JSON documents write it.
std::string ValidUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  // The library replaces what is not UTF-8 when it writes a string, and reads back what it wrote.
  const nlohmann::json replaced =
      nlohmann::json::parse(nlohmann::json(std::string(text))
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                            nullptr, false);
  return replaced.is_string() ? replaced.get<std::string>() : std::string();
}

}  // namespace

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

void AppendEscaped(std::string& out, std::string_view text, EscapeFor format) {
  std::string valid;
  if (format == EscapeFor::kLabel) text = text.substr(0, text.find('\0'));
  if (format != EscapeFor::kLine && !IsValidUtf8(text)) text = valid = ValidUtf8(text);
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = EscapeLength(text, i, format);
    if (n == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(plain, i - plain));
    for (const char c : text.substr(i, n)) {
      if (format == EscapeFor::kLabel) {
        out.append(*LabelEscape(c));
      } else if (const auto dot = DotEscape(c); dot && format == EscapeFor::kDot) {
        out.append(*dot);
      } else {
        // DOT reads a backslash of its own as the start of an escape.
        out.append(format == EscapeFor::kDot ? "\\\\x" : "\\x");
        AppendHex(out, std::span(reinterpret_cast<const std::uint8_t*>(&c), 1), '\0',
                  HexCase::kLower);
      }
    }
    i += n;
    plain = i;
  }
  out.append(text.substr(plain));
}

std::string EscapedText(std::string_view text) {
  std::string escaped;
  AppendEscaped(escaped, text, EscapeFor::kLine);
  return escaped;
}

std::ostream& operator<<(std::ostream& out, Escaped escaped) {
  // Nearly every text needs no escape and goes out as it is.
  for (std::size_t i = 0; i < escaped.text.size(); ++i) {
    if (LineEscapeLength(escaped.text, i) != 0) return out << EscapedText(escaped.text);
  }
  return out.write(escaped.text.data(), static_cast<std::streamsize>(escaped.text.size()));
}

}  // namespace halvane
