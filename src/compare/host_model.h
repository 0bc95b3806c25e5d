// A host's storage as a comparison needs it: each port, remote port, path, logical unit, map and
// NVMe controller under the names that survive a reboot (WWNs, WWIDs, LUN numbers, NQNs), never
// the kernel's numbers, with the values a change window can change. Both sides of a comparison
// are read the same way, through the walks every report uses, into this model; the registry is
// let go once its model is built, so that two sides never hold two registries at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "registry/device_registry.h"

namespace halvane {

// Every text a model holds, each distinct one once: a host of 100,000 LUNs repeats its states,
// vendors and port names on every path. Id 0 is the empty text, which stands for "not
// published".
class TextPool {
 public:
  TextPool() { Id(""); }
  TextPool(const TextPool&) = delete;
  TextPool& operator=(const TextPool&) = delete;
  TextPool(TextPool&&) = default;
  TextPool& operator=(TextPool&&) = default;

  std::uint32_t Id(std::string_view text);
  std::string_view Text(std::uint32_t id) const { return texts_[id]; }

 private:
  std::deque<std::string> texts_;  // a deque, so that the index's views stay where they point
  std::unordered_map<std::string_view, std::uint32_t> index_;
};

// The values compared on each kind of entity, by name as the diff's lines and document name
// them; an entity keeps one text id per name, in this order.
inline constexpr std::array<std::string_view, 7> kPortFields = {
    "state", "speed", "topology", "fabric_name", "port_id", "al_pa", "firmware_version"};
inline constexpr std::array<std::string_view, 3> kRemoteFields = {"state", "roles", "dev_loss_tmo"};
inline constexpr std::array<std::string_view, 2> kPathFields = {"state", "access_state"};
inline constexpr std::array<std::string_view, 4> kUnitFields = {"size_bytes", "vendor", "model",
                                                                "revision"};
inline constexpr std::array<std::string_view, 1> kMapFields = {"name"};
inline constexpr std::array<std::string_view, 1> kControllerFields = {"state"};

// The link error counters whose rise the diff reports, as the kernel names them.
inline constexpr std::array<std::string_view, 6> kErrorCounters = {
    "loss_of_sync_count",    "loss_of_signal_count", "invalid_crc_count",
    "invalid_tx_word_count", "link_failure_count",   "error_frames"};

struct ModelPort {
  std::uint32_t name = 0;  // the port WWN's text
  std::array<std::uint32_t, kPortFields.size()> fields{};
  // kErrorCounters' values, where the port publishes them.
  std::array<std::uint64_t, kErrorCounters.size()> counters{};
  std::array<bool, kErrorCounters.size()> has_counter{};
};

struct ModelRemotePort {
  std::uint32_t port = 0, name = 0;
  std::array<std::uint32_t, kRemoteFields.size()> fields{};
};

// A path to a unit: a SCSI device (our port, remote port, LUN number) or a namespace as one NVMe
// controller has it (our port, remote port, the subsystem's NQN, the namespace id).
struct ModelPath {
  std::uint32_t port = 0, remote = 0, nqn = 0, address = 0;
  std::uint32_t unit = 0;   // the unit's key
  std::uint32_t block = 0;  // its block device's name, which may move between boots
  std::array<std::uint32_t, kPathFields.size()> fields{};
  // Its SCSI device runs (or its NVMe controller is live), and our port and the remote port are
  // online, as far as each says.
  bool usable = false;
};

// A logical unit, by WWID (a LUN without one by its first path), or an NVMe namespace by its id.
struct ModelUnit {
  std::uint32_t key = 0;
  bool nvme = false;
  std::array<std::uint32_t, kUnitFields.size()> fields{};
};

// A multipath map, by its uuid (or its WWID), and its paths each as "port remote LUN".
struct ModelMap {
  std::uint32_t key = 0;
  std::array<std::uint32_t, kMapFields.size()> fields{};
  std::vector<std::uint32_t> paths;
  std::uint32_t active = 0;
};

struct ModelController {
  std::uint32_t nqn = 0, port = 0, remote = 0;
  std::array<std::uint32_t, kControllerFields.size()> fields{};
};

struct HostModel {
  TextPool texts;
  std::vector<ModelPort> ports;
  std::vector<ModelRemotePort> remotes;
  std::vector<ModelPath> paths;
  std::vector<ModelUnit> units;
  std::vector<ModelMap> maps;
  std::vector<ModelController> controllers;
  std::string_view Text(std::uint32_t id) const { return texts.Text(id); }
};

// The model of what registry holds, read through the listing's walks: every port that has a
// record (each name once), and below each Fibre Channel port its remote ports, paths and NVMe
// controllers; the units joined across ports; the multipath maps.
HostModel BuildHostModel(DeviceRegistry& registry);

}  // namespace halvane
