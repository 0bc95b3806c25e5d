// The snapshot loader: bytes in, a registry or a clear error out, and a loaded registry written
// out and loaded again is the same registry.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/memory_registry.h"

using namespace halvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto first = ParseSnapshot(text);
  if (!first.ok()) {
    if (first.status().message().empty()) std::abort();
    return 0;
  }
  const std::string once = SerializeSnapshot(**first);
  const auto second = ParseSnapshot(once);
  if (!second.ok()) std::abort();
  if (SerializeSnapshot(**second) != once) std::abort();
  return 0;
}
