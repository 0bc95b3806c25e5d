#include "registry/snapshot.h"

#include "registry/snapshot_file.h"
#include "registry/snapshot_parser.h"

namespace halvane {
namespace {

// A registry read from a snapshot file, which it saves after every write its driver takes.
class SnapshotRegistry : public MemoryRegistry {
 public:
  SnapshotRegistry() {
    SetDriver([this](Node& node, const Dictionary& settings) { return Record(node, settings); });
  }
  SnapshotFile& file() { return file_; }

  StatusOr<std::string> DescribeWrite(const RegistryEntry& entry, const Dictionary& settings,
                                      std::string_view port_name) override {
    StatusOr<std::string> plan = MemoryRegistry::DescribeWrite(entry, settings, port_name);
    if (!plan.ok()) return plan;
    return EscapedText(file_.path()) + ": " + *plan;
  }

  StatusOr<std::string> WriteSnapshot() override { return SerializeSnapshot(*this); }

  std::string WhyNoPorts() override {
    return "the snapshot " + file_.path() + " holds no controller port";
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
  StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
    return file_.ReadSome(buffer, size);
  }

 private:
  SnapshotFile& file_;
};

}  // namespace

StatusOr<std::unique_ptr<DeviceRegistry>> LoadSnapshotFile(const std::string& path,
                                                           RegistryUse use) {
  auto registry = std::make_unique<SnapshotRegistry>();
  if (Status opened = registry->file().Open(path, use); !opened.ok()) return opened;
  FileText text(registry->file());
  if (Status loaded = LoadSnapshotText(text, *registry); !loaded.ok()) return loaded.Of(path);
  return registry;
}

}  // namespace halvane
