// The process entry: reads the environment, wires the real host services to the front end and
// turns the run's outcome into the exit status.
#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <ostream>

#include "cli/diff_run.h"
#include "cli/front_end.h"
#include "host/capture_note.h"
#include "host/environment.h"
#include "host/host_registry.h"

int main(int argc, char* argv[]) {
  using namespace halvane;
  // A standard descriptor left closed would be taken by the next file or socket opened, and
  // what is meant for standard output would go there. Each closed one gets /dev/null, read only,
  // so that output to it fails as it would have.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != fd)
      return kExitFailure;
  }
  // A reader that goes away (halvane -l | head) makes writes to standard output fail with EPIPE,
  // which ends the run with status 1 and one line, rather than a signal and no word.
  std::signal(SIGPIPE, SIG_IGN);
  const HostEnvironment environment = ReadHostEnvironment();
  FdOutput stdout_buffer(1);
  std::ostream out(&stdout_buffer);
  LazyRegistry registry(
      [&environment](RegistryUse use) { return OpenHostRegistry(environment, use); });
  const auto ports = MakeServiceDirectoryPorts(environment.service_dir);
  const auto rescan = MakeHostRescan(environment);
  Services services{registry, ProcessUserIdentity(),  *ports, out, std::cerr,
                    *rescan,  PortsPlace(environment)};
  services.capture_note = CaptureNote(environment, "v" HALVANE_VERSION);
  services.baseline = environment.baseline;

  RunOutcome outcome;
  try {
    outcome = RunCommandLine(argc, argv, services);
  } catch (const std::bad_alloc&) {
    // The one place an exception is caught: the standard library's, when the run could not have
    // the memory it needed, wherever that was.
    outcome = RunOutcome::Failed(Status::Error(kIoError, "not enough memory"));
    outcome.check = AsksForCheck(argc, argv);
    if (AsksForDiff(argc, argv)) outcome = DiffTrouble(outcome.failure);
  }
  const int status = FinishRun(outcome, stdout_buffer, std::cerr);
  // The registry lives until the process ends. Releasing a large one value by value costs more
  // than printing it did, so the process ends here and its memory goes back whole.
  std::fflush(stderr);
  std::exit(status);
}
