// Buffered standard output: bytes reach the descriptor a buffer at a time, a block at least as
// large as the buffer at once, every byte in order; a failed write is kept.
#include "host/fd_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

namespace halvane {
namespace {

TEST(FdOutput, BytesGoOutABufferAtATimeAndFailuresAreKept) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  const auto reached = [&] {
    std::string bytes;
    char chunk[256];
    for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
    return bytes;
  };
  {
    FdOutput buffer(ends[1], 16);
    std::ostream out(&buffer);
    // What each write sends on, in a buffer of 16 bytes; a single character goes in by put().
    const std::pair<std::string, std::string> steps[] = {
        {"abc", ""},
        {std::string(13, 'd'), ""},  // fills the buffer exactly
        {"e", "abc" + std::string(13, 'd')},
        {std::string(15, 'f'), ""},
        {"gg", "e" + std::string(15, 'f')},
        {std::string(16, 'h'), "gg" + std::string(16, 'h')},
        {std::string(17, 'i'), std::string(17, 'i')},
        {"j", ""},
    };
    for (const auto& [write, sent] : steps) {
      if (write.size() == 1)
        out.put(write[0]);
      else
        out << write;
      EXPECT_EQ(reached(), sent) << write;
    }
    EXPECT_TRUE(buffer.Flush().ok());
    EXPECT_EQ(reached(), "j");
  }
  close(ends[0]);
  close(ends[1]);
  FdOutput closed(-1, 16);
  std::ostream out(&closed);
  out << std::string(40, 'x');
  EXPECT_EQ(closed.Flush().message(), std::strerror(EBADF));
  EXPECT_EQ(closed.Flush().message(), std::strerror(EBADF));
}

}  // namespace
}  // namespace halvane
