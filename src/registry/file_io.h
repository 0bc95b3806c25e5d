// The two pieces of descriptor handling that every layer writing to a file shares: a descriptor
// that closes when it goes, and the one write loop.
#pragma once

#include <string_view>
#include <utility>

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

enum class ShortWrite {
  kContinue,  // a file or a pipe: write the rest
  kFail,      // a driver attribute: its store takes the value whole or not at all, and the rest
              // written alone would read as a value of its own
};

// Writes bytes to fd, starting again after an interrupted call. Answers 0 once every byte was
// taken, otherwise the errno of the failure (EIO for a short count under ShortWrite::kFail).
int WriteAll(int fd, std::string_view bytes, ShortWrite on_short);

}  // namespace halvane
