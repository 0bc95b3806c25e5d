#include "base/file_io.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
  return Status::Error(code, ErrnoText(error, what));
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
