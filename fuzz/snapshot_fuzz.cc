// The snapshot loader: bytes in, a registry or a clear error out; a loaded registry written out
// and loaded again is the same registry.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "registry/snapshot.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryRegistry first;
  std::string error;
  if (!ParseSnapshot(std::string_view(reinterpret_cast<const char*>(data), size), &first, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  const std::string once = SerializeSnapshot(first);
  MemoryRegistry second;
  if (!ParseSnapshot(once, &second, &error)) std::abort();
  if (SerializeSnapshot(second) != once) std::abort();
  return 0;
}
