// Tests of the option values that must be checked before they are recorded: the port WWN of -c
// and the hard AL_PA of -a. Nothing here prints or ends the process.
#pragma once

#include <cstdint>
#include <optional>

#include "registry/status.h"

namespace halvane {

// Codes of ParseHexBytes's refusals.
inline constexpr StatusCode kHexBadRequest = -6705;
inline constexpr StatusCode kHexByteTooLarge = -6710;
inline constexpr StatusCode kHexBadSeparator = -6717;
inline constexpr StatusCode kHexNoByte = -6742;

// Reads `count` (1 to 31) bytes written as runs of hexadecimal digits separated by single
// spaces, dashes or colons, after optional leading white space. `length` is the number of bytes
// of `text` to examine, or -1 to read up to its terminating zero. Characters after the last
// wanted byte are never examined. On success, and only then, the bytes go to `out` when it is
// given.
Status ParseHexBytes(const char* text, std::int64_t length, std::int32_t count, std::uint8_t* out);

// True when a terminated text is accepted as a port WWN: 15 to 23 bytes that read as eight
// hexadecimal bytes. The text is not normalised, so only the form "xx:xx:xx:xx:xx:xx:xx:xx"
// can later match a port.
bool IsValidWWNText(const char* text);

// Nonzero when the byte is an accepted AL_PA: a value whose 8b/10b character has neutral
// disparity, except 0x00.
std::uint8_t IsAcceptedALPA(std::uint8_t value);

// The value of an -a argument: base-16 conversion as strtol does it (leading white space, a
// sign and a 0x prefix accepted, conversion stops at the first non-digit), then the range test
// 1..255 and the table. A conversion that overflows, or a value outside the range before any
// narrowing, is refused, so a long argument can never wrap around to an accepted address.
std::optional<std::int32_t> ParseAlpaArgument(const char* text);

}  // namespace halvane
