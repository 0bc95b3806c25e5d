#include "registry/snapshot.h"

#include <functional>
#include <unordered_map>

#include "base/tree_walk.h"
#include "registry/snapshot_file.h"
#include "registry/snapshot_parser.h"

namespace halvane {
namespace {

using Entry = SnapshotTree::Entry;

// A registry read from a snapshot file, held as the file's SnapshotTree, whose driver saves the
// file after every write it takes.
class SnapshotRegistry : public DeviceRegistry {
 public:
  SnapshotFile& file() { return file_; }
  void Hold(SnapshotContent content) {
    content_ = std::move(content);
    handles_ = std::make_shared<std::vector<Handled>>(entries().size());
  }

  // A capture records the folders it could not list with the entry whose children they held;
  // the replay meets them where the live run met them: the root's when services are matched,
  // another entry's when its children are walked.
  StatusOr<RegistryIterator> MatchServices(std::string_view class_name) override {
    if (!entries().empty()) NoteChildrenFailuresOf(0);
    return RegistryIterator(std::make_shared<Matches>(*this, class_name));
  }
  StatusOr<RegistryIterator> ChildIterator(const RegistryEntry& entry) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    if (!at) return NotOurs();
    NoteChildrenFailuresOf(*at);
    return RegistryIterator(std::make_shared<Children>(*this, *at));
  }
  RegistryEntry ParentOf(const RegistryEntry& entry) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    if (!at || entries()[*at].parent == SnapshotTree::kNoEntry) return RegistryEntry();
    return Handle(entries()[*at].parent);
  }
  StatusOr<std::optional<PropertyValue>> ReadProperty(const RegistryEntry& entry,
                                                      std::string_view key) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    if (!at) return NotOurs();
    return tree().Find(entries()[*at].properties, key);
  }
  bool ConformsTo(const RegistryEntry& entry, std::string_view class_name) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    return at && ClassDerivesFrom(content_.classes, ClassName(*at), class_name);
  }
  // The driver: an entry whose write status is not 0 answers it and takes nothing; otherwise it
  // keeps the settings, and the file is saved with them.
  Status WriteProperties(const RegistryEntry& entry, const Dictionary& settings) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    if (!at) return NotOurs();
    Entry& written = content_.tree->entries()[*at];
    if (written.write_status != 0) return Status::Answered(written.write_status);
    auto& received = content_.tree->received_settings();
    const bool kept_before = written.received != 0;
    if (!kept_before) {
      received.emplace_back();
      written.received = static_cast<std::uint32_t>(received.size());
    }
    received[written.received - 1].push_back(settings);
    Status saved = file_.Save([this](SnapshotSink& sink) { return StreamSnapshot(sink); });
    if (!saved.ok()) {
      received[written.received - 1].pop_back();
      if (!kept_before) written.received = 0;
    }
    return saved;
  }
  StatusOr<std::string> DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                      std::string_view port_name) override {
    const std::optional<std::uint32_t> at = IndexOf(entry);
    if (!at) return NotOurs();
    StatusOr<std::string> plan = DescribeReceipt(port_name, entries()[*at].write_status, settings);
    if (!plan.ok()) return plan;
    return EscapedText(file_.path()) + ": " + *plan;
  }

  // Entry by entry, each one's values made for its writing and let go after it.
  Status StreamSnapshot(SnapshotSink& sink) override {
    SnapshotWriter writer(sink);
    // A capture of a capture, and a save, say where the host was captured (when the file says),
    // never where it was read again.
    writer.Begin(content_.classes, !entries().empty(), &content_.captured);
    if (!entries().empty()) {
      VisitTree(
          At{0},
          [this](At at) {
            return Cursor{this, at.index + 1, entries()[at.index].end};
          },
          [&](At at, std::size_t depth, std::size_t index) {
            const Entry& entry = entries()[at.index];
            const bool has_children = entry.end > at.index + 1;
            writer.Enter(
                SnapshotEntry{
                    ClassName(at.index), tree().Members(entry.properties), entry.write_status,
                    entry.received ? &tree().received_settings()[entry.received - 1] : nullptr},
                depth, index, has_children);
            if (writer.failed()) return Visit::kStop;
            return has_children ? Visit::kChildren : Visit::kSkipChildren;
          },
          [&writer](At, std::size_t depth) { writer.Leave(depth); });
    }
    return writer.Finish();
  }

  std::string WhyNoPorts() override {
    return "the snapshot " + file_.path() + " holds no controller port";
  }
  const Dictionary* Captured() const override {
    return content_.captured.empty() ? nullptr : &content_.captured;
  }

 private:
  // What a handle holds: its place in handles_, which tells its entry. An entry has one for the
  // life of the registry, as reports that compare handles expect.
  struct Handled : RegistryEntry::Impl {};
  // An entry as the tree walk takes it.
  struct At {
    std::uint32_t index = SnapshotTree::kNoEntry;
    explicit operator bool() const { return index != SnapshotTree::kNoEntry; }
  };
  // The children of an entry: each one's subtree ends where its next sibling starts.
  struct Cursor {
    const SnapshotRegistry* registry;
    std::uint32_t next;
    std::uint32_t end;
    At Next() {
      if (next >= end) return At{};
      const std::uint32_t index = next;
      next = registry->entries()[index].end;
      return At{index};
    }
  };
  class Children : public RegistryIterator::Impl {
   public:
    Children(const SnapshotRegistry& registry, std::uint32_t parent)
        : registry_(registry), cursor_{&registry, parent + 1, registry.entries()[parent].end} {}
    RegistryEntry Next() override {
      const At at = cursor_.Next();
      return at ? registry_.Handle(at.index) : RegistryEntry();
    }

   private:
    const SnapshotRegistry& registry_;
    Cursor cursor_;
  };
  // Entries in registry order whose class conforms, decided once per class.
  class Matches : public RegistryIterator::Impl {
   public:
    Matches(const SnapshotRegistry& registry, std::string_view wanted)
        : registry_(registry), wanted_(wanted) {}
    RegistryEntry Next() override {
      while (next_ < registry_.entries().size()) {
        const std::uint32_t index = next_++;
        const SnapshotTree::Word name = registry_.entries()[index].class_name;
        auto [verdict, fresh] = verdicts_.try_emplace(name, false);
        if (fresh) {
          verdict->second =
              ClassDerivesFrom(registry_.content_.classes, registry_.ClassName(index), wanted_);
        }
        if (verdict->second) return registry_.Handle(index);
      }
      return RegistryEntry();
    }

   private:
    const SnapshotRegistry& registry_;
    std::string wanted_;
    std::uint32_t next_ = 0;
    std::unordered_map<SnapshotTree::Word, bool> verdicts_;
  };

  static Status NotOurs() {
    return Status::Error(kNoDevice, "the entry is not one of this registry's");
  }
  void NoteChildrenFailuresOf(std::uint32_t index) {
    NoteChildrenFailures(tree().Find(entries()[index].properties, kReadFailuresKey));
  }
  const SnapshotTree& tree() const { return *content_.tree; }
  const std::vector<Entry>& entries() const { return content_.tree->entries(); }
  const std::string& ClassName(std::uint32_t index) const {
    return *tree().ScalarAt(entries()[index].class_name)->AsString();
  }
  // Handles share one count, held by them all: none is made or let go on its own.
  RegistryEntry Handle(std::uint32_t index) const {
    return RegistryEntry(std::shared_ptr<RegistryEntry::Impl>(handles_, &(*handles_)[index]));
  }
  std::optional<std::uint32_t> IndexOf(const RegistryEntry& entry) const {
    const auto* handled = dynamic_cast<const Handled*>(entry.impl());
    const std::less<const Handled*> before;
    if (handled == nullptr || before(handled, handles_->data()) ||
        !before(handled, handles_->data() + handles_->size())) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(handled - handles_->data());
  }

  SnapshotFile file_;
  SnapshotContent content_;
  std::shared_ptr<std::vector<Handled>> handles_;
};

class FileText : public TextSource {
 public:
  explicit FileText(SnapshotFile& file) : file_(file) {}
  StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
    return file_.ReadSome(buffer, size);
  }
  Status Rewind() override { return file_.Rewind(); }

 private:
  SnapshotFile& file_;
};

}  // namespace

StatusOr<std::unique_ptr<DeviceRegistry>> LoadSnapshotFile(const std::string& path,
                                                           RegistryUse use) {
  auto registry = std::make_unique<SnapshotRegistry>();
  if (Status opened = registry->file().Open(path, use); !opened.ok()) return opened;
  FileText text(registry->file());
  StatusOr<SnapshotContent> content = ParseSnapshotText(text);
  if (!content.ok()) return content.status().Of(path);
  content->tree->Seal();
  registry->Hold(std::move(*content));
  return std::unique_ptr<DeviceRegistry>(std::move(registry));
}

}  // namespace halvane
