#include "registry/file_io.h"

#include <unistd.h>

#include <cerrno>

namespace halvane {

void Fd::Reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int WriteAll(int fd, std::string_view bytes, ShortWrite on_short) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    const auto taken = static_cast<std::size_t>(n);
    if (taken < bytes.size() && on_short == ShortWrite::kFail) return EIO;
    bytes.remove_prefix(taken);
  }
  return 0;
}

}  // namespace halvane
