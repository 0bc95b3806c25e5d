// Writes to the kernel's attribute files: how settings and rescans reach a driver. A write
// changes a running adapter, so it goes to exactly the file named, in one write(2) as the
// kernel's store takes it, and never to anything that is not a regular file of its own (a link,
// a FIFO, a folder, a device). Abstract so that tests see every byte written, in order, and can
// make any write fail.
#pragma once

#include <string>
#include <string_view>

#include "registry/status.h"

namespace halvane {

// The errno a write answers for a path that is not a regular file of its own; nothing was
// written.
inline constexpr int kNotAnAttribute = -1;

class AttributeWriter {
 public:
  virtual ~AttributeWriter() = default;

  // Writes bytes to the attribute file at path; the failure says why, as AttributeWriteStatus.
  virtual Status Write(const std::string& path, std::string_view bytes) = 0;
};

// Opens the file with O_NOFOLLOW and O_NONBLOCK, checks with fstat that it is a regular file,
// then writes once.
AttributeWriter& ProcessAttributeWriter();

// The status of a write that failed with error (an errno, or kNotAnAttribute): the file is not an
// attribute (kRegistryUnsupported), the driver or the system refused the caller
// (kRegistryNotPrivileged) or the value (kRegistryBadArgument), or anything else
// (kRegistryIoError); the message says why in words.
Status AttributeWriteStatus(int error);

}  // namespace halvane
