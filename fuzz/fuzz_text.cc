// Each input is written to a file in a folder of the process's own, which is removed when the
// process ends.
#include "fuzz_text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "registry/snapshot.h"

namespace halvane {

StatusOr<std::unique_ptr<DeviceRegistry>> LoadFuzzText(std::string_view text) {
  static const std::string folder = [] {
    // In memory where the system has a file system there: every input is a file written.
    const std::filesystem::path shm = "/dev/shm";
    std::string pattern =
        ((std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path()) /
         "halvane-fuzz-XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  // Registered once the folder's name is made, so that it runs before the name is let go.
  static const int removed = std::atexit([] { std::filesystem::remove_all(folder); });
  (void)removed;
  const std::string path = folder + "/snapshot.json";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
  return LoadSnapshotFile(path, RegistryUse::kRead);
}

}  // namespace halvane
