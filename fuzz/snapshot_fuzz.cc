// The snapshot loader: bytes in, a registry or a clear error out, and a loaded registry saved and
// loaded again saves the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_text.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto first = LoadFuzzText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!first.ok()) {
    // The file's path, then why.
    const std::string& why = first.status().message();
    const std::size_t path_end = why.find("snapshot.json: ");
    if (path_end == std::string::npos || path_end + 15 == why.size()) std::abort();
    return 0;
  }
  const StatusOr<std::string> once = (*first)->WriteSnapshot();
  if (!once.ok()) std::abort();
  const auto second = LoadFuzzText(*once);
  if (!second.ok()) std::abort();
  const StatusOr<std::string> twice = (*second)->WriteSnapshot();
  if (!twice.ok() || *twice != *once) std::abort();
  return 0;
}
