// Short ways to write registry values in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "registry/property_value.h"

namespace halvane::testing {

inline PropertyValue Str(std::string s) { return PropertyValue::String(std::move(s)); }
inline PropertyValue Num(std::int64_t v) { return PropertyValue::Int64(v); }
inline PropertyValue Bytes(std::initializer_list<std::uint8_t> b) {
  return PropertyValue::OfData(Data(b));
}
inline PropertyValue Dict(Dictionary d) { return PropertyValue::OfDictionary(std::move(d)); }

// The properties a snapshot writes as this JSON object ({"$data": "0a:0b"} for bytes).
Dictionary Properties(const std::string& json);

}  // namespace halvane::testing
