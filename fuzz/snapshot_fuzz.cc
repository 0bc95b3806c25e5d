// The snapshot loader: bytes in, a registry or a clear error out; a loaded registry written out
// and loaded again is the same registry; the text read a few bytes at a time (lexed on a second
// thread) loads as it does whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "registry/snapshot.h"

using namespace halvane;

namespace {

// Takes the text in pieces of 1 to 16 bytes, sized by the text's first byte.
std::optional<bool> LoadInPieces(std::string_view text, MemoryRegistry* out, std::string* error) {
  const std::size_t piece = text.empty() ? 1 : 1 + static_cast<unsigned char>(text[0]) % 16;
  std::size_t at = 0;
  return ParseSnapshotChunks(
      [&](char* buffer, std::size_t size) {
        const std::size_t n = std::min({piece, size, text.size() - at});
        std::copy_n(text.data() + at, n, buffer);
        at += n;
        return static_cast<std::ptrdiff_t>(n);
      },
      out, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  MemoryRegistry first;
  std::string error;
  const bool whole = ParseSnapshot(text, &first, &error);
  MemoryRegistry pieces;
  std::string pieces_error;
  const std::optional<bool> in_pieces = LoadInPieces(text, &pieces, &pieces_error);
  if (!whole) {
    if (error.empty()) std::abort();
    if (in_pieces && (*in_pieces || pieces_error != error)) std::abort();
    return 0;
  }
  const std::string once = SerializeSnapshot(first);
  if (in_pieces != std::optional<bool>(true) || SerializeSnapshot(pieces) != once) std::abort();
  MemoryRegistry second;
  if (!ParseSnapshot(once, &second, &error)) std::abort();
  if (SerializeSnapshot(second) != once) std::abort();
  return 0;
}
