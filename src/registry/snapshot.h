// The registry snapshot file: a registry written down as JSON, which stands in for the host's
// registry when HALVANE_REGISTRY names one. Scripts and test suites outside the project write
// these files, so the format is checked strictly and every fault is named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
// The same, releasing the text as soon as it has been read.
bool ParseSnapshotText(std::string text, MemoryRegistry* out, std::string* error);
// The same from text read a chunk at a time by read (which answers how many bytes it put in its
// buffer, 0 at the end, -1 when it cannot), so that a large text is never held whole. Answers
// nothing, with *out untouched, when the text is not a document of values or cannot be read:
// saying where the fault lies takes the whole text, so the caller reads it whole and parses that.
// read is called from a second thread (the text is lexed there while the values are built on
// this one), one call at a time, and never after this returns.
std::optional<bool> ParseSnapshotChunks(
    const std::function<std::ptrdiff_t(char*, std::size_t)>& read, MemoryRegistry* out,
    std::string* error);

// The snapshot text of a registry: the same classes, entries, properties, driver statuses and
// received settings, so that parsing it again gives the same registry. One layout, so that a
// save changes only the lines of what changed: two spaces of indent per level, one member or
// item per line, members in the order the registry keeps them (an entry's "class", then
// "properties", "write-status", "received-settings" and "children"), and a final newline.
std::string SerializeSnapshot(const MemoryRegistry& registry);

// Files larger than this are not snapshots anyone wrote by hand or by script.
inline constexpr std::int64_t kMaxSnapshotBytes = std::int64_t{1} << 30;

enum class SnapshotUse { kRead, kReadAndWrite };

// A registry loaded from a snapshot file whose driver records the settings written to an entry
// and saves the file. A save that fails undoes the record, answers kRegistryIoError and keeps
// why for WriteFailureReason(). On failure answers nullptr with "<path>: <reason>" in *error.
//
// Saves never lose another writer's change, never land outside the folder that was read and
// never leave the file half written: a writer holds an exclusive lock on the file it read from
// before reading it (kReadAndWrite) or before saving (kRead) until the process ends; the new
// text is written to a temporary file in the same folder (reached through the folder's
// descriptor kept from the load), flushed to disk and renamed over the original, keeping its
// permissions and owner. When the path no longer names the file that was read, unchanged, the
// save is refused. Readers take no lock and always see a whole file.
std::unique_ptr<MemoryRegistry> LoadSnapshotFile(const std::string& path, std::string* error,
                                                 SnapshotUse use = SnapshotUse::kRead);

}  // namespace halvane
