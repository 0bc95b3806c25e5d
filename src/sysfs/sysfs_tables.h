// The property table of each level of the live registry, read from the attribute files the
// kernel and the drivers publish, in the registry's vocabulary: what a snapshot would hold for
// the same host. An attribute that cannot be read, or reads as something else than it should,
// is left out, never guessed, and one that could not be read is recorded as such.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "registry/dictionary.h"
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

// A Fibre Channel host's table: its characteristics (WWNs, state, speed, topology, AL_PA of a
// loop port, PCI port number and slot, and what scripts get beyond the port block) and the
// protocol characteristics that mark it as Fibre Channel.
PropertyValue HostTable(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                        std::uint64_t number, const std::string& name);

// A remote port's table.
PropertyValue RemotePortTable(SysfsReader& reader, const std::string& folder,
                              std::int64_t target_id);

// A logical unit's values come in groups, each read only when a run asks for one of its keys: the
// text listing never reads more of a unit than it prints.
enum class UnitGroup {
  kNone,         // known without reading: the LUN, its 8-byte form, its SCSI address
  kIdentity,     // INQUIRY texts, identification page, ALUA support, access state
  kBlockDevice,  // its block device, and the multipath map that holds it
  kInventory,    // state, type, wwid, queue depth, sg device, size and block size
};
inline constexpr UnitGroup kUnitGroups[] = {UnitGroup::kIdentity, UnitGroup::kBlockDevice,
                                            UnitGroup::kInventory};

// The group a unit's key belongs to; kNone for every key no group reads.
UnitGroup UnitGroupOf(std::string_view key);

// The values of group for the logical unit in folder (a unit whose folder went away since it was
// listed reads like one whose attributes are missing), added to *table.
void AddUnitGroup(SysfsReader& reader, const std::string& folder, UnitGroup group,
                  Dictionary* table);
// What kNone holds.
Dictionary UnitBasics(const std::string& name, std::uint64_t lun);

// A multipath map's table: its name, dm device, uuid, size, and each of its paths.
PropertyValue MapTable(SysfsReader& reader, const std::string& root, const std::string& folder,
                       const std::string& device);

}  // namespace halvane
