// Snapshot text into a SnapshotTree as the text is read, a chunk at a time: the text is never held
// whole. RapidJSON reads it; a text RapidJSON refuses, or one holding what it reads otherwise
// than the format's first reader did (a zero with an exponent past 308, an escaped lone UTF-16
// surrogate, a NUL byte), is read once more from its start by nlohmann's parser, whose verdict and
// message stand: every text is taken or refused, and a refusal worded, as it always was.
#pragma once

#include <cstddef>
#include <memory>

#include "registry/device_registry.h"
#include "registry/snapshot_builder.h"
#include "registry/snapshot_tree.h"

namespace halvane {

// Where snapshot text comes from, a chunk at a time.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // The next bytes into buffer, and how many (0 at the end of the text).
  virtual StatusOr<std::size_t> Read(char* buffer, std::size_t size) = 0;
  // Starts the text again from its first byte; a source that cannot says why.
  virtual Status Rewind();
};

// A snapshot's entries and values, and its class table.
struct SnapshotContent {
  std::unique_ptr<SnapshotTree> tree;
  ClassTable classes;
  // Where, when and by what the snapshot was captured (texts: "host", "time", "version"), which
  // no run reads as the host's; empty when it does not say.
  Dictionary captured;
};

// The whole text of source, parsed and checked. A refusal says why, naming the line and column of
// a syntax error, or the path of a value that a registry cannot hold; a failed read of the source
// answers its own status.
StatusOr<SnapshotContent> ParseSnapshotText(TextSource& source);

}  // namespace halvane
