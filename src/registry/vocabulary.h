// The registry's vocabulary: the class names of its entries, the keys of their property tables
// and of the settings written back, the keys of the normalised port record, and how the texts of
// a few values read. Every layer that reads or builds registry tables names them from here, so
// that a key or a form is spelt once.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace halvane {

// Classes. The Kestrit and Vorla classes are those that drivers publish; the Linux classes are
// the live sysfs backend's, each declared as deriving from the class the reports look for.
inline constexpr char kScsiControllerClass[] = "KestritSCSIParallelInterfaceController";
inline constexpr char kUserControllerClass[] = "KestritUserSCSIParallelInterfaceController";
inline constexpr char kFusionControllerClass[] = "VorlaLSIFusionMPT";
inline constexpr char kScsiDeviceClass[] = "KestritSCSIParallelInterfaceDevice";
inline constexpr char kScsiTargetClass[] = "KestritSCSITargetDevice";
inline constexpr char kSysfsRootClass[] = "LinuxSysfsRoot";
inline constexpr char kSysfsHostClass[] = "LinuxFibreChannelHost";
inline constexpr char kSysfsRemotePortClass[] = "LinuxFibreChannelRemotePort";
inline constexpr char kSysfsTargetClass[] = "LinuxSCSITarget";
inline constexpr char kSysfsLogicalUnitClass[] = "LinuxSCSILogicalUnit";
inline constexpr char kSysfsMultipathMapClass[] = "LinuxMultipathMap";
// An NVMe controller reached through a Fibre Channel host, and one of its namespaces. They derive
// from nothing the SCSI reports look for, so those pass them by.
inline constexpr char kSysfsNvmeControllerClass[] = "LinuxNVMeController";
inline constexpr char kSysfsNamespaceClass[] = "LinuxNVMeNamespace";

// Keys of the entries' property tables and of the Dictionaries inside them.
inline constexpr char kControllerCharacteristicsKey[] = "Controller Characteristics";
inline constexpr char kProtocolCharacteristicsKey[] = "Protocol Characteristics";
inline constexpr char kPhysicalInterconnectKey[] = "Physical Interconnect";
inline constexpr char kPortStatusKey[] = "Port Status";
inline constexpr char kPortStateKey[] = "Port State";
inline constexpr char kPortDescriptionKey[] = "Port Description";
inline constexpr char kPortNumberKey[] = "Port Number";
inline constexpr char kAlpaKey[] = "AL_PA";
inline constexpr char kPortHardLoopIdKey[] = "Port Hard Loop ID";
inline constexpr char kPortSpeedKey[] = "Port Speed";
inline constexpr char kPortTopologyKey[] = "Port Topology";
inline constexpr char kSlotKey[] = "Slot";
inline constexpr char kSlotNameKey[] = "VORLA,slot-name";  // an ancestor's, as Data
inline constexpr char kPortWorldWideNameKey[] = "Port World Wide Name";
inline constexpr char kWorldWidePortNameKey[] = "World Wide Port Name";
inline constexpr char kNodeWorldWideNameKey[] = "Node World Wide Name";
inline constexpr char kCablingTypeKey[] = "Fibre Channel Cabling Type";
inline constexpr char kScsiHostNumberKey[] = "SCSI Host Number";
inline constexpr char kDriverNameKey[] = "Driver Name";
inline constexpr char kDriverVersionKey[] = "Driver Version";
inline constexpr char kFirmwareVersionKey[] = "Firmware Version";
inline constexpr char kPortIdKey[] = "Port ID";
inline constexpr char kFabricNameKey[] = "Fabric Name";
inline constexpr char kSupportedSpeedsKey[] = "Supported Speeds";
inline constexpr char kSymbolicNameKey[] = "Symbolic Name";
inline constexpr char kPhysicalPortWorldWideNameKey[] = "Physical Port World Wide Name";
inline constexpr char kPhysicalScsiHostNumberKey[] = "Physical SCSI Host Number";
inline constexpr char kStatisticsKey[] = "Statistics";
inline constexpr char kModelKey[] = "Model";
inline constexpr char kModelDescriptionKey[] = "Model Description";
inline constexpr char kSerialNumberKey[] = "Serial Number";
inline constexpr char kPciAddressKey[] = "PCI Address";
inline constexpr char kPciSlotKey[] = "PCI Slot";
// An Array of Dictionaries: each NPIV virtual port of a physical port, kPortWorldWideNameKey and
// kPortStateKey.
inline constexpr char kVirtualPortsKey[] = "Virtual Ports";
inline constexpr char kDeviceLossTimeoutKey[] = "Device Loss Timeout";
inline constexpr char kFastFailTimeoutKey[] = "Fast IO Fail Timeout";
inline constexpr char kScsiTargetIdKey[] = "SCSI Target ID";
inline constexpr char kRemotePortNameKey[] = "Remote Port Name";
inline constexpr char kRemoteNodeNameKey[] = "Remote Node Name";
inline constexpr char kRemotePortIdKey[] = "Remote Port ID";
inline constexpr char kRemotePortStateKey[] = "Remote Port State";
inline constexpr char kRemotePortRolesKey[] = "Remote Port Roles";
inline constexpr char kScsiTargetNameKey[] = "SCSI Target Name";
inline constexpr char kScsiAddressKey[] = "SCSI Address";
inline constexpr char kLogicalUnitNumberKey[] = "SCSI Logical Unit Number";
inline constexpr char kLogicalUnitBytesKey[] = "SCSI Logical Unit Bytes";
inline constexpr char kVendorIdentificationKey[] = "Vendor Identification";
inline constexpr char kProductIdentificationKey[] = "Product Identification";
inline constexpr char kProductRevisionLevelKey[] = "Product Revision Level";
inline constexpr char kAluaSupportKey[] = "ALUA Support";
inline constexpr char kAccessStateKey[] = "Logical Unit Access State";
inline constexpr char kLoadBalancingAlgorithmKey[] = "Load Balancing Algorithm";
inline constexpr char kUniqueIdentifierKey[] = "Logical Unit Unique Identifier";
inline constexpr char kDeviceIdentificationKey[] = "INQUIRY Device Identification";
inline constexpr char kCodeSetKey[] = "Code Set";
inline constexpr char kIdentifierTypeKey[] = "Identifier Type";
inline constexpr char kAssociationKey[] = "Association";
inline constexpr char kIdentifierKey[] = "Identifier";
inline constexpr char kScsiDeviceStateKey[] = "SCSI Device State";
inline constexpr char kBlockDeviceKey[] = "Block Device";
inline constexpr char kScsiGenericDeviceKey[] = "SCSI Generic Device";
inline constexpr char kPeripheralTypeKey[] = "Peripheral Device Type";
inline constexpr char kWorldWideIdKey[] = "World Wide Identifier";  // as the kernel writes it
inline constexpr char kQueueDepthKey[] = "Queue Depth";
inline constexpr char kCapacityKey[] = "Capacity";  // in bytes
inline constexpr char kLogicalBlockSizeKey[] = "Logical Block Size";
// The device-mapper multipath map that holds a logical unit: a Dictionary of kMapNameKey,
// kMapDeviceKey and kMapUuidKey.
inline constexpr char kMultipathMapKey[] = "Multipath Map";
inline constexpr char kMapNameKey[] = "Name";
inline constexpr char kMapDeviceKey[] = "Device";
inline constexpr char kMapUuidKey[] = "UUID";
// The WWID of the logical unit a device-mapper multipath map stands for, from the map's uuid
// ("mpath-<wwid>"); nothing for a map of any other target.
std::optional<std::string_view> MultipathMapWwid(std::string_view uuid);
// A multipath map's entry: those three, kCapacityKey, and its paths, an Array of Dictionaries of
// kScsiAddressKey, kBlockDeviceKey, kScsiDeviceStateKey and, for a path through a Fibre Channel
// port, kPortWorldWideNameKey and kRemotePortNameKey; a path that is an NVMe namespace's own disk
// has kNvmeControllerKey and kNvmeControllerStateKey in place of the SCSI address and state.
inline constexpr char kMapPathsKey[] = "Paths";

// An NVMe controller's entry: its device name, state, subsystem and host NQNs, controller id,
// kModelKey, kSerialNumberKey and kFirmwareVersionKey, and the remote port it was connected to
// (kRemotePortNameKey, kRemoteNodeNameKey and, when the host has that port, kRemotePortIdKey).
inline constexpr char kNvmeControllerKey[] = "NVMe Controller";
inline constexpr char kNvmeControllerStateKey[] = "NVMe Controller State";
inline constexpr char kSubsystemNqnKey[] = "Subsystem NQN";
inline constexpr char kHostNqnKey[] = "Host NQN";
inline constexpr char kControllerIdKey[] = "Controller ID";
// A namespace's entry: its id, the ids the kernel knows it by (kWorldWideIdKey as the kernel
// writes it, the others as Data), kUniqueIdentifierKey, kBlockDeviceKey (the device applications
// open), the controller's own path device when the namespace is multipathed, kCapacityKey,
// kLogicalBlockSizeKey, its asymmetric access state and group through this controller, and
// kMultipathMapKey when a device-mapper multipath map holds the device applications open.
inline constexpr char kNamespaceIdKey[] = "Namespace ID";
inline constexpr char kNguidKey[] = "Namespace Globally Unique Identifier";
inline constexpr char kEui64Key[] = "IEEE Extended Unique Identifier";
inline constexpr char kNamespaceUuidKey[] = "Namespace UUID";
inline constexpr char kPathDeviceKey[] = "Path Device";
inline constexpr char kAnaStateKey[] = "ANA State";
inline constexpr char kAnaGroupKey[] = "ANA Group ID";

// The value of kPhysicalInterconnectKey that marks a Fibre Channel controller.
inline constexpr char kFibreChannelInterconnect[] = "Fibre Channel Interface";

// Keys of the settings Dictionary handed to DeviceRegistry::WriteProperties.
inline constexpr char kHardLoopIdSetting[] = "HardLoopID";
inline constexpr char kSpeedSetting[] = "Speed";
inline constexpr char kTopologySetting[] = "Topology";

// The values of the speed and topology settings: the keyword typed on the command line, the text
// stored under kSpeedSetting or kTopologySetting, and for a speed its rate in Gbit/s (0 for
// automatic), which is the number drivers take.
struct SpeedKeyword {
  std::string_view typed;
  std::string_view stored;
  unsigned gbit;
};
inline constexpr SpeedKeyword kSpeedKeywords[] = {
    {"1gigabit", "1 Gigabit", 1},    {"2gigabit", "2 Gigabit", 2},
    {"4gigabit", "4 Gigabit", 4},    {"8gigabit", "8 Gigabit", 8},
    {"16gigabit", "16 Gigabit", 16}, {"32gigabit", "32 Gigabit", 32},
    {"64gigabit", "64 Gigabit", 64}, {"128gigabit", "128 Gigabit", 128},
    {"auto", "Automatic", 0},
};
struct TopologyKeyword {
  std::string_view typed;
  std::string_view stored;
};
inline constexpr TopologyKeyword kTopologyKeywords[] = {
    {"nport", "N_Port"},
    {"nlport", "NL_Port"},
    {"auto", "Automatic"},
};

// A speed's rate in Gbit/s: "8 Gbit" as the kernel writes it, "8 Gigabit" as settings do; at
// most four digits, and never 0, so that no rate is ever cut down to another.
std::optional<unsigned> SpeedGbit(std::string_view text);
// The rates of a list of speeds ("4 Gbit, 8 Gbit, 16 Gbit"), in Gbit/s, in rising order, each
// once; what is not a speed is left out.
std::vector<unsigned> SpeedsGbit(std::string_view list);

// Keys of the PortInfo record that BuildPortInfo makes, whatever layout the driver used.
inline constexpr char kRecordPortName[] = "port-name";
inline constexpr char kRecordPortStatus[] = "port-status";
inline constexpr char kRecordHardLoopId[] = "port-hard-loop-id";
inline constexpr char kRecordSpeed[] = "port-speed";
inline constexpr char kRecordTopology[] = "port-topology";
inline constexpr char kRecordPortNumber[] = "port-number";
inline constexpr char kRecordSlot[] = "slot";
inline constexpr char kRecordCableType[] = "cable-type";
inline constexpr char kRecordScsiHostNumber[] = "scsi-host-number";
inline constexpr char kRecordDriverName[] = "driver-name";
inline constexpr char kRecordDriverVersion[] = "driver-version";
inline constexpr char kRecordFirmwareVersion[] = "firmware-version";
inline constexpr char kRecordPortId[] = "port-id";
inline constexpr char kRecordFabricName[] = "fabric-name";
inline constexpr char kRecordSupportedSpeeds[] = "supported-speeds";
inline constexpr char kRecordSymbolicName[] = "symbolic-name";
inline constexpr char kRecordPhysicalPortName[] = "physical-port-name";
inline constexpr char kRecordPhysicalScsiHostNumber[] = "physical-scsi-host-number";
inline constexpr char kRecordStatistics[] = "statistics";
inline constexpr char kRecordModel[] = "model";
inline constexpr char kRecordModelDescription[] = "model-description";
inline constexpr char kRecordSerialNumber[] = "serial-number";
inline constexpr char kRecordPciAddress[] = "pci-address";
inline constexpr char kRecordPciSlot[] = "pci-slot";
inline constexpr char kRecordVirtualPorts[] = "virtual-ports";

// What a port block, the document and the metrics show for a port whose name is not a WWN.
inline constexpr char kUnreadablePortName[] = "invalid";
// The slot of a port in the nested layout, when no ancestor names one, and when the name an
// ancestor gives is not text.
inline constexpr char kBuiltInSlot[] = "built-in";
inline constexpr char kUnreadableSlot[] = "bad";

}  // namespace halvane
