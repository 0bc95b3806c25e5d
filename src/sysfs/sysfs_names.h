// The names and texts of a sysfs tree as the kernel writes them: folder names that carry numbers
// ("host3", "rport-3:0-1", "3:0:1:16385", PCI addresses), WWNs and ids in "0x%llx" form, and the
// paths the tree is walked by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/property_value.h"

namespace halvane {

// Names and ids as the kernel writes them ("0x%llx").
std::optional<std::uint64_t> ParseHex(std::string_view text);

// The numbers of "<prefix>A:B..." style names, apart by the separators in turn: "rport-7:0-3"
// with prefix "rport-" and separators ":-" gives 7, 0, 3.
std::optional<std::vector<std::uint64_t>> NumbersOf(std::string_view name, std::string_view prefix,
                                                    std::string_view separators);

// dddd:bb:dd.f: hexadecimal digits (the kernel writes them in lower case; either case is taken),
// a function number from 0 to 7.
bool IsPciAddress(const std::string& name);

std::string Basename(const std::string& path);
std::string Parent(const std::string& path);

// A WWN as the registry holds it: eight bytes, most significant first.
PropertyValue WwnData(std::uint64_t wwn);

// What an attribute or a device holds as text. Text that is not UTF-8 is kept as the bytes read,
// so that no report shows it as text and a snapshot of the host keeps it byte for byte (a
// snapshot's strings can only be Unicode).
PropertyValue AttributeText(std::string bytes);

// INQUIRY text without the padding the device gave it.
std::string TrimInquiryText(std::string text);

}  // namespace halvane
