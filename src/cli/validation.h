// Tests of the option values that must be checked before they are recorded: the port WWN of -c
// and the hard AL_PA of -a. Nothing here prints or ends the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace halvane {

// True when a text is accepted as a port WWN: 15 to 23 bytes that read as eight hexadecimal
// bytes (ParseWwnText). The text is not normalised, so only the form "xx:xx:xx:xx:xx:xx:xx:xx"
// can later match a port.
bool IsValidWwnText(std::string_view text);

// True when the byte is an accepted AL_PA: a value whose 8b/10b character has neutral
// disparity, except 0x00.
bool IsAcceptedALPA(std::uint8_t value);

// The value of an -a argument: base-16 conversion as strtol does it (leading white space, a
// sign and a 0x prefix accepted, conversion stops at the first non-digit), then the range test
// 1..255 and the table. A conversion that overflows, or a value outside the range before any
// narrowing, is refused, so a long argument can never wrap around to an accepted address.
std::optional<std::int32_t> ParseAlpaArgument(const char* text);

}  // namespace halvane
