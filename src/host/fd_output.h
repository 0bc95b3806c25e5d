// Buffered output to a file descriptor. Everything the tool prints goes through one of these
// wrapped in an std::ostream; what has not been flushed yet can be dropped, so that a run that
// fails late (an unreadable registry) leaves no partial listing behind.
#pragma once

#include <streambuf>
#include <vector>

namespace halvane {

class FdOutput : public std::streambuf {
 public:
  explicit FdOutput(int fd, std::size_t capacity = 64 * 1024);
  ~FdOutput() override;

  // Writes what is buffered; false when a write failed now or earlier.
  bool Flush();
  // Forgets what is buffered.
  void Discard();
  int error() const { return error_; }

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool WriteAll(const char* data, std::size_t size);

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
};

}  // namespace halvane
