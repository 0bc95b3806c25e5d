// The descriptors of a run. The lock every writer of a snapshot or a host takes: held by another,
// it is not taken once the deadline has passed; free, it is; a descriptor that cannot be locked
// says why at once. A descriptor is named by the process that holds it, a child of a fork too.
// Buffered standard output: bytes reach the descriptor a buffer at a time, a block at least as
// large as the buffer at once, every byte in order; a failed write is kept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

#include "base/file_io.h"
#include "host/fd_output.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

TEST(LockBefore, TakesTheLockOnlyWhenNoOtherHoldsIt) {
  const testing::TempDir dir;
  const std::string path = dir.Write("lock", "");
  const int holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const int waiter = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const auto lock = [&] {
    const StatusOr<bool> taken = LockBefore(waiter, std::chrono::steady_clock::time_point());
    return taken.ok() ? std::string(*taken ? "taken" : "not taken") : taken.status().message();
  };
  EXPECT_EQ(lock(), "not taken");
  close(holder);
  EXPECT_EQ(lock(), "taken");
  close(waiter);
  EXPECT_EQ(lock(), "Bad file descriptor");
}

TEST(PathOfDescriptor, NamesTheFileOfTheProcessThatAsks) {
  const testing::TempDir dir;
  const std::string path = dir.Write("file", "");
  const int parent = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(PathOfDescriptor(parent), path);
  const pid_t child = fork();
  if (child == 0) {
    // A number the parent does not have open: through the parent's folder it names nothing.
    const int own = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    _exit(PathOfDescriptor(own) == path && PathOfDescriptor(parent) == path ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  close(parent);
}

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
      write.size() == 1 ? out.put(write[0]) : out << write;
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
