#include "registry/snapshot.h"

namespace halvane {
namespace {

// A registry read from a snapshot file, which it saves after every write its driver takes.
class SnapshotRegistry : public MemoryRegistry {
 public:
  SnapshotRegistry() {
    SetDriver([this](Node& node, const Dictionary& settings) { return Record(node, settings); });
  }
  SnapshotFile& file() { return file_; }

  Status DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                       std::string* plan) override {
    Status described = MemoryRegistry::DescribeWrite(entry, settings, plan);
    if (described.ok()) *plan = file_.path() + ": " + *plan;
    return described;
  }

  Status WriteSnapshot(std::string* out) override {
    *out = SerializeSnapshot(*this);
    return Status::Ok();
  }

 private:
  Status Record(Node& node, const Dictionary& settings) {
    const bool kept_before = node.keeps_received_settings;
    if (Status recorded = RecordingDriver(node, settings); !recorded.ok()) return recorded;
    Status saved = file_.Save(SerializeSnapshot(*this));
    if (!saved.ok()) {
      node.received_settings.pop_back();
      node.keeps_received_settings = kept_before;
    }
    return saved;
  }

  SnapshotFile file_;
};

class FileText : public TextSource {
 public:
  explicit FileText(SnapshotFile& file) : file_(file) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    return file_.ReadSome(buffer, size, got);
  }

 private:
  SnapshotFile& file_;
};

}  // namespace

Status LoadSnapshotFile(const std::string& path, SnapshotUse use,
                        std::unique_ptr<DeviceRegistry>* out) {
  auto registry = std::make_unique<SnapshotRegistry>();
  if (Status opened = registry->file().Open(path, use); !opened.ok()) return opened;
  FileText text(registry->file());
  if (Status loaded = LoadSnapshotText(text, registry.get()); !loaded.ok())
    return Status::Error(loaded.code(), path + ": " + loaded.message());
  *out = std::move(registry);
  return Status::Ok();
}

}  // namespace halvane
