// Runs of the real binary kept as data in tests/cli/runs/*.txt: each block, blocks apart by a blank
// line, is a test case that sets up a fresh folder, runs halvane in it and checks what the
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
//   capture NAME     a capture of the host as it is at that line, as a file of the folder
//   replay           the run again on a capture of the host it read (its failed reads too):
//                    the same output, error and status
//   valid SCHEMA     standard output is a document valid under doc/SCHEMA, or (metrics) metrics
//                    promtool takes
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
#include <functional>
#include <regex>
#include <tuple>

#include "base/file_io.h"
#include "cli/run_table.h"
#include "config/refresh.h"
#include "support/fake_sysfs.h"

namespace halvane::testing {
namespace {

// The refresh messages the daemon's socket received: each its 24-byte header, in host order, with
// the daemon port name the lookup gave.
std::size_t Messages(int socket) {
  const std::uint32_t words[2] = {0x1513, 24};
  const std::string_view head(reinterpret_cast<const char*>(words), 8);
  std::size_t count = 0;
  char m[256];
  for (ssize_t n; (n = recv(socket, m, sizeof m, MSG_DONTWAIT)) >= 0; ++count) {
    EXPECT_EQ(std::string(m, n).replace(8, 4, 4, '\0'), std::string(head) + std::string(16, '\0'));
    EXPECT_NE(std::string(m + 8, 4), std::string(4, '\0'));
  }
  return count;
}

// What stat says of a file; all zero when it is not there.
struct stat Stat(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info;
}

void RunLines(const std::vector<std::string>& lines) {
  TempDir dir;
  const auto at = [root = dir.path()](const std::string& name) { return root + "/" + name; };
  Fd daemon, filler;
  sockaddr_un address{AF_UNIX, {}};
  std::vector<std::function<void()>> checks;  // after the run
  RunResult r;
  RunOptions options;
  options.env = {{"HALVANE_REGISTRY", dir.Write("host.json", R"({"root": {"class": "Root"}})")},
                 {"HALVANE_SERVICE_DIR", at("none")}};
  std::vector<std::string> args;
  int status = 0;
  std::string out, err = "*";
  for (const std::string& line : lines) {
    const std::size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    const std::string name = value.substr(0, value.find(' '));
    const std::string text =
        ExpandRunText(value.substr(std::min(value.size(), name.size() + 1)), dir.path());
    if (key == "tree") {
      BuildTree(value, at("sys"));
      options.env.erase("HALVANE_REGISTRY");
      options.env["HALVANE_SYSFS_ROOT"] = at("sys");
    } else if (key == "write") {
      WriteFile(at(name), text);
    } else if (key == "fifo") {
      mkfifo(at(value).c_str(), 0644);
    } else if (key == "env") {
      options.env[value.substr(0, value.find('='))] =
          ExpandRunText(value.substr(value.find('=') + 1), dir.path());
    } else if (key == "run") {
      args = RunArguments(value, dir.path());
    } else if (key == "status") {
      status = std::stoi(value);
    } else if (key == "out" || key == "err") {
      (key == "out" ? out : err) = ExpandRunText(value, dir.path());
    } else if (key == "file") {
      checks.push_back([=] { EXPECT_EQ(ReadFile(at(name)), text) << name; });
    } else if (key == "link") {
      std::filesystem::create_directories(at(name.substr(0, name.rfind('/') + 1)));
      std::filesystem::create_symlink(text, at(name));
    } else if (key == "mode") {
      const mode_t mode = std::stoul(text, nullptr, 8);
      chmod(at(name).c_str(), mode);
      checks.push_back([=] { EXPECT_EQ(Stat(at(name)).st_mode & 07777, mode) << name; });
    } else if (key == "owner") {
      if (geteuid() != 0) GTEST_SKIP() << "owners are set as root";
      const uid_t uid = std::stoul(text);
      ASSERT_EQ(chown(at(name).c_str(), uid, uid), 0);
      checks.push_back([=] {
        EXPECT_EQ(std::pair(Stat(at(name)).st_uid, Stat(at(name)).st_gid), std::pair(uid, uid));
      });
    } else if (key == "uid") {
      if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root";
      options.as_uid = std::stoi(value);
    } else if (key == "entries") {
      checks.push_back([=, entries = std::stol(value)] {
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(at(".")), {}), entries);
      });
    } else if (key == "capture") {
      Capture(options, at(value));
    } else if (key == "replay") {
      // A capture of the host as the run sees it (its failed reads too) replays the run.
      checks.push_back([&, capture = options]() mutable {
        capture.shell_prefix.clear();
        const RunResult again = RunHalvane(args, WithRegistry(Capture(capture, at("replay.json"))));
        EXPECT_EQ(std::tie(again.out, again.err, again.status), std::tie(r.out, r.err, r.status));
      });
    } else if (key == "valid") {
      // The output is one its consumers take: a document under the schema doc/VALUE, or metrics
      // (metrics) through promtool.
      checks.push_back([&, value] {
        const std::string file = dir.Write("output", r.out);
        ExpectCheckersPass(value == "metrics" ? std::vector{"promtool check metrics < " + file}
                                              : SchemaAndPromtool(value, " " + file));
      });
    } else if (key == "shell") {
      options.shell_prefix = ExpandRunText(value, dir.path());
    } else if (key == "daemon") {
      std::filesystem::create_directories(at("none"));
      at("none/" + std::string(kScsiDaemonService))
          .copy(address.sun_path, sizeof address.sun_path - 1);
      daemon = Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
      ASSERT_EQ(bind(daemon.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    } else if (key == "full") {
      filler = Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      ASSERT_EQ(connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      while (send(filler.get(), "", 1, MSG_DONTWAIT) == 1) continue;
    } else {
      ASSERT_EQ(key, "messages") << "an unknown line";
      checks.push_back([&, n = std::stoul(value)] { EXPECT_EQ(Messages(daemon.get()), n); });
    }
  }
  r = RunHalvane(args, options);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(fnmatch(err.c_str(), r.err.c_str(), 0), 0) << r.err;
  for (const auto& check : checks) check();
}

// Settings reach a port only in a run as root. When the suite itself does not run as root, as a
// distribution's package build does not, a block that names a port and gives it settings cannot
// pass, unless it expects the command line or the user to be refused first.
bool NeedsRoot(const std::vector<std::string>& lines) {
  const auto any = [&](const char* pattern) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return std::regex_search(line, std::regex(pattern));
    });
  };
  return any(R"(^run.* (-c|--controller)\b)") &&
         any(R"(^run.* (-[ast]|--alpa|--speed|--topology)\b)") && !any("^status (3|77)$");
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
