// The lock every writer of a snapshot or a host takes: held by another, it is not taken once the
// deadline has passed; free, it is; a descriptor that cannot be locked says why at once. A
// descriptor is named by the process that holds it, a child of a fork too.
#include "base/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace
}  // namespace halvane
