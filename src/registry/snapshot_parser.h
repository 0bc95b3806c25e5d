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
  // The next bytes into buffer, and how many (0 at the end of the text).
  virtual StatusOr<std::size_t> Read(char* buffer, std::size_t size) = 0;
};

// A document's values, and how many containers deep it nests at its deepest.
struct SnapshotDocument {
  PropertyValue value = PropertyValue::Boolean(false);
  std::size_t depth = 0;
};

// The whole text of source, parsed. A refusal says why, naming the line and column of a syntax
// error, or the path of a value that a registry cannot hold; a failed read of the source answers
// its own status.
StatusOr<SnapshotDocument> ParseSnapshotDocument(TextSource& source);

// The snapshot text of source added to registry, which must be empty: ParseSnapshotDocument,
// then the document's classes, and its entries as registry nodes.
Status LoadSnapshotText(TextSource& source, MemoryRegistry& registry);

}  // namespace halvane
