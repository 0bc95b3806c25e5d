#include "compare/host_diff.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <tuple>
#include <unordered_map>

namespace halvane {

std::string_view LevelName(DiffLevel level) {
  static constexpr std::array<std::string_view, 7> kNames = {
      "port", "remote_port", "nvme_controller", "path", "lun", "namespace", "map"};
  return kNames[static_cast<std::size_t>(level)];
}

std::string_view KindName(DiffKind kind) {
  static constexpr std::array<std::string_view, 6> kNames = {"new",     "removed", "lost",
                                                             "changed", "moved",   "rose"};
  return kNames[static_cast<std::size_t>(kind)];
}

namespace {

// Calls visit(before, after) for each pair of items of the same key, and each item of one side
// only with the other nullptr; in the order of the keys, items of one key paired in turn.
template <typename T, typename KeyOf, typename Visit>
void Join(const HostModel& a, const std::vector<T>& as, const HostModel& b,
          const std::vector<T>& bs, KeyOf key_of, Visit visit) {
  const auto sorted = [&](const HostModel& model, const std::vector<T>& items) {
    std::vector<std::uint32_t> order(items.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
      return key_of(model, items[x]) < key_of(model, items[y]);
    });
    return order;
  };
  const std::vector<std::uint32_t> left = sorted(a, as), right = sorted(b, bs);
  std::size_t i = 0, j = 0;
  while (i < left.size() || j < right.size()) {
    if (j == right.size() ||
        (i < left.size() && key_of(a, as[left[i]]) < key_of(b, bs[right[j]]))) {
      visit(&as[left[i++]], nullptr);
    } else if (i == left.size() || key_of(b, bs[right[j]]) < key_of(a, as[left[i]])) {
      visit(nullptr, &bs[right[j++]]);
    } else {
      visit(&as[left[i++]], &bs[right[j++]]);
    }
  }
}

// A LUN number or namespace id as it sorts: decimal numbers by their value ("2" before "10"),
// then any other text (a LUN outside the peripheral address space is a WWN text).
std::pair<std::size_t, std::string_view> Numbered(std::string_view address) {
  const bool decimal =
      !address.empty() && address.find_first_not_of("0123456789") == std::string_view::npos;
  return {decimal ? address.size() : std::string_view::npos, address};
}

// The order of the lines: by port, then level, entity, kind and field.
auto Order(const Difference& d) {
  using V = std::string_view;
  return std::make_tuple(V(d.port), d.level, V(d.remote), V(d.nqn), Numbered(d.address), V(d.key),
                         d.kind, V(d.field));
}

class Comparison {
 public:
  Comparison(const HostModel& before, const HostModel& after) : a_(before), b_(after) {}

  std::vector<Difference> Run() {
    ComparePorts();
    CompareRemotes();
    CompareControllers();
    ComparePaths();
    CompareUnits();
    CompareMaps();
    // Per port first, then what spans ports.
    std::sort(out_.begin(), out_.end(), [](const Difference& x, const Difference& y) {
      if (x.port.empty() != y.port.empty()) return y.port.empty();
      return Order(x) < Order(y);
    });
    return std::move(out_);
  }

 private:
  // The fields of an entity on each side that differ, from the first-th on, as differences like
  // proto.
  template <std::size_t N>
  void Fields(const Difference& proto, const std::array<std::string_view, N>& names,
              const std::array<std::uint32_t, N>& before, const std::array<std::uint32_t, N>& after,
              std::size_t first = 0) {
    for (std::size_t i = first; i < N; ++i) {
      if (a_.Text(before[i]) == b_.Text(after[i])) continue;
      Difference& d = out_.emplace_back(proto);
      d.kind = DiffKind::kChanged;
      d.field = names[i];
      d.before = a_.Text(before[i]);
      d.after = b_.Text(after[i]);
    }
  }
  Difference& Add(const Difference& proto, DiffKind kind) {
    Difference& d = out_.emplace_back(proto);
    d.kind = kind;
    return d;
  }

  void ComparePorts() {
    const auto key = [](const HostModel& m, const ModelPort& p) { return m.Text(p.name); };
    Join(a_, a_.ports, b_, b_.ports, key, [&](const ModelPort* x, const ModelPort* y) {
      Difference proto;
      proto.level = DiffLevel::kPort;
      proto.port = x ? a_.Text(x->name) : b_.Text(y->name);
      if (!x || !y) {
        Add(proto, x ? DiffKind::kRemoved : DiffKind::kAdded);
        return;
      }
      Fields(proto, kPortFields, x->fields, y->fields);
      for (std::size_t i = 0; i < kErrorCounters.size(); ++i) {
        if (!x->has_counter[i] || !y->has_counter[i] || y->counters[i] <= x->counters[i]) continue;
        Difference& d = Add(proto, DiffKind::kRose);
        d.field = kErrorCounters[i];
        d.before = std::to_string(x->counters[i]);
        d.after = std::to_string(y->counters[i]);
        d.increase = y->counters[i] - x->counters[i];
      }
    });
  }

  void CompareRemotes() {
    const auto key = [](const HostModel& m, const ModelRemotePort& r) {
      return std::array{m.Text(r.port), m.Text(r.name)};
    };
    Join(a_, a_.remotes, b_, b_.remotes, key,
         [&](const ModelRemotePort* x, const ModelRemotePort* y) {
           Difference proto;
           proto.level = DiffLevel::kRemotePort;
           proto.port = x ? a_.Text(x->port) : b_.Text(y->port);
           proto.remote = x ? a_.Text(x->name) : b_.Text(y->name);
           if (!x || !y) {
             Add(proto, x ? DiffKind::kRemoved : DiffKind::kAdded);
           } else {
             Fields(proto, kRemoteFields, x->fields, y->fields);
           }
         });
  }

  void CompareControllers() {
    const auto key = [](const HostModel& m, const ModelController& c) {
      return std::array{m.Text(c.port), m.Text(c.remote), m.Text(c.nqn)};
    };
    Join(a_, a_.controllers, b_, b_.controllers, key,
         [&](const ModelController* x, const ModelController* y) {
           const HostModel& m = x ? a_ : b_;
           const ModelController& c = x ? *x : *y;
           Difference proto;
           proto.level = DiffLevel::kNvmeController;
           proto.port = m.Text(c.port);
           proto.remote = m.Text(c.remote);
           proto.nqn = m.Text(c.nqn);
           if (!x || !y) {
             Add(proto, x ? DiffKind::kRemoved : DiffKind::kAdded);
           } else {
             Fields(proto, kControllerFields, x->fields, y->fields);
           }
         });
  }

  void ComparePaths() {
    const auto key = [](const HostModel& m, const ModelPath& p) {
      return std::array{m.Text(p.port), m.Text(p.remote), m.Text(p.nqn), m.Text(p.address)};
    };
    Join(a_, a_.paths, b_, b_.paths, key, [&](const ModelPath* x, const ModelPath* y) {
      const HostModel& m = x ? a_ : b_;
      const ModelPath& p = x ? *x : *y;
      Difference proto;
      proto.level = DiffLevel::kPath;
      proto.port = m.Text(p.port);
      proto.remote = m.Text(p.remote);
      proto.nqn = m.Text(p.nqn);
      proto.address = m.Text(p.address);
      proto.key = m.Text(p.unit);
      if (!x || !y) {
        Difference& d = Add(proto, y           ? DiffKind::kAdded
                                   : x->usable ? DiffKind::kLost
                                               : DiffKind::kRemoved);
        (y ? d.after : d.before) = m.Text(p.block);
        return;
      }
      // A lost path's state is said once, as its loss.
      const bool lost = x->usable && !y->usable;
      if (lost) {
        Difference& d = Add(proto, DiffKind::kLost);
        d.field = kPathFields[0];
        d.before = a_.Text(x->fields[0]);
        d.after = b_.Text(y->fields[0]);
        // A device still running behind a port or remote port that went down is lost all the same.
        if (d.before == d.after) {
          d.field = "usable";
          d.before = "yes";
          d.after = "no";
        }
      }
      Fields(proto, kPathFields, x->fields, y->fields, lost ? 1 : 0);
      if (a_.Text(x->unit) != b_.Text(y->unit)) {
        Difference& d = Add(proto, DiffKind::kChanged);
        d.field = "unit";
        d.before = a_.Text(x->unit);
        d.after = b_.Text(y->unit);
      }
      if (a_.Text(x->block) != b_.Text(y->block)) {
        Difference& d = Add(proto, DiffKind::kMoved);
        d.field = "block_device";
        d.before = a_.Text(x->block);
        d.after = b_.Text(y->block);
      }
    });
  }

  // How many usable paths each unit has on one side, by key.
  static std::unordered_map<std::string_view, std::uint32_t> UsablePaths(const HostModel& m) {
    std::unordered_map<std::string_view, std::uint32_t> usable;
    for (const ModelPath& path : m.paths) usable[m.Text(path.unit)] += path.usable;
    return usable;
  }

  void CompareUnits() {
    const auto usable_a = UsablePaths(a_), usable_b = UsablePaths(b_);
    const auto key = [](const HostModel& m, const ModelUnit& u) { return m.Text(u.key); };
    Join(a_, a_.units, b_, b_.units, key, [&](const ModelUnit* x, const ModelUnit* y) {
      const ModelUnit& u = x ? *x : *y;
      Difference proto;
      proto.level = u.nvme ? DiffLevel::kNamespace : DiffLevel::kLun;
      proto.key = (x ? a_ : b_).Text(u.key);
      if (!x || !y) {
        Add(proto, x ? DiffKind::kRemoved : DiffKind::kAdded);
        return;
      }
      Fields(proto, kUnitFields, x->fields, y->fields);
      const std::uint32_t was = usable_a.at(proto.key), now = usable_b.at(proto.key);
      if (was != now) {
        Difference& d = Add(proto, DiffKind::kChanged);
        d.field = "usable_paths";
        d.before = std::to_string(was);
        d.after = std::to_string(now);
      }
    });
  }

  void CompareMaps() {
    const auto key = [](const HostModel& m, const ModelMap& map) { return m.Text(map.key); };
    Join(a_, a_.maps, b_, b_.maps, key, [&](const ModelMap* x, const ModelMap* y) {
      Difference proto;
      proto.level = DiffLevel::kMap;
      proto.key = (x ? a_ : b_).Text((x ? *x : *y).key);
      if (!x || !y) {
        Add(proto, x ? DiffKind::kRemoved : DiffKind::kAdded);
        return;
      }
      Fields(proto, kMapFields, x->fields, y->fields);
      MapPaths(proto, *x, *y);
      if (x->active != y->active) {
        Difference& d = Add(proto, DiffKind::kChanged);
        d.field = "active_paths";
        d.before = std::to_string(x->active);
        d.after = std::to_string(y->active);
      }
    });
  }

  // The paths one side of a map has and the other has not.
  void MapPaths(const Difference& proto, const ModelMap& x, const ModelMap& y) {
    std::vector<std::string_view> was, now, gone, added;
    for (std::uint32_t id : x.paths) was.push_back(a_.Text(id));
    for (std::uint32_t id : y.paths) now.push_back(b_.Text(id));
    std::sort(was.begin(), was.end());
    std::sort(now.begin(), now.end());
    std::set_difference(was.begin(), was.end(), now.begin(), now.end(), std::back_inserter(gone));
    std::set_difference(now.begin(), now.end(), was.begin(), was.end(), std::back_inserter(added));
    for (const auto& [paths, kind] :
         {std::pair{&gone, DiffKind::kRemoved}, std::pair{&added, DiffKind::kAdded}}) {
      for (std::string_view path : *paths) {
        Difference& d = Add(proto, kind);
        d.field = "path";
        (kind == DiffKind::kRemoved ? d.before : d.after) = path;
      }
    }
  }

  const HostModel& a_;
  const HostModel& b_;
  std::vector<Difference> out_;
};

}  // namespace

std::vector<Difference> CompareModels(const HostModel& before, const HostModel& after) {
  return Comparison(before, after).Run();
}

}  // namespace halvane
