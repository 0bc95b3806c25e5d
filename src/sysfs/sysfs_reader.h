// Reading a sysfs tree: the only way the live registry, the settings driver and the rescan look
// at the tree. Attribute files are read with a size bound, never through a symbolic link of their
// own, and never opened when they are not regular files (OpenRegularFile: a FIFO would block the
// tool, a device may act when it is opened); links are
// followed only beneath the root. Abstract so that a run's reads can be seen, and counted, by
// standing a twin in its place.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sysfs/tree_access.h"

namespace halvane {

// Every path is absolute and lies in the tree.
class SysfsReader {
 public:
  virtual ~SysfsReader() = default;
  // The names in folder, sorted, "." and ".." left out; empty when it cannot be read.
  virtual std::vector<std::string> List(const std::string& folder) = 0;
  // The same, only the names of folders of their own (not links).
  virtual std::vector<std::string> ListFolders(const std::string& folder) = 0;
  // The attribute file name inside folder, at most limit bytes; nothing when it is not there,
  // and a failure when it cannot be read: not a regular file of its own, holding more than limit,
  // or refused by the system.
  virtual StatusOr<std::optional<std::string>> Read(const std::string& folder, const char* name,
                                                    std::size_t limit) = 0;
  // The first name, in sorted order, inside the subfolder name of folder (which must be a folder
  // of its own, not a link); nothing when it is missing or empty. The kernel puts exactly one
  // entry in the folders read this way (a disk's block/ and scsi_generic/).
  virtual std::optional<std::string> FirstNameIn(const std::string& folder, const char* name) = 0;
  // The real path of path when it resolves, links and all, to a place inside the tree; nothing
  // otherwise, and nothing for a link loop.
  virtual std::optional<std::string> Resolve(const std::string& path) = 0;
  // Whether path names a folder, following links.
  virtual bool IsFolder(const std::string& path) = 0;
  // Whether path names an entry of any kind, without following a final link.
  virtual bool Exists(const std::string& path) = 0;

  // What the registry's tables take of an attribute: a text attribute without its one trailing
  // line end, and a binary one whole. Nothing when it is not there or cannot be read: a table
  // leaves out what it cannot read, and never guesses.
  std::optional<std::string> ReadText(const std::string& folder, const char* name);
  std::optional<std::string> ReadBinary(const std::string& folder, const char* name);
};

// Reads the tree at root, a real path, never beneath it (TreeAccess): a link that leads out of
// it reads as missing. Attributes are read one folder after another (a logical unit's, then the
// next one's), so the folder last read from stays open and its files are opened relative to it.
std::unique_ptr<SysfsReader> MakeTreeReader(
    std::string root, TreeAccess::Resolution resolution = TreeAccess::Resolution::kKernel);

}  // namespace halvane
