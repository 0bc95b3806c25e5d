// Writes to the kernel's attribute files: how settings and rescans reach a driver. A write
// changes a running adapter, so it goes to exactly the file named, in one write(2) as the
// kernel's store takes it, and never to anything that is not a regular file of its own with one
// link (a link, a FIFO, a folder, a device, a file also named elsewhere), nor anywhere a link
// would lead. Abstract so that tests see every
// byte written, in order, and can make any write fail.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "sysfs/tree_access.h"

namespace halvane {

// One write of WriteTogether.
struct AttributeWrite {
  std::string folder;
  const char* name;
  std::string bytes;
};

class AttributeWriter {
 public:
  virtual ~AttributeWriter() = default;

  // Makes the writes, each as Write does, and answers one status for each, in order. Some
  // stores return only once their work is done (a host's scan returns when the scan has
  // finished): the tree's writer makes several such writes at the same time, each in a thread
  // of its own, rather than one after the other. This one makes them in turn.
  virtual std::vector<Status> WriteTogether(const std::vector<AttributeWrite>& writes);

  // Writes bytes to the attribute file name of folder, a real path in the tree. A failure says
  // why: the file is not an attribute (NotAnAttribute, or OpenRegularFile's refusal), or the
  // driver or the system refused the caller or the value (ErrnoStatus of the write).
  virtual Status Write(const std::string& folder, const char* name, std::string_view bytes) = 0;

  // Keeps folder for this run alone until the writer goes, waiting at most a minute for another
  // run that keeps it: two runs that change one host's settings do so one after the other.
  virtual Status Hold(const std::string& folder) = 0;
};

// The refusal of a write to something that is not a regular file inside the tree, with nothing
// written.
Status NotAnAttribute();

// Writes beneath root (a real path): every folder is opened beneath it with no link anywhere on
// the way (the folders written to are real paths), once for all its attributes, so that
// whatever happens to the tree meanwhile the writes go to the folder first opened. Each file is
// looked at, then opened (OpenRegularFile) and written once. A hold is an exclusive lock on the
// folder itself.
std::unique_ptr<AttributeWriter> MakeTreeWriter(
    std::string root, TreeAccess::Resolution resolution = TreeAccess::Resolution::kKernel);

}  // namespace halvane
