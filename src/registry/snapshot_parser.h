// Snapshot text into registry values, as the text is read: the parser's events become values
// straight away (an object a Dictionary, {"$data": "<hex>"} Data), with no document in between,
// and the text is never held whole.
#pragma once

#include <cstddef>

#include "registry/memory_registry.h"

namespace halvane {

// Deepest entry tree (and deepest nesting of a property value) that a snapshot may hold.
inline constexpr int kMaxSnapshotDepth = 256;

// Where snapshot text comes from, a chunk at a time.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // The next bytes into buffer, their number in *got (0 at the end of the text).
  virtual Status Read(char* buffer, std::size_t size, std::size_t* got) = 0;
};

// A document's values, and how many containers deep it nests at its deepest.
struct SnapshotDocument {
  PropertyValue value = PropertyValue::Boolean(false);
  std::size_t depth = 0;
};

// Parses the whole text of source into *out. A refusal says why, naming the line and column of
// a syntax error, or the path of a value that a registry cannot hold; a failed read of the source
// answers its own status.
Status ParseSnapshotDocument(TextSource& source, SnapshotDocument* out);

// Fills *out (a fresh registry) from the snapshot text of source: ParseSnapshotDocument, then the
// document's entries as registry nodes.
Status LoadSnapshotText(TextSource& source, MemoryRegistry* out);

}  // namespace halvane
