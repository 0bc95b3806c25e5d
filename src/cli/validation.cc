#include "cli/validation.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "registry/property_value.h"

namespace halvane {
namespace {

// Indexed by the AL_PA byte; 1 marks the 133 accepted values.
constexpr std::array<std::uint8_t, 256> kAlpaAcceptTable = {
    0, 1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1,  // 0x00
    1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1,  // 0x10
    0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,  // 0x20
    0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0,  // 0x30
    0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,  // 0x40
    0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0,  // 0x50
    0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,  // 0x60
    0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0,  // 0x70
    1, 1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1,  // 0x80
    1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1,  // 0x90
    0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,  // 0xA0
    0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0,  // 0xB0
    0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,  // 0xC0
    0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0,  // 0xD0
    1, 1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1,  // 0xE0
    1, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1,  // 0xF0
};

constexpr int kMaxHexBytes = 31;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsSeparator(char c) { return c == ' ' || c == '-' || c == ':'; }

}  // namespace

Status ParseHexBytes(const char* text, std::int64_t length, std::int32_t count, std::uint8_t* out) {
  if (text == nullptr) return kHexBadRequest;
  if (length == -1) length = static_cast<std::int64_t>(std::strlen(text));
  if (count < 1 || count > kMaxHexBytes || length < 0) return kHexBadRequest;

  const char* p = text;
  const char* const end = text + length;
  while (p < end && IsSpace(*p)) ++p;
  if (p == end) return kHexNoByte;

  std::array<std::uint8_t, kMaxHexBytes> scratch{};
  for (int i = 0; i < count; ++i) {
    if (HexDigitValue(*p) < 0) return kHexNoByte;
    unsigned value = 0;
    for (int d = 0; p < end && (d = HexDigitValue(*p)) >= 0; ++p) {
      value = value * 16 + static_cast<unsigned>(d);
      if (value > 255) return kHexByteTooLarge;
    }
    scratch[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    if (i + 1 == count) break;
    if (p == end || !IsSeparator(*p)) return kHexBadSeparator;
    ++p;
    if (p == end) return kHexNoByte;
  }
  if (out != nullptr) std::memcpy(out, scratch.data(), static_cast<std::size_t>(count));
  return Status::Ok();
}

bool IsValidWWNText(const char* text) {
  const std::size_t n = std::strlen(text);
  if (n < 15 || n > 23) return false;
  return ParseHexBytes(text, static_cast<std::int64_t>(n), 8, nullptr).ok();
}

std::uint8_t IsAcceptedALPA(std::uint8_t value) { return kAlpaAcceptTable[value]; }

std::optional<std::int32_t> ParseAlpaArgument(const char* text) {
  errno = 0;
  char* rest = nullptr;
  const long long value = std::strtoll(text, &rest, 16);
  if (errno == ERANGE || value < 1 || value > 255) return std::nullopt;
  if (IsAcceptedALPA(static_cast<std::uint8_t>(value)) == 0) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace halvane
