#include "support/twins.h"

#include <algorithm>
#include <stdexcept>

#include "base/file_io.h"

#include "cli/front_end.h"
#include "registry/snapshot.h"
#include "support/values.h"

namespace halvane {
namespace {

// Text in memory, handed over in pieces of at most piece bytes.
struct PiecesOfText : TextSource {
  PiecesOfText(std::string_view whole, std::size_t size) : text(whole), left(whole), piece(size) {}
  StatusOr<std::size_t> Read(char* buffer, std::size_t size) override {
    const std::size_t got = left.copy(buffer, std::min(size, piece));
    left.remove_prefix(got);
    return got;
  }
  Status Rewind() override {
    left = text;
    return Status::Ok();
  }
  std::string_view text, left;
  std::size_t piece;
};

}  // namespace

std::string testing::HostText(const std::string& entries, const std::string& classes) {
  return R"({"classes": )" + classes + R"(, "root": {"class": "Root", "children": [)" + entries +
         "]}}";
}

std::string testing::PortEntry(const std::string& characteristics, const std::string& cls) {
  return R"({"class": ")" + cls + R"(", "properties": {"Controller Characteristics": )" +
         characteristics + "}}";
}

StatusOr<SnapshotContent> testing::ParseText(std::string_view text, std::size_t piece) {
  PiecesOfText source(text, piece);
  return ParseSnapshotText(source);
}

StatusOr<std::unique_ptr<DeviceRegistry>> testing::LoadText(const TempDir& dir,
                                                            const std::string& text) {
  return LoadSnapshotFile(dir.Write("snapshot.json", text), RegistryUse::kRead);
}

Dictionary testing::Properties(const std::string& json) {
  const auto parsed = ParseText(R"({"root": {"class": "X", "properties": )" + json + "}}");
  if (!parsed.ok()) throw std::invalid_argument(parsed.status().message());
  return parsed->tree->Members(parsed->tree->entries()[0].properties);
}

RunOutcome InProcessRun::Run(std::vector<std::string> args) {
  args.insert(args.begin(), "halvane");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Services services{registry, users, ports, out, err, rescan};
  return RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
}

Status RecordingAttributeWriter::Write(const std::string& folder, const char* name,
                                       std::string_view bytes) {
  const int answer = writes.size() < answers.size() ? answers[writes.size()] : 0;
  writes.push_back({folder + "/" + name, std::string(bytes)});
  return answer == 0 ? Status::Ok() : ErrnoStatus(answer);
}

TwinRegistry::TwinRegistry(const std::string& snapshot) {
  auto loaded = testing::LoadText(dir_, snapshot);
  if (!loaded.ok()) throw std::invalid_argument(loaded.status().message());
  real_ = std::move(*loaded);
}

bool TwinRegistry::Fails(Operation op, const RegistryEntry* entry, std::string_view asked) {
  const auto failure = failures.find(op);
  if (failure == failures.end()) return false;
  const std::string& name = failure->second.second;
  return name.empty() || (entry ? real_->ConformsTo(*entry, name) : name == asked);
}

}  // namespace halvane
