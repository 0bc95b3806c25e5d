// Runs of the real binary kept as data in tests/cli/runs/*.txt: each block, blocks apart by a blank
// line, is a test case that sets up a fresh folder, runs halvane once in it and checks what the
// block says (blocks that only parse options run in-process, in tests/cli/front_end_test.cc).
// Lines:
//   tree NAME        tests/sysfs/trees/NAME.tree under sys/ is the live host instead
//   write NAME TEXT  a file of the folder, in new folders as needed; fifo NAME a FIFO (host.json
//                    is the snapshot, an empty registry unless written)
//   env NAME=TEXT    one more environment variable (HALVANE_SERVICE_DIR is none/ of the folder)
//   run WORDS        the arguments, split at spaces
//   status N         the exit status (0 unless given); out TEXT standard output (empty unless
//                    given); err TEXT standard error (unchecked unless given; a shell pattern,
//                    where * stands for any text)
//   file NAME TEXT   a file of the folder after the run
//   link NAME TARGET a symbolic link of the folder
//   mode NAME OCTAL  the file's mode, before the run and after it
//   owner NAME UID   the file's owner and group, before the run and after it (root only)
//   entries N        the folder holds N entries after the run (nothing left behind)
//   uid N            runs as that user (the block is skipped unless the test runs as root)
//   shell TEXT       shell commands run before the binary replaces the shell ({dir} expanded)
//   daemon           a datagram socket in none/ stands in for the SCSI daemon; full: its queue
//                    is full; messages N: it received N refresh messages
// TEXT and WORDS take C escapes (\s is a space), {dir} for the folder, {usage} for the usage
// text and {version} for the version; "@FILE" as the whole TEXT is a file under tests/.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>

#include "cli/run_table.h"
#include "config/refresh.h"
#include "support/fake_sysfs.h"
#include "support/run_binary.h"

namespace halvane::testing {
namespace {

// The daemon's socket, and one that fills its queue.
struct Daemon {
  int socket = -1, filler = -1;
  sockaddr_un address{AF_UNIX, {}};
  ~Daemon() {
    for (int fd : {socket, filler})
      if (fd >= 0) close(fd);
  }
};

// The refresh messages the daemon received: each its 24-byte header, in host order, with the
// daemon port name the lookup gave.
std::size_t Messages(const Daemon& daemon) {
  const std::uint32_t words[2] = {0x1513, 24};
  const std::string_view head(reinterpret_cast<const char*>(words), 8);
  std::size_t count = 0;
  char m[256];
  for (ssize_t n; (n = recv(daemon.socket, m, sizeof m, MSG_DONTWAIT)) >= 0; ++count) {
    EXPECT_EQ(std::string(m, n).replace(8, 4, 4, '\0'), std::string(head) + std::string(16, '\0'));
    EXPECT_NE(std::string(m + 8, 4), std::string(4, '\0'));
  }
  return count;
}

void RunLines(const std::vector<std::string>& lines) {
  TempDir dir;
  Daemon daemon;
  std::optional<std::size_t> messages;
  std::optional<long> entries;
  std::vector<std::pair<std::string, mode_t>> modes;
  std::vector<std::pair<std::string, uid_t>> owners;
  const std::string snapshot = dir.Write("host.json", R"({"root": {"class": "Root"}})");
  RunOptions options;
  options.env = {{"HALVANE_REGISTRY", snapshot}, {"HALVANE_SERVICE_DIR", dir.path() + "/none"}};
  std::vector<std::string> args;
  int status = 0;
  std::string out;
  std::optional<std::string> err;
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& line : lines) {
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    const std::string name = value.substr(0, value.find(' '));
    const std::string text =
        ExpandRunText(value.substr(std::min(value.size(), name.size() + 1)), dir.path());
    if (key == "tree") {
      BuildTree(value, dir.path() + "/sys");
      options.env.erase("HALVANE_REGISTRY");
      options.env["HALVANE_SYSFS_ROOT"] = dir.path() + "/sys";
    } else if (key == "write") {
      WriteFile(dir.path() + "/" + name, text);
    } else if (key == "fifo") {
      mkfifo((dir.path() + "/" + value).c_str(), 0644);
    } else if (key == "env") {
      options.env[value.substr(0, value.find('='))] =
          ExpandRunText(value.substr(value.find('=') + 1), dir.path());
    } else if (key == "run") {
      args = RunArguments(value, dir.path());
    } else if (key == "status") {
      status = std::stoi(value);
    } else if (key == "out" || key == "err") {
      (key == "out" ? out : err.emplace()) = ExpandRunText(value, dir.path());
    } else if (key == "file") {
      files.emplace_back(name, text);
    } else if (key == "link") {
      std::filesystem::create_directories(dir.path() + "/" + name.substr(0, name.rfind('/') + 1));
      std::filesystem::create_symlink(text, dir.path() + "/" + name);
    } else if (key == "mode") {
      modes.emplace_back(name, std::stoul(text, nullptr, 8));
      chmod((dir.path() + "/" + name).c_str(), modes.back().second);
    } else if (key == "owner") {
      if (geteuid() != 0) return;
      owners.emplace_back(name, std::stoul(text));
      ASSERT_EQ(
          chown((dir.path() + "/" + name).c_str(), owners.back().second, owners.back().second), 0);
    } else if (key == "entries") {
      entries = std::stol(value);
    } else if (key == "uid") {
      if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return;
      options.as_uid = std::stoi(value);
    } else if (key == "shell") {
      options.shell_prefix = ExpandRunText(value, dir.path());
    } else if (key == "daemon") {
      const std::string path = dir.path() + "/none/" + kScsiDaemonService;
      std::filesystem::create_directories(dir.path() + "/none");
      path.copy(daemon.address.sun_path, sizeof daemon.address.sun_path - 1);
      daemon.socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(
          bind(daemon.socket, reinterpret_cast<sockaddr*>(&daemon.address), sizeof daemon.address),
          0);
    } else if (key == "full") {
      daemon.filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ASSERT_EQ(connect(daemon.filler, reinterpret_cast<sockaddr*>(&daemon.address),
                        sizeof daemon.address),
                0);
      while (send(daemon.filler, "", 1, MSG_DONTWAIT) == 1) {
      }
    } else {
      ASSERT_EQ(key, "messages") << "an unknown line";
      messages = std::stoul(value);
    }
  }
  const RunResult r = RunHalvane(args, options);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(fnmatch(err.value_or("*").c_str(), r.err.c_str(), 0), 0) << r.err;
  for (const auto& [file, mode] : modes) {
    struct stat info {};
    EXPECT_EQ(stat((dir.path() + "/" + file).c_str(), &info) == 0 ? info.st_mode & 07777 : 0, mode);
  }
  for (const auto& [file, owner] : owners) {
    struct stat info {};
    ASSERT_EQ(stat((dir.path() + "/" + file).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, owner);
  }
  if (entries) {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), *entries);
  }
  for (const auto& [file, content] : files)
    EXPECT_EQ(ReadFile(dir.path() + "/" + file), content) << file;
  EXPECT_EQ(messages ? Messages(daemon) : 0, messages.value_or(0));
}

// Settings reach a port only in a run as root. When the suite itself does not run as root, as a
// distribution's package build does not, a block that names a port and gives it settings cannot
// pass, unless it expects the command line or the user to be refused first.
bool NeedsRoot(const std::vector<std::string>& lines) {
  bool port = false, settings = false;
  int status = 0;
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string key, word;
    words >> key;
    if (key == "status") words >> status;
    while (key == "run" && words >> word) {
      const std::string option = word.substr(0, word.find('='));
      port |= option == "-c" || option == "--controller";
      settings |= option == "-a" || option == "-s" || option == "-t" || option == "--alpa" ||
                  option == "--speed" || option == "--topology";
    }
  }
  return port && settings && status != 3 && status != 77;
}

class Runs : public ::testing::TestWithParam<RunBlock> {};

TEST_P(Runs, AsTheTableSays) {
  if (geteuid() != 0 && NeedsRoot(GetParam().lines)) GTEST_SKIP() << "settings need root";
  RunLines(GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Table, Runs, ::testing::ValuesIn(RunTable(false)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvane::testing
