#include "sysfs/attribute_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    return AttributeWriteStatus(Store(folder, name, bytes));
  }

  std::vector<Status> WriteTogether(const std::vector<AttributeWrite>& writes) override {
    if (writes.size() < 2) return AttributeWriter::WriteTogether(writes);
    // Each write in a child process of its own, which answers its errno as its exit status; a
    // write that finds no process to run in is made here, in turn.
    std::vector<pid_t> children;
    std::vector<Status> statuses(writes.size());
    for (std::size_t i = 0; i < writes.size(); ++i) {
      const pid_t child = fork();
      if (child == 0) {
        const int error = Store(writes[i].folder, writes[i].name, writes[i].bytes);
        _exit(error == kNotAnAttribute ? 255 : error & 0xFF);
      }
      if (child < 0) statuses[i] = Write(writes[i].folder, writes[i].name, writes[i].bytes);
      children.push_back(child);
    }
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (children[i] < 0) continue;
      int wstatus = 0;
      while (waitpid(children[i], &wstatus, 0) < 0 && errno == EINTR) {
      }
      const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : EIO;
      statuses[i] = AttributeWriteStatus(code == 255 ? kNotAnAttribute : code);
    }
    return statuses;
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
  // Writes bytes to the attribute; answers 0, kNotAnAttribute or an errno.
  int Store(const std::string& folder, const char* name, std::string_view bytes) {
    const int dir = Folder(folder);
    if (dir < 0) return FolderError(errno);
    // O_NONBLOCK so that a FIFO planted where an attribute should be cannot hang the run (with no
    // reader its open fails at once); O_TRUNC gives a regular file exactly the bytes, as `echo`
    // would, and changes nothing else.
    const Fd file(openat(dir, name, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.get() < 0) {
      const int error = errno;
      if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode))
        return kNotAnAttribute;
      return error;
    }
    if (fstat(file.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return kNotAnAttribute;
    return WriteAll(file.get(), bytes, ShortWrite::kFail);
  }

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

std::vector<Status> AttributeWriter::WriteTogether(const std::vector<AttributeWrite>& writes) {
  std::vector<Status> statuses;
  for (const AttributeWrite& w : writes) statuses.push_back(Write(w.folder, w.name, w.bytes));
  return statuses;
}

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
