// The property table of each level of the live registry, read from the attribute files the
// kernel and the drivers publish, in the registry's vocabulary: what a snapshot would hold for
// the same host. An attribute that cannot be read, or reads as something else than it should,
// is left out, never guessed, and one that could not be read is recorded as such.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "registry/property_value.h"
#include "sysfs/attribute_copy.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// A Fibre Channel host's table: its characteristics (WWNs, state, speed, topology, AL_PA of a
// loop port, PCI port number and slot, and what scripts get beyond the port block) and the
// protocol characteristics that mark it as Fibre Channel.
// Without counters, the host's statistics/ are not read.
PropertyValue HostTable(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                        std::uint64_t number, const std::string& name, bool counters = true);

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
