// The small text rules that every layer shares, each written once: hexadecimal digits, numbers
// and bytes; the text of a WWN; UTF-8; and the escaping that makes bytes from a device, a driver
// or a file safe to print on a line, in a JSON document or in a Graphviz graph.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace halvane {

using Data = std::vector<std::uint8_t>;

// The value of a whole unsigned decimal text of at most 20 digits that fits 64 bits; nothing for
// anything else (a sign, a space, an empty text).
std::optional<std::uint64_t> ParseDecimal(std::string_view text);
// Whether text is one or more hexadecimal digits, of either case, and nothing else.
bool IsHexDigits(std::string_view text);
// The value of 1 to max_digits (at most 16) hexadecimal digits and nothing else.
std::optional<std::uint64_t> ParseHexNumber(std::string_view digits, std::size_t max_digits);
// The value of "0x" (or "0X") and 1 to max_digits hexadecimal digits, as the kernel and status
// texts write numbers; nothing for any other text.
std::optional<std::uint64_t> ParsePrefixedHex(std::string_view text, std::size_t max_digits);

// How a text writes bytes in hexadecimal: each byte as two digits, or as a run of digits worth at
// most FF; between two bytes one of the separators, which a form may also allow to be left out.
struct HexForm {
  bool pairs;
  std::string_view separators;
  bool separator_required;
};
// A snapshot's "$data": "0a:0B 0c0D".
inline constexpr HexForm kDataForm{true, " :", false};
// An id as the kernel prints one ("%pU", "%8ph"): "00112233-4455-...", "00 25 38 8b ...".
inline constexpr HexForm kIdForm{true, "- ", false};

// The bytes the whole text writes in form; zero bytes for an empty text.
StatusOr<Data> ParseHexBytes(std::string_view text, const HexForm& form);

// A WWN's eight bytes, first to last.
using WwnBytes = std::array<std::uint8_t, 8>;
// The bytes of a WWN's 64-bit value, most significant first.
WwnBytes WwnBytesOf(std::uint64_t wwn);
// "XX:XX:XX:XX:XX:XX:XX:XX", first byte first.
std::string WwnText(std::span<const std::uint8_t, 8> bytes);
// The eight bytes a port name is typed as: after optional white space, runs of hexadecimal
// digits worth at most FF apart by single spaces, dashes or colons ("0:1b:2-3 ..."). What follows
// the eighth byte is not looked at.
StatusOr<WwnBytes> ParseWwnText(std::string_view text);

enum class HexCase { kUpper, kLower };
// Appends bytes as pairs of hexadecimal digits, separator between two pairs when it is not '\0'.
void AppendHex(std::string& out, std::span<const std::uint8_t> bytes, char separator = '\0',
               HexCase letters = HexCase::kUpper);

// An ASCII letter in lower case, any other byte as it is: the kernel's and the registry's keywords
// are ASCII, and a byte of UTF-8 text is never taken for a letter.
constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
// text with its ASCII letters in lower case.
std::string AsciiLower(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool IsValidUtf8(std::string_view bytes);
// Appends text as a JSON string: quoted, with quotes, backslashes and control characters escaped,
// UTF-8 kept as it is, and bytes that are not UTF-8 replaced by U+FFFD, so that what comes out is
// always a JSON text whatever the host or the snapshot held.
void AppendJsonString(std::string& out, std::string_view text);

// What bytes that the tool did not write itself (a device's identification, a driver's text, a
// snapshot's key, a file's name) are escaped for: each format has its rules, and one function
// applies them all.
enum class EscapeFor {
  // A line of a report, a message, a plan or a refusal: C0 controls, DEL, the C1 controls of
  // UTF-8 and the backslash itself are written \xhh, byte by byte, so that no value can start a
  // line of its own, drive the terminal, or pass for an escape it did not hold.
  kLine,
  // A label value of the metrics' exposition format: UTF-8 (what is not becomes U+FFFD), up to
  // its first zero character, with backslash, double quote and line feed escaped as the format
  // writes them.
  kLabel,
  // A quoted string of a Graphviz DOT graph (an id or a label): UTF-8 (what is not becomes
  // U+FFFD), with a double quote and a backslash escaped as DOT writes them, '&', '<' and '>' as
  // the entities Graphviz would otherwise read in their place, and the line form's controls as
  // the text "\xhh", which Graphviz shows as \xhh rather than acting on it.
  kDot,
};
void AppendEscaped(std::string& out, std::string_view text, EscapeFor format);
// text escaped for a line.
std::string EscapedText(std::string_view text);
// `out << Escaped{text}`: text escaped for a line.
struct Escaped {
  std::string_view text;
};
std::ostream& operator<<(std::ostream& out, Escaped escaped);

}  // namespace halvane
