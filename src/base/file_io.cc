#include "base/file_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace halvane {

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string ErrnoText(int error, std::string_view what) {
  const std::string text = std::strerror(error);
  return what.empty() ? text : std::string(what) + ": " + text;
}

Status ErrnoStatus(int error, std::string_view what) {
  const StatusCode code = error == EPERM || error == EACCES ? kNotPrivileged
                          : error == EINVAL                 ? kBadArgument
                                                            : kIoError;
  return Status::SystemError(code, error, ErrnoText(error, what));
}

StatusOr<Fd> OpenRegularFile(int folder, const char* name, FileUse use) {
  const Fd looked(openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (looked.get() < 0 && errno == ENOENT)
    return Status::SystemError(kNotFound, ENOENT, ErrnoText(ENOENT));
  if (looked.get() < 0) return ErrnoStatus(errno);
  return ReopenRegularFile(looked, use);
}

namespace {
// The folder of the process's descriptors, opened once: each use of it is then one name looked
// up in it. Below 0 when it cannot be opened. "self" is resolved when it is opened, so a child
// that a fork made opens its own: through its parent's, a descriptor's number would name the
// parent's file of that number.
int descriptors_folder = -1;

void OpenDescriptorsFolder() {
  if (descriptors_folder >= 0) close(descriptors_folder);
  descriptors_folder = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int DescriptorsFolder() {
  static const bool opened = [] {
    OpenDescriptorsFolder();
    pthread_atfork(nullptr, nullptr, OpenDescriptorsFolder);
    return true;
  }();
  (void)opened;
  return descriptors_folder;
}
}  // namespace

std::optional<std::string> PathOfDescriptor(int fd) {
  if (DescriptorsFolder() < 0) return std::nullopt;
  char path[PATH_MAX];
  const ssize_t n =
      readlinkat(DescriptorsFolder(), std::to_string(fd).c_str(), path, sizeof path - 1);
  if (n <= 0 || path[0] != '/') return std::nullopt;
  std::string text(path, static_cast<std::size_t>(n));
  // The kernel's mark of an entry gone since it was opened.
  if (text.size() >= 10 && text.compare(text.size() - 10, 10, " (deleted)") == 0)
    return std::nullopt;
  return text;
}

StatusOr<Fd> ReopenRegularFile(const Fd& looked, FileUse use) {
  struct stat info {};
  if (fstat(looked.get(), &info) != 0) return ErrnoStatus(errno);
  if (!S_ISREG(info.st_mode)) return Status::Error(kUnsupported, "not a regular file");
  if (use == FileUse::kWrite && info.st_nlink != 1)
    return Status::Error(kUnsupported,
                         "a file with other names (hard links), which no attribute has");
  const int descriptors = DescriptorsFolder();
  if (descriptors < 0)
    return Status::Error(kUnsupported,
                         "/proc/self/fd, through which a file looked at is opened, "
                         "cannot be opened");
  const int flags = use == FileUse::kWrite ? O_WRONLY | O_TRUNC : O_RDONLY;
  Fd fd(openat(descriptors, std::to_string(looked.get()).c_str(), flags | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return ErrnoStatus(errno);
  return fd;
}

Status WriteAll(int fd, std::string_view bytes, ShortWrite on_short) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    const auto taken = static_cast<std::size_t>(n);
    if (taken < bytes.size() && on_short == ShortWrite::kFail) return ErrnoStatus(EIO);
    bytes.remove_prefix(taken);
  }
  return Status::Ok();
}

StatusOr<bool> LockBefore(int fd, std::chrono::steady_clock::time_point deadline) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return ErrnoStatus(errno);
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
}

}  // namespace halvane
