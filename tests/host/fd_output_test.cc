// Buffered standard output: every byte reaches the descriptor, in order, whether written a
// character at a time or in blocks larger than the buffer, and a failed write is remembered.
#include "host/fd_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>

#include "support/run_binary.h"

namespace halvane {
namespace {

TEST(FdOutput, EveryByteInOrderAndFailuresKept) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/out";
  std::string expected;
  {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    FdOutput buffer(fd, 16);
    std::ostream out(&buffer);
    for (int i = 0; i < 100; ++i) {
      const char c = static_cast<char>('a' + i % 26);
      out << c;
      expected += c;
      if (i % 7 == 0) {
        const std::string block(i % 3 == 0 ? 40 : 5, c);
        out << block;
        expected += block;
      }
    }
    EXPECT_TRUE(buffer.Flush());
    close(fd);
  }
  EXPECT_EQ(testing::ReadFile(path), expected);
  FdOutput closed(-1, 16);
  std::ostream out(&closed);
  out << std::string(40, 'x');
  EXPECT_FALSE(closed.Flush());
  EXPECT_EQ(closed.error(), EBADF);
}

}  // namespace
}  // namespace halvane
