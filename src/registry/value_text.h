// What the reports make of a value: its text, or the WWN it holds, whichever layout wrote it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "registry/property_value.h"

namespace halvane {

// The text of a value as a report writes it: a String, or the bytes a live host read where it
// expected text, up to the first zero character, kept by the value; nothing when it has none.
std::optional<std::string_view> TextOf(const PropertyValue* value);
std::optional<std::string_view> TextOf(const std::optional<PropertyValue>& value);

// "XX:XX:XX:XX:XX:XX:XX:XX" from eight bytes of Data, first byte first; nothing for any other
// value.
std::optional<std::string> WwnOfData(const PropertyValue& value);

// The same WWN text from a number whose lowest byte is the name's first, as the older layout keeps
// it; nothing for a value that is no integer.
std::optional<std::string> WwnOfNumber(const PropertyValue& value);

// A WWN's text from its 8 bytes ("20:00:00:25:B5:00:00:01"); nothing for all ones, which is how
// the kernel says it does not know the name, or for a value that is no WWN.
std::optional<std::string> KnownWWN(const PropertyValue* value);
std::optional<std::string> KnownWWN(const std::optional<PropertyValue>& value);

}  // namespace halvane
