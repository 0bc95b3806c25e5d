// The option pass run in-process, to see what reaches the driver (tests/cli/runs.txt has what the
// real binary prints).
#include "cli/front_end.h"

#include <gtest/gtest.h>

#include <sstream>

#include "registry/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;

const std::string kPort = "00:11:22:33:44:55:66:77";

// In-process runs against an in-memory registry show exactly what a port's driver is given.
class FrontEndSettings : public ::testing::Test {
 protected:
  FrontEndSettings() {
    MemoryRegistry::Node* root = registry_.SetRoot("Root");
    port_ =
        registry_.AddChild(root, "KestritUserSCSIParallelInterfaceController",
                           {{"Controller Characteristics",
                             Dict({{"Port World Wide Name",
                                    Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77})}})}});
  }

  RunOutcome Run(std::vector<std::string> args) {
    args.insert(args.begin(), "halvane");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Services services{registry_, root_user_, ports_, out_, err_, rescan_};
    return RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
  }

  MemoryRegistry registry_;
  MemoryRegistry::Node* port_;
  FixedUserIdentity root_user_{0};
  RecordingMessagePorts ports_;
  std::ostringstream out_;
  std::ostringstream err_;
  RecordingHostRescan rescan_;
};

TEST_F(FrontEndSettings, TheLastValueOfEachSettingReachesTheDriverInOneWrite) {
  for (const auto& row : testing::Rows("cli/settings.txt")) {
    std::istringstream words(row.at(0));
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    port_->received_settings.clear();
    EXPECT_EQ(Run(args).ProcessExitStatus(), 0);
    ASSERT_EQ(port_->received_settings.size(), 1u) << row[0];
    EXPECT_EQ(port_->received_settings[0], testing::Properties(row.at(1))) << row[0];
  }
  EXPECT_EQ(out_.str(), "");
}

TEST_F(FrontEndSettings, RefreshGoesOutAsParsedBeforeSettingsAreWritten) {
  std::size_t messages_at_write = 99;
  int rescans_at_write = 99;
  registry_.SetDriver([&](MemoryRegistry::Node&, const Dictionary&) {
    messages_at_write = ports_.sent.size();
    rescans_at_write = rescan_.rescans;
    return Status::Ok();
  });
  Run({"-c", kPort, "-r", "-s", "auto", "-r"});
  EXPECT_EQ(messages_at_write, 2u);
  EXPECT_EQ(rescans_at_write, 2);

  ports_.sent.clear();
  EXPECT_EQ(Run({"-r", "-c", "1"}).ProcessExitStatus(), 3);
  EXPECT_EQ(ports_.sent.size(), 1u);
  ports_.sent.clear();
  Run({"-l", "-r"});
  EXPECT_EQ(ports_.sent.size(), 0u);
  EXPECT_EQ(rescan_.rescans, 3);
}

}  // namespace
}  // namespace halvane
