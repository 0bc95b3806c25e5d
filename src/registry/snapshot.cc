#include "registry/snapshot.h"

#include "registry/snapshot_file.h"

namespace halvane {
namespace {

// A registry read from a snapshot file, which it saves after every write its driver takes.
class SnapshotRegistry : public MemoryRegistry {
 public:
  SnapshotRegistry() {
    SetDriver([this](Node& node, const Dictionary& settings) { return Record(node, settings); });
  }
  SnapshotFile& file() { return file_; }
  std::string WriteFailureReason() const override { return last_write().message(); }

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

}  // namespace

std::unique_ptr<MemoryRegistry> LoadSnapshotFile(const std::string& path, std::string* error,
                                                 SnapshotUse use) {
  auto registry = std::make_unique<SnapshotRegistry>();
  SnapshotFile& file = registry->file();
  if (!file.Open(path, use, nullptr, error)) return nullptr;
  std::string reason;
  // Read as it is parsed, so that the text is never held whole beside its values; a text that
  // is refused is read again whole, to say where it is wrong.
  const std::optional<bool> loaded = ParseSnapshotChunks(
      [&file](char* buffer, std::size_t size) { return file.ReadSome(buffer, size); },
      registry.get(), &reason);
  if (loaded == std::nullopt) {
    std::string content;
    if (!file.ReadAgain(&content, error)) return nullptr;
    if (!ParseSnapshotText(std::move(content), registry.get(), &reason)) {
      *error = path + ": " + reason;
      return nullptr;
    }
  } else if (!*loaded) {
    *error = path + ": " + reason;
    return nullptr;
  }
  return registry;
}

}  // namespace halvane
