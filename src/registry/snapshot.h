// The registry snapshot file: a registry written down as JSON, which stands in for the host's
// registry when HALVANE_REGISTRY names one. Scripts and test suites outside the project write
// these files, so the format is checked strictly and every fault is named.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "registry/memory_registry.h"

namespace halvane {

// Deepest entry tree (and deepest nesting of a property value) that a snapshot may hold.
inline constexpr int kMaxSnapshotDepth = 256;

// Fills *out (a fresh registry) from snapshot text. On failure answers false with the reason in
// *error, which names the place of the fault ("line 3, column 7", or a path such as
// root.children[1].properties) but not the file.
bool ParseSnapshot(std::string_view text, MemoryRegistry* out, std::string* error);

// The snapshot text of a registry: the same classes, entries, properties, driver statuses and
// received settings, so that parsing it again gives the same registry.
std::string SerializeSnapshot(const MemoryRegistry& registry);

// Which file a path named when it was read, to notice that it has been replaced since.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Replaces the file at path with text without ever leaving it lost or half-written: a temporary
// file in the same folder is written, flushed to disk and renamed over the original, keeping the
// original's permissions and owner. With expected, a file that is no longer the one expected (it
// was rewritten or replaced by someone else) is left alone and the save fails, so that their
// change is not lost; on success *expected becomes the new file's identity. On failure the
// original is untouched and *error says why.
bool ReplaceFileAtomically(const std::string& path, std::string_view text, std::string* error,
                           FileIdentity* expected = nullptr);

// Files larger than this are not snapshots anyone wrote by hand or by script.
inline constexpr std::int64_t kMaxSnapshotBytes = std::int64_t{1} << 30;

// A registry loaded from a snapshot file whose driver records the settings written to an entry
// and saves the file. A save that fails undoes the record and answers kRegistryIoError.
// On failure answers nullptr with "<path>: <reason>" in *error.
std::unique_ptr<MemoryRegistry> LoadSnapshotFile(const std::string& path, std::string* error);

}  // namespace halvane
