#include "cli/validation.h"

#include <array>
#include <cerrno>
#include <cstdlib>

#include "base/text.h"

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

}  // namespace

bool IsValidWwnText(std::string_view text) {
  return text.size() >= 15 && text.size() <= 23 && ParseWwnText(text).ok();
}

bool IsAcceptedALPA(std::uint8_t value) { return kAlpaAcceptTable[value] != 0; }

std::optional<std::int32_t> ParseAlpaArgument(const char* text) {
  errno = 0;
  char* rest = nullptr;
  const long long value = std::strtoll(text, &rest, 16);
  if (errno == ERANGE || value < 1 || value > 255) return std::nullopt;
  if (!IsAcceptedALPA(static_cast<std::uint8_t>(value))) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace halvane
