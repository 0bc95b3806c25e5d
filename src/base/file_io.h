// The descriptor handling that every layer reading or writing a file or a driver shares: a
// descriptor that closes when it goes, errno said in words, the one way a file is opened for its
// data, the one write loop, and the one lock that waits for another process without ever blocking
// past a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"

namespace halvane {

// A descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(fd_, -1); }
  void Reset();

 private:
  int fd_;
};

// "what: <the text of error>", or the text alone when what is empty.
std::string ErrnoText(int error, std::string_view what = {});

// The status of a call that failed with error: the system refused the caller
// (kNotPrivileged) or the value (kBadArgument), or anything else (kIoError); the reason is
// ErrnoText(error, what).
Status ErrnoStatus(int error, std::string_view what = {});

// What a regular file is opened for.
enum class FileUse {
  kRead,
  kWrite,  // truncated on open, so that a file of the tree holds exactly what is written
};

// Opens the entry name of the folder open as folder for use, after looking at what it is, so that
// nothing but a regular file is ever opened for its data: the entry is opened with O_PATH and
// O_NOFOLLOW, which opens nothing (do_dentry_open, fs/open.c, returns before a file's own open
// for an O_PATH descriptor) and follows no link of its own; fstat must show a regular file, and
// for kWrite one with exactly one link, since a second name would be a way to a file elsewhere;
// only then is the same file opened again, through its descriptor in /proc/self/fd, for its data.
// A device node (which may act when opened), a FIFO, a socket, a link or a folder is refused
// unopened with kUnsupported, "not a regular file"; a file with other links, for kWrite, with
// kUnsupported too. A name that is not there answers kNotFound.
StatusOr<Fd> OpenRegularFile(int folder, const char* name, FileUse use);
// The same for an entry already opened with O_PATH (and looked at through it).
StatusOr<Fd> ReopenRegularFile(const Fd& looked, FileUse use);

// The path the system has for the entry open as fd (its link in /proc/self/fd), when it has
// one: nothing when it cannot say, or says the entry has gone.
std::optional<std::string> PathOfDescriptor(int fd);

enum class ShortWrite {
  kContinue,  // a file or a pipe: write the rest
  kFail,      // a driver attribute: its store takes the value whole or not at all, and the rest
              // written alone would read as a value of its own
};

// Writes bytes to fd, starting again after an interrupted call. A failure is ErrnoStatus of the
// failed write (EIO for a short count under ShortWrite::kFail).
Status WriteAll(int fd, std::string_view bytes, ShortWrite on_short);

// Takes an exclusive lock on fd, trying again, a little less often each time, while another
// process holds it: true once taken, false when deadline came first. Never blocks past deadline.
StatusOr<bool> LockBefore(int fd, std::chrono::steady_clock::time_point deadline);

}  // namespace halvane
