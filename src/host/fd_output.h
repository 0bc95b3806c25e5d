// Buffered output to a file descriptor. Everything the tool prints goes through one of these
// wrapped in an std::ostream, which hands the descriptor a buffer at a time, and a block at least
// as large as the buffer at once; what has not gone out yet can be dropped, so that a run that
// fails leaves no partial listing behind.
#pragma once

#include <streambuf>
#include <vector>

#include "base/status.h"

namespace halvane {

class FdOutput : public std::streambuf {
 public:
  explicit FdOutput(int fd, std::size_t capacity = 64 * 1024);
  ~FdOutput() override;

  // Writes what is buffered; the failure of a write now or earlier.
  Status Flush();
  // Forgets what is buffered.
  void Discard();

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override { return Flush().ok() ? 0 : -1; }

 private:
  Status WriteAll(const char* data, std::size_t size);

  int fd_;
  std::vector<char> buffer_;
  Status error_;
};

}  // namespace halvane
