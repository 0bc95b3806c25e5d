// The property table of each level of the live registry, read from the attribute files the
// kernel and the drivers publish, in the registry's vocabulary: what a snapshot would hold for
// the same host. An attribute that cannot be read, or reads as something else than it should,
// is left out, never guessed.
#pragma once

#include <cstdint>
#include <string>

#include "registry/property_value.h"
#include "sysfs/sysfs_reader.h"

namespace halvane {

// A Fibre Channel host's table: its characteristics (WWNs, state, speed, topology, AL_PA of a
// loop port, PCI port number and slot, and what scripts get beyond the port block) and the
// protocol characteristics that mark it as Fibre Channel.
PropertyValue HostTable(SysfsReader& reader, const std::string& root, const std::string& fc_folder,
                        std::uint64_t number, const std::string& name);

// A remote port's table.
PropertyValue RemotePortTable(SysfsReader& reader, const std::string& folder,
                              std::int64_t target_id);

// A logical unit's table. A unit whose folder went away since it was listed reads like one whose
// attributes are missing.
PropertyValue UnitTable(SysfsReader& reader, const std::string& folder, const std::string& name,
                        std::uint64_t lun);

}  // namespace halvane
