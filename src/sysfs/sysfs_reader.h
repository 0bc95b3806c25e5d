// Reading a sysfs tree: the only way the live registry, the settings driver and the rescan look
// at the tree. Attribute files are read with a size bound, never through a symbolic link of their
// own, and never opened when they are not regular files (a FIFO would block the tool, a device
// may act when it is opened): on a sysfs mount kept to itself there is nothing else to open, and
// elsewhere the folder's listing says what each name is before it is opened. Links are followed
// only beneath the root. Abstract so that a run's reads can be seen, and counted, by standing a
// twin in its place.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sysfs/tree_access.h"

namespace halvane {

// What a read of the tree answers, in three ways a caller can tell apart: the value; nothing, when
// the kernel did not publish it (ENOENT); or why it could not be read (Status::OfPath names what).
using Reading = StatusOr<std::optional<std::string>>;
using Listing = StatusOr<std::vector<std::string>>;

// Every path is absolute and lies in the tree.
class SysfsReader {
 public:
  virtual ~SysfsReader() = default;
  // The names in folder, sorted, "." and ".." left out; none when there is no such folder, and a
  // failure naming the folder when it cannot be listed.
  virtual Listing List(const std::string& folder) = 0;
  // The same, only the names of folders of their own (not links).
  virtual Listing ListFolders(const std::string& folder) = 0;
  // The attribute file name inside folder, at most limit bytes; nothing when it or its folder is
  // not there, and a failure naming the file when it cannot be read: not a regular file of its
  // own, holding more than limit, out of the tree, or refused by the system.
  virtual Reading Read(const std::string& folder, const char* name, std::size_t limit) = 0;
  // The first name, in sorted order, inside the subfolder name of folder (which must be a folder
  // of its own, not a link); nothing when it is missing or empty, a failure when it cannot be
  // listed. The kernel puts exactly one entry in the folders read this way (a disk's block/ and
  // scsi_generic/).
  virtual Reading FirstNameIn(const std::string& folder, const char* name) = 0;
  // The real path of path when it resolves, links and all, to a place inside the tree; nothing
  // when it (or a link on its way) is not there, and why when it cannot be resolved: a link that
  // leads out of the tree or loops, a folder that cannot be searched.
  virtual Reading Resolve(const std::string& path) = 0;
  // Whether path names a folder, following links.
  virtual bool IsFolder(const std::string& path) = 0;
  // Whether path names an entry of any kind, without following a final link.
  virtual bool Exists(const std::string& path) = 0;

  // What the registry's tables take of an attribute: a text attribute without its one trailing
  // line end, and a binary one whole; the three answers of Read.
  Reading ReadText(const std::string& folder, const char* name);
  Reading ReadBinary(const std::string& folder, const char* name);
};

// Whether a failure is the system's "no such file": what was asked for is not there.
bool IsAbsence(const Status& status);

// The failed reads met on the way of a walk that goes on past them (a folder of many entries,
// one of which could not be read), for the registry to note.
using Failures = std::vector<Status>;
// What a walk takes of a reading or a listing: its value, or nothing, with the failure added to
// failed.
std::optional<std::string> Taken(Reading reading, Failures* failed);
std::vector<std::string> Taken(Listing listing, Failures* failed);

// Reads the tree at root, a real path, never beneath it (TreeAccess): a link that leads out of
// it cannot be read. Attributes are read one folder after another (a logical unit's, then the
// next one's), so the folder last read from stays open and its files are opened relative to it.
std::unique_ptr<SysfsReader> MakeTreeReader(
    std::string root, TreeAccess::Resolution resolution = TreeAccess::Resolution::kKernel);

}  // namespace halvane
