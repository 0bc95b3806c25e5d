// The settings path run as the real binary on snapshot files: what the driver receives is read
// back from the file after the run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "registry/snapshot.h"
#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::ReadFile;
using testing::RunHalvane;

class PortRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.Write("host.json", ReadFile(testing::SourceDir() + "/tests/cli/ports.json"));
    chmod(path_.c_str(), 0644);
    options_.env["HALVANE_REGISTRY"] = path_;
    options_.env["HALVANE_SERVICE_DIR"] = dir_.path();
  }
  // The settings each port has received, in registry order.
  std::vector<std::vector<Dictionary>> Received() {
    MemoryRegistry registry;
    std::string error;
    EXPECT_TRUE(ParseSnapshot(ReadFile(path_), &registry, &error)) << error;
    std::vector<std::vector<Dictionary>> all;
    for (const auto& port : registry.root()->children) all.push_back(port->received_settings);
    return all;
  }

  testing::TempDir dir_;
  std::string path_;
  testing::RunOptions options_;
};

TEST_F(PortRequest, SettingsReachTheLastPortWithThatName) {
  chmod(path_.c_str(), 0640);
  const auto r = RunHalvane(
      {"-c", "00:11:22:33:44:55:66:77", "-a", "1E", "-s", "auto", "-t", "nlport"}, options_);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0);
  const auto received = Received();
  EXPECT_TRUE(received[0].empty());
  ASSERT_EQ(received[3].size(), 1u);
  EXPECT_EQ(received[3][0], (Dictionary{{"HardLoopID", PropertyValue::Int32(30)},
                                        {"Speed", PropertyValue::String("Automatic")},
                                        {"Topology", PropertyValue::String("NL_Port")}}));
  EXPECT_NE(ReadFile(path_).find("\"HardLoopID\": 30"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);  // the saved file keeps the original's mode
}

TEST_F(PortRequest, AFailedSaveLeavesTheSnapshotByteForByte) {
  // A write past the file size limit fails with EFBIG instead of ending the run by SIGXFSZ.
  options_.shell_prefix = "ulimit -f 1";
  const std::string before = ReadFile(path_);
  ASSERT_GT(before.size(), 1024u);
  const auto r = RunHalvane({"-c", "00:11:22:33:44:55:66:77", "-s", "auto"}, options_);
  EXPECT_EQ(r.out, "Could not apply settings to the specified port (status 0xE00002CA).\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("halvane: cannot write " + dir_.path() + "/host.json.", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(": File too large\n"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(ReadFile(path_), before);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    ++files;
  EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

}  // namespace
}  // namespace halvane
