#include "sysfs/attribute_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "registry/file_io.h"

namespace halvane {
namespace {

class TreeWriter : public AttributeWriter {
 public:
  TreeWriter(std::string root, TreeAccess::Resolution resolution)
      : tree_(std::move(root), resolution) {}

  Status Write(const std::string& folder, const char* name, std::string_view bytes) override {
    const int dir = Folder(folder);
    if (dir < 0) return AttributeWriteStatus(FolderError(errno));
    // O_NONBLOCK so that a FIFO planted where an attribute should be cannot hang the run (with no
    // reader its open fails at once); O_TRUNC gives a regular file exactly the bytes, as `echo`
    // would, and changes nothing else.
    const Fd file(openat(dir, name, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0) {
      const int error = errno;
      if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode))
        return AttributeWriteStatus(kNotAnAttribute);
      return AttributeWriteStatus(error);
    }
    if (fstat(file.get(), &info) != 0) return AttributeWriteStatus(errno);
    if (!S_ISREG(info.st_mode)) return AttributeWriteStatus(kNotAnAttribute);
    if (const int error = WriteAll(file.get(), bytes, ShortWrite::kFail); error != 0)
      return AttributeWriteStatus(error);
    return Status::Ok();
  }

  Status Hold(const std::string& folder) override {
    const int dir = Folder(folder);
    if (dir < 0) return AttributeWriteStatus(FolderError(errno));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kHoldWaitSeconds);
    auto pause = std::chrono::milliseconds(1);
    while (flock(dir, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) return AttributeWriteStatus(errno);
      if (std::chrono::steady_clock::now() >= deadline)
        return Status::Error(kRegistryIoError, "another run has been changing it for too long");
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(16));
    }
    return Status::Ok();
  }

 private:
  // A folder that is not there is not there; one that cannot be reached without a link, or
  // whose way leads out of the tree, is no place for a write.
  static int FolderError(int error) {
    return error == ELOOP || error == EXDEV || error == ENOTDIR ? kNotAnAttribute : error;
  }

  int Folder(const std::string& folder) {
    auto it = folders_.find(folder);
    if (it == folders_.end()) {
      Fd fd = tree_.Open(folder, O_RDONLY | O_DIRECTORY, TreeAccess::Links::kNone);
      if (fd.get() < 0) return -1;
      it = folders_.emplace(folder, std::move(fd)).first;
    }
    return it->second.get();
  }

  TreeAccess tree_;
  std::map<std::string, Fd> folders_;
};

}  // namespace

std::unique_ptr<AttributeWriter> MakeTreeWriter(std::string root,
                                                TreeAccess::Resolution resolution) {
  return std::make_unique<TreeWriter>(std::move(root), resolution);
}

Status AttributeWriteStatus(int error) {
  switch (error) {
    case 0:
      return Status::Ok();
    case kNotAnAttribute:
      return Status::Error(kRegistryUnsupported, "not a regular file inside the sysfs tree");
    case EPERM:
    case EACCES:
      return Status::Error(kRegistryNotPrivileged, std::strerror(error));
    case EINVAL:
      return Status::Error(kRegistryBadArgument, std::strerror(error));
    default:
      return Status::Error(kRegistryIoError, std::strerror(error));
  }
}

}  // namespace halvane
