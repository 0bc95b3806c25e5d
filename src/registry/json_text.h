// JSON strings as every document the tool writes has them.
#pragma once

#include <string>
#include <string_view>

namespace halvane {

// Appends text as a JSON string: quoted, with quotes, backslashes and control characters escaped,
// UTF-8 kept as it is, and bytes that are not UTF-8 replaced by U+FFFD, so that what comes out is
// always a JSON text whatever the host or the snapshot held.
void AppendJsonString(std::string& out, std::string_view text);

// text with every byte that is not UTF-8 replaced by U+FFFD, as AppendJsonString writes it.
std::string ValidUtf8(std::string_view text);

class Dictionary;
// A Dictionary of texts and integers (what settings are made of) as one line of JSON:
// {"Speed": "Automatic", "HardLoopID": 30}, in key order; other values show as null.
std::string JsonLine(const Dictionary& members);

}  // namespace halvane
