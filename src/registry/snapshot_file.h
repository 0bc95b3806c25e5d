// The snapshot file as a run holds it, and its atomic replacement: a save writes a temporary
// file beside it and renames it over the original, under the writers' lock.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "base/file_io.h"
#include "registry/device_registry.h"

namespace halvane {

// Files larger than this are not snapshots anyone wrote by hand or by script.
inline constexpr std::int64_t kMaxSnapshotBytes = std::int64_t{1} << 30;

// Which file a name stood for when it was read, and what it held: a file replaced or rewritten
// since then is someone else's.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const FileIdentity&) const = default;
  bool SameFile(const struct stat& info) const {
    return device == static_cast<std::uint64_t>(info.st_dev) &&
           inode == static_cast<std::uint64_t>(info.st_ino);
  }
};

// The snapshot file as a run holds it: the folder it was read in (a descriptor, so that a save
// lands there even if the path is redirected meanwhile), the file read, and the writers' lock.
class SnapshotFile {
 public:
  // Opens the file that path names, after its links. For a writer the file is locked first and
  // then checked to be still the one the path names: a writer that saved while this one waited
  // has replaced it, and the new one is opened instead. Failures name the path.
  Status Open(const std::string& path, RegistryUse use);
  // The next bytes of the file into buffer, and how many (0 at its end); fails when the file
  // cannot be read or has grown past the largest snapshot (the message names no path).
  StatusOr<std::size_t> ReadSome(char* buffer, std::size_t size);

  // Reads the file again from its start.
  Status Rewind();

  // Replaces the file with the text write hands its sink, as LoadSnapshotFile says: the text goes
  // to the temporary file as it is written, and is never held whole.
  using TextWriter = std::function<Status(SnapshotSink& sink)>;
  Status Save(const TextWriter& write);
  // The path as given.
  const std::string& path() const { return path_; }

 private:
  // The writers' lock on the file read, waiting for another writer at most until deadline.
  Status TakeLockBefore(std::chrono::steady_clock::time_point deadline) const;
  // Writes the text to the temporary file fd, named temp_path in messages, with the mode, owner
  // and extended attributes of the original (open as original_fd), flushed to disk and locked.
  Status WriteTemporary(int fd, const std::string& temp_path, const TextWriter& write,
                        int original_fd, const struct stat& original) const;
  Status CopyExtendedAttributes(int from, int to, const std::string& temp_path) const;

  static Status Failure(std::string reason);

  FileIdentity IdentityNow() const;

  // Whether the name in the folder, and the path as given, still stand for the file that was
  // read, as it was read.
  bool StillNamed(const FileIdentity& expected) const;

  // Notes which file is read, as it stands before the reading; refuses one too large.
  Status MeasureForRead();

  std::string path_;         // as given, for messages and to check where it leads
  std::string folder_path_;  // where the file was found, for messages
  std::string name_;         // its name in that folder
  Fd folder_;
  Fd file_;  // the file read, or the last one saved; holds the lock
  FileIdentity identity_;
  bool locked_ = false;
  std::int64_t read_so_far_ = 0;  // by ReadSome
  Status lock_failure_;           // why the lock taken at Open failed, for the save to answer
};

}  // namespace halvane
