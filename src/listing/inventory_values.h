// The values the inventory document gives a fleet to filter on, each from a closed, documented
// set, the same whether the registry is the live host or a snapshot of it: published texts are
// matched to the set, and a text outside it, or a kernel placeholder ("unknown", all ones), is
// no value at all.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/property_value.h"

namespace halvane {

// The range the document's schema gives an integer member; the metrics keep to it for the same
// value. A number outside it, wherever it came from (a snapshot's, a driver's), is no value at
// all, as a placeholder is.
struct IntegerRange {
  std::int64_t min;
  std::uint64_t max;
};
inline constexpr IntegerRange kCountRange{0, std::numeric_limits<std::uint64_t>::max()};
// A SCSI host number, which the kernel keeps in an unsigned int; an ANA group id and a logical
// block size, 32 bits wide too.
inline constexpr IntegerRange kUnsigned32Range{0, std::numeric_limits<std::uint32_t>::max()};
inline constexpr IntegerRange kBlockSizeRange{1, std::numeric_limits<std::uint32_t>::max()};
// An NVMe namespace id: 1 to FFFFFFFE (0 is none, FFFFFFFF all of them); a controller id, 16 bits.
inline constexpr IntegerRange kNamespaceIdRange{1, 0xFFFFFFFE};
inline constexpr IntegerRange kControllerIdRange{0, 0xFFFF};
// The integer value holds when it lies in range: nothing for another kind of value, a number given
// with a fraction or an exponent, or one outside the range.
std::optional<Number> IntegerIn(const std::optional<PropertyValue>& value, IntegerRange range);

// A port's or a remote port's state (the kernel's fc_port_state_names, or a snapshot's text for
// one of them, in any letter case and spacing): "online", "offline", "linkdown", "blocked",
// "bypassed", "diagnostics", "error", "loopback", "deleted", "marginal", "not_present".
std::optional<std::string> PortState(const std::optional<PropertyValue>& text);

// An NPIV virtual port's state (fc_vport_state_names): "active", "disabled", "linkdown",
// "initializing", "no_fabric_support", "no_fabric_resources", "fabric_logout",
// "fabric_rejected_wwn", "failed".
std::optional<std::string> VirtualPortState(const std::optional<PropertyValue>& text);

// A remote port's roles (fc_port_role_names, ", " apart): "fcp_target", "fcp_initiator",
// "ip_port", "fcp_dummy_initiator", "nvme_initiator", "nvme_target", "nvme_discovery".
std::vector<std::string> PortRoles(const std::optional<PropertyValue>& text);

// A SCSI device's state (the kernel's sdev_states): "created", "running", "cancel", "deleted",
// "quiesce", "offline", "transport_offline", "blocked", "created_blocked".
std::optional<std::string> UnitState(const std::optional<PropertyValue>& text);

// A logical unit's peripheral device type, by its number: "disk", "tape", "printer",
// "processor", "write_once", "cd_dvd", "scanner", "optical", "changer", "communications",
// "storage_array", "enclosure", "simplified_disk", "optical_card", "object_storage",
// "automation", "zoned_disk", "well_known".
std::optional<std::string> UnitType(const std::optional<PropertyValue>& number);

// A 24-bit Fibre Channel address as every SAN tool writes it: "0x010200"; nothing for all ones
// or for a number that is no such address.
std::optional<std::string> FibreChannelAddress(const std::optional<PropertyValue>& number);

// The WWID multipath and udev know a logical unit by, from the kernel's wwid: "naa.600a..." is
// "3600a...", "eui.0025..." is "20025...", "t10.ACME..." is "1ACME...".
std::optional<std::string> MultipathWwid(const std::optional<PropertyValue>& wwid);

// An NVMe controller's state (the kernel's state names): "new", "live", "resetting",
// "connecting", "deleting", "deleting_no_io", "dead".
std::optional<std::string> ControllerState(const std::optional<PropertyValue>& text);

// A namespace's asymmetric access state through a controller (the kernel's ANA state names):
// "optimized", "non_optimized", "inaccessible", "persistent_loss", "change".
std::optional<std::string> AnaState(const std::optional<PropertyValue>& text);

// An id of size bytes in lower-case hexadecimal, as NVMe tools write an NGUID or an EUI-64;
// nothing for a value of another size.
std::optional<std::string> HexId(const std::optional<PropertyValue>& bytes, std::size_t size);
// A 16-byte UUID in its canonical form, 8-4-4-4-12 lower-case hexadecimal digits.
std::optional<std::string> UuidText(const std::optional<PropertyValue>& bytes);

}  // namespace halvane
