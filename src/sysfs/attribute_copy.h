// How a table takes an attribute of the kernel: the value when it reads as what it should be,
// nothing when it is missing or reads as something else, and a record of the read that failed,
// kept in the table under the key the value would have had, so that no report shows a failure as
// an absence.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/property_value.h"
#include "registry/read_failures.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// What a table takes of a reading for key: its value, or nothing; a reading that failed is
// recorded in table, for key, and is nothing here.
std::optional<std::string> Kept(Reading reading, std::string_view key, Dictionary* table);
// The names of a listing, or none; a listing that failed is recorded in table, for key.
std::vector<std::string> Kept(Listing listing, std::string_view key, Dictionary* table);

// An attribute of folder under key, when it reads as what it should be: a text, an unsigned
// decimal.
void CopyText(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
              Dictionary* table);
void CopyNumber(SysfsReader& reader, const std::string& folder, const char* file, const char* key,
                Dictionary* table);
// The device-mapper multipath map that holds the block device in folder (disk), as a
// kMultipathMapKey Dictionary: the first of its holders whose dm uuid names a multipath map.
void CopyHoldingMap(SysfsReader& reader, const std::string& disk, Dictionary* table);
// The size of the block device in folder, which the kernel counts in 512-byte sectors whatever
// the logical block size, in bytes under kCapacityKey.
void CopyCapacity(SysfsReader& reader, const std::string& folder, Dictionary* table);

}  // namespace halvane
