#include "support/run_binary.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <stdexcept>

#include "base/file_io.h"

extern char** environ;

namespace halvane::testing {
namespace {

// memcheck's own notices ("--PID-- WARNING: unhandled amd64-linux syscall: 437" where it has no
// openat2, which the binary then does without) are not the binary's output; its error reports
// ("==PID== ...") stay, and fail the run through the exit status anyway. A notice may land in the
// middle of a line the binary is writing, so it is cut out wherever it stands.
std::string WithoutMemcheckNotices(const std::string& err) {
  static const std::regex notice("--[0-9]+-- [^\n]*\n");
  return std::regex_replace(err, notice, "");
}

}  // namespace

std::vector<std::string> HalvaneCommand() {
  std::vector<std::string> command;
  // Under HALVANE_VALGRIND every run goes through memcheck; any error or leak fails it.
  if (std::getenv("HALVANE_VALGRIND") != nullptr) {
    command = Words(
        "/usr/bin/valgrind -q --error-exitcode=86 --leak-check=full "
        "--errors-for-leak-kinds=definite,indirect --track-fds=no");
  }
  command.push_back(HALVANE_BINARY);
  return command;
}

RunResult RunHalvane(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv_storage;
  if (options.as_uid >= 0) {
    argv_storage = {"/usr/bin/setpriv", "--reuid=" + std::to_string(options.as_uid),
                    "--regid=" + std::to_string(options.as_uid), "--clear-groups", "--"};
  }
  if (!options.shell_prefix.empty()) {
    argv_storage.insert(argv_storage.end(),
                        {"/bin/bash", "-c", options.shell_prefix + "; exec \"$0\" \"$@\""});
  }
  std::vector<std::string> command = HalvaneCommand();
  // The user switched to may not reach the build tree (a checkout in a private folder, which
  // memcheck has to open as that user): it runs a copy from a folder everyone may enter.
  std::optional<TempDir> copy;
  if (options.as_uid >= 0) {
    copy.emplace();
    std::filesystem::copy_file(command.back(), copy->path() + "/halvane");
    command.back() = copy->path() + "/halvane";
  }
  argv_storage.insert(argv_storage.end(), command.begin(), command.end());
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());

  std::vector<std::string> env_storage{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
  // Sanitizer settings of the test run reach the binary, so its reports fail the test too.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      env_storage.push_back(std::string(name) + "=" + value);
  }
  for (const auto& [k, v] : options.env) env_storage.push_back(k + "=" + v);
  const auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  };
  const std::vector<char*> argv = pointers(argv_storage), envp = pointers(env_storage);

  // Standard output goes to a file, read once the run has ended. Standard error comes through a
  // pipe, drained as the run goes: a file size limit the run is given ("ulimit -f 1") then bounds
  // only the files the binary writes, not memcheck's notices, which can pass it on their own.
  const TempDir sinks;
  const std::string out = sinks.Write("out", "");
  int err_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const Fd err_read(err_pipe[0]);
  fcntl(err_read.get(), F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(err_pipe[1]);
  if (rc != 0) throw std::runtime_error("posix_spawn failed");
  // A run that goes on and on (a fault planted by mutation testing, say) is ended: after ten
  // minutes, or once it has written a gigabyte, which no run of the suite comes near.
  RunResult result;
  int wstatus = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
  for (bool ended = false; !ended;) {
    ended = waitpid(pid, &wstatus, WNOHANG) != 0;
    if (!ended && (std::chrono::steady_clock::now() > deadline ||
                   std::filesystem::file_size(out) + result.err.size() > (1ULL << 30))) {
      kill(pid, SIGKILL);
      ended = waitpid(pid, &wstatus, 0) != 0;  // the child, or -1: either way it is over
    }
    pollfd ready{err_read.get(), POLLIN, 0};
    if (!ended) poll(&ready, 1, 1);  // a millisecond at most, less when the run writes
    char buffer[65536];
    for (ssize_t n; (n = read(err_read.get(), buffer, sizeof buffer)) > 0;)
      result.err.append(buffer, n);
  }
  result.out = ReadFile(out);
  if (std::getenv("HALVANE_VALGRIND") != nullptr) result.err = WithoutMemcheckNotices(result.err);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result;
}

std::string Capture(const RunOptions& options, const std::string& path) {
  const RunResult capture = RunHalvane({"--snapshot"}, options);
  EXPECT_EQ(capture.status, 0) << capture.err;
  std::ofstream(path, std::ios::binary) << capture.out;
  return path;
}

}  // namespace halvane::testing
