// The process entry: wires the real host services to the front end and turns the run's outcome
// into the exit status.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "cli/front_end.h"
#include "host/fd_output.h"
#include "host/host_registry.h"
#include "registry/lazy_registry.h"

int main(int argc, char* argv[]) {
  using namespace halvane;
  // A standard descriptor left closed would be taken by the next file or socket opened, and
  // what is meant for standard output would go there. Each closed one gets /dev/null, read only,
  // so that output to it fails as it would have.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != fd)
      return kExitFailure;
  }
  FdOutput stdout_buffer(1);
  std::ostream out(&stdout_buffer);
  LazyRegistry registry(&OpenHostRegistry);
  Services services{registry, ProcessUserIdentity(), ProcessMessagePorts(), out,
                    ProcessHostRescan()};

  const RunOutcome outcome = RunCommandLine(argc, argv, services);

  if (const auto& error = registry.open_error()) {
    // Whatever the run printed before it found the registry unreadable is not a listing.
    stdout_buffer.Discard();
    std::fprintf(stderr, "halvane: %s\n", error->c_str());
    return kExitFailure;
  }
  // Standard output says that the settings were not applied; this says why.
  if (const std::string why = registry.WriteFailureReason(); !why.empty())
    std::fprintf(stderr, "halvane: %s\n", why.c_str());
  if (!stdout_buffer.Flush()) {
    std::fprintf(stderr, "halvane: write error on standard output: %s\n",
                 std::strerror(stdout_buffer.error()));
    return kExitFailure;
  }
  // The registry lives until the process ends. Releasing a large one value by value costs more
  // than printing it did, so the process ends here and its memory goes back whole.
  std::fflush(stderr);
  std::exit(outcome.ProcessExitStatus());
}
