// Replacing a file in one step: what is written goes to a new file beside it, created in the
// file's folder by descriptor, and takes the file's name by one rename in that same folder, so a
// reader sees the old file or the new one whole, never a part, and nothing is ever resolved by
// name twice. The snapshot save and the metrics file both replace their file this way.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_io.h"
#include "base/status.h"

namespace halvane {

// While a replacement runs, a file size limit makes a write fail with EFBIG instead of ending the
// process by SIGXFSZ with a temporary file left behind; and a run told to stop (SIGTERM, SIGINT,
// SIGHUP, unless they are ignored) finishes the replacement or gives it up, leaving the file
// whole and no temporary file, and only then stops, by the same signal, when this goes.
class ReplaceSignals {
 public:
  ReplaceSignals();
  ~ReplaceSignals();
  ReplaceSignals(const ReplaceSignals&) = delete;
  ReplaceSignals& operator=(const ReplaceSignals&) = delete;

  // Whether a stop was asked since this was made.
  static bool StopAsked();

 private:
  struct Saved {
    int signal;
    struct sigaction action;
  };
  void Install(int signal, const struct sigaction& action, bool only_from_default);
  std::vector<Saved> saved_;
};

// The names a temporary file is tried under, one a call: "<name>.XXXXXX" with six random letters
// by default, never ending in the file's own suffix. A test gives names of its own.
using TemporaryNames = std::function<std::string(std::string_view name)>;
std::string RandomTemporaryName(std::string_view name);

// A new file in the folder open as folder, read-write, mode 0600, under a name that names took
// from name and nothing had: created with O_CREAT|O_EXCL|O_NOFOLLOW, so a link or anything else
// planted at the name is never opened, and another name is tried (100 in all). folder_path
// names the folder in messages.
StatusOr<std::pair<Fd, std::string>> CreateTemporaryFile(int folder, std::string_view name,
                                                         std::string_view folder_path,
                                                         const TemporaryNames& names);

// Gives the temporary file temp of folder the name name by renameat in that folder, and flushes
// the folder so that the rename lasts; a failure removes temp and names temp_path.
Status RenameIntoPlace(int folder, const std::string& temp, const std::string& name,
                       const std::string& temp_path);

// A file a run replaces whole: its folder is opened when the run starts, and the file is replaced
// in that folder, whatever the folder's path leads to by then.
class ReplacedFile {
 public:
  // Opens the folder of path (its last component must not be a link) for the file named by
  // path's last component. Fails naming path.
  static StatusOr<ReplacedFile> Open(const std::string& path,
                                     TemporaryNames names = RandomTemporaryName);

  // Replaces the file with bytes, a file of mode mode owned by this process's user: written to
  // a temporary file, flushed to disk, and renamed over the file. A failure, or a stop asked
  // meanwhile, leaves the file as it was and no temporary file, and says why, naming the path.
  Status Replace(std::string_view bytes, mode_t mode) const;

  const std::string& path() const { return path_; }

 private:
  ReplacedFile(std::string path, std::string folder_path, std::string name, Fd folder,
               TemporaryNames names)
      : path_(std::move(path)),
        folder_path_(std::move(folder_path)),
        name_(std::move(name)),
        folder_(std::move(folder)),
        names_(std::move(names)) {}

  std::string path_;
  std::string folder_path_;
  std::string name_;
  Fd folder_;
  TemporaryNames names_;
};

}  // namespace halvane
