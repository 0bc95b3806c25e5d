#include "config/refresh.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/run_binary.h"
#include "support/twins.h"

namespace halvane {
namespace {

// A daemon stand-in: a datagram socket bound in a temporary service folder.
class RefreshBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = dir_.path() + "/" + kScsiDaemonService;
    daemon_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(daemon_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << strerror(errno);
    options_.env["HALVANE_SERVICE_DIR"] = dir_.path();
    options_.env["HALVANE_REGISTRY"] = dir_.Write("host.json", R"({"root": {"class": "Root"}})");
  }
  void TearDown() override { close(daemon_); }

  std::vector<std::string> Received() {
    std::vector<std::string> messages;
    char buffer[256];
    for (ssize_t n; (n = recv(daemon_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
      messages.emplace_back(buffer, n);
    return messages;
  }

  testing::TempDir dir_;
  testing::RunOptions options_;
  int daemon_ = -1;
};

TEST_F(RefreshBinary, OneMessagePerRefreshInCommandLineOrder) {
  std::string want(24, '\0');
  const std::uint32_t head[2] = {0x00001513, 24};
  std::memcpy(want.data(), head, sizeof head);

  struct Case {
    std::vector<std::string> args;
    std::size_t messages;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{"-r"}, 1, "", 0},
      {{"--refresh", "-r"}, 2, "", 0},
      {{"-r", "-l"}, 1, "\nControllers\n\nTargets\n\n\n\n", 0},
      {{"-l", "-r"}, 0, "\nControllers\n\nTargets\n\n\n\n", 0},
      {{"-r", "-c", "1"}, 1, "", 3},
  };
  for (const Case& c : cases) {
    const auto r = RunHalvane(c.args, options_);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    if (c.status == 0) {
      EXPECT_EQ(r.out, c.out);
    }
    const auto messages = Received();
    ASSERT_EQ(messages.size(), c.messages) << c.args[0];
    for (const std::string& m : messages) {
      ASSERT_EQ(m.size(), 24u);
      EXPECT_EQ(m.substr(0, 8), want.substr(0, 8));
      std::uint32_t port = 0;
      std::memcpy(&port, m.data() + 8, 4);
      EXPECT_NE(port, 0u);  // the daemon port name the lookup gave
      EXPECT_EQ(m.substr(12), std::string(12, '\0'));
    }
  }
}

TEST_F(RefreshBinary, AFullDaemonQueueNeverBlocksTheTool) {
  // Fill the socket's queue from this side, then ask for a refresh: the send must fail fast.
  const int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir_.path() + "/" + kScsiDaemonService;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const char chunk[24] = {};
  while (send(filler, chunk, sizeof chunk, MSG_DONTWAIT) == sizeof chunk) {
  }
  const auto r = RunHalvane({"-r", "-r"}, options_);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  close(filler);
}

TEST_F(RefreshBinary, NothingReachesTheDaemonButTheMessage) {
  struct Case {
    std::string what;
    std::string service_dir;
    std::string shell_prefix;
    std::size_t messages;
    int status;
  };
  // A service name that is a link to the daemon's socket from another folder.
  const std::string links = dir_.path() + "/links";
  std::filesystem::create_directory(links);
  std::filesystem::create_symlink(dir_.path() + "/" + kScsiDaemonService,
                                  links + "/" + kScsiDaemonService);
  const Case cases[] = {
      {"a link in the service folder", links, "", 0, 0},
      // With descriptors 0 and 1 closed, the socket would become standard output.
      {"closed standard descriptors", dir_.path(), "exec <&- >&-", 1, 1},
  };
  for (const Case& c : cases) {
    options_.env["HALVANE_SERVICE_DIR"] = c.service_dir;
    options_.shell_prefix = c.shell_prefix;
    EXPECT_EQ(RunHalvane({"-r", "-l"}, options_).status, c.status) << c.what;
    const auto messages = Received();
    EXPECT_EQ(messages.size(), c.messages) << c.what;
    for (const std::string& m : messages) EXPECT_EQ(m.size(), 24u) << c.what;
  }
}

}  // namespace
}  // namespace halvane
