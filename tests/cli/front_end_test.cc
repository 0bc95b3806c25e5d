// The option pass, run both in-process (to see what reaches the driver) and as the real binary
// (to see every byte and the exit status an administrator's script sees).
#include "cli/front_end.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "registry/memory_registry.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "support/values.h"

namespace halvane {
namespace {

using testing::Bytes;
using testing::Dict;
using testing::RunHalvane;
using testing::Str;

const std::string kPort = "00:11:22:33:44:55:66:77";

std::string Usage() { return testing::ReadFile(testing::SourceDir() + "/tests/golden/usage.txt"); }
std::string ErrorLine(int status, const std::string& message, const std::string& detail) {
  return Usage() + "exitcode " + std::to_string(status) + " - " + message + " " + detail + "\n\n";
}

// Every binary run names its registry and service folder, so nothing of the machine running the
// tests can show through.
class FrontEndBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.env["HALVANE_REGISTRY"] = dir_.Write("empty.json", R"({"root": {"class": "Root"}})");
    options_.env["HALVANE_SERVICE_DIR"] = dir_.path() + "/no-services";
  }
  testing::TempDir dir_;
  testing::RunOptions options_;
};

TEST_F(FrontEndBinary, OutputAndExitStatus) {
  const std::string kBadWwn = "Invalid world wide name. Must be in form of xx:xx:xx:xx:xx:xx:xx:xx";
  const std::string kBadAlpa = "Invalid ALPA value, must be an 8B10 Neutral Disparate number:";
  const std::string kBadSpeed =
      "Invalid Speed value, must be 1gigabit, 2gigabit, 4gigabit, or auto:";
  const std::string kBadTopology = "Invalid Topology value, must be nport, nlport, or auto:";
  const std::string kEmptyReport = "\nControllers\n\nTargets\n\n\n\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {{}, ErrorLine(0, "", ""), 0},
      {{"just", "words"}, "", 0},
      {{"-h"}, ErrorLine(0, "", ""), 0},
      {{"--help", "-x"}, ErrorLine(0, "", ""), 0},
      {{"-?"}, ErrorLine(3, "", ""), 3},
      {{"-x"}, ErrorLine(3, "", ""), 3},
      {{"--bogus"}, ErrorLine(3, "", ""), 3},
      {{"-c"}, ErrorLine(3, "", ""), 3},
      {{"-v", "-x"}, "halvane version v2.4\n", 0},
      {{"--version"}, "halvane version v2.4\n", 0},
      {{"-c", kPort, "-l"}, ErrorLine(3, "The -l command is mutually exclusive.", ""), 3},
      {{"-l", "-c", kPort}, kEmptyReport, 0},
      {{"--list"}, kEmptyReport, 0},
      {{"-s", "auto", "-l"}, kEmptyReport, 0},
      {{"-r"}, "", 0},
      {{"-r", "-c", "1"}, ErrorLine(3, kBadWwn, ""), 3},
      {{"-c", "00:11:22:33:44:55:66:77:88"}, ErrorLine(3, kBadWwn, ""), 3},
      {{"-c", "0:1:2:3:4:5:6:7\xFF"}, ErrorLine(3, kBadWwn, ""), 3},
      {{"-c", kPort}, "", 0},  // no such port: nothing printed
      {{"-s", "Auto"}, ErrorLine(3, kBadSpeed, "Auto"), 3},
      {{"-s", "4Gigabit"}, ErrorLine(3, kBadSpeed, "4Gigabit"), 3},
      {{"-t", "nport "}, ErrorLine(3, kBadTopology, "nport "), 3},
      {{"--topology=ring"}, ErrorLine(3, kBadTopology, "ring"), 3},
      {{"-a", "0"}, ErrorLine(3, kBadAlpa, "0"), 3},
      {{"-a", "100"}, ErrorLine(3, kBadAlpa, "100"), 3},
      {{"-a", "-1"}, ErrorLine(3, kBadAlpa, "-1"), 3},
      {{"-a", "zz"}, ErrorLine(3, kBadAlpa, "zz"), 3},
      {{"-a", "10000001E"}, ErrorLine(3, kBadAlpa, "10000001E"), 3},
      {{"-a", "1E", "-a", "03", "-x"}, ErrorLine(3, kBadAlpa, "03"), 3},
      // Settings with no port to take them are refused rather than dropped.
      {{"-s", "auto"},
       ErrorLine(3, "Settings require a Port World Wide Name given with -c.", ""),
       3},
      {{"-a", "1E", "-r"},
       ErrorLine(3, "Settings require a Port World Wide Name given with -c.", ""),
       3},
  };
  for (const Case& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += " " + a;
    const auto r = RunHalvane(c.args, options_);
    EXPECT_EQ(r.out, c.out) << "halvane" << name;
    EXPECT_EQ(r.status, c.status) << "halvane" << name;
  }
}

TEST_F(FrontEndBinary, ParserDiagnosticsGoToStandardError) {
  const auto r = RunHalvane({"-x"}, options_);
  EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;
  EXPECT_EQ(RunHalvane({"-h"}, options_).err, "");
}

TEST_F(FrontEndBinary, HugeAndControlByteValuesAreEchoedAndRefused) {
  const std::string huge(100000, 'x');
  const std::string control = "a\x01\x1b[31m\tb";
  EXPECT_EQ(
      RunHalvane({"-s", huge}, options_).out,
      ErrorLine(3, "Invalid Speed value, must be 1gigabit, 2gigabit, 4gigabit, or auto:", huge));
  const auto r = RunHalvane({"-t", control}, options_);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out,
            ErrorLine(3, "Invalid Topology value, must be nport, nlport, or auto:", control));
  EXPECT_EQ(RunHalvane({"-c", huge}, options_).status, 3);
}

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
    Services services{registry_, root_user_, ports_, out_, rescan_};
    return RunCommandLine(static_cast<int>(args.size()), argv.data(), services);
  }

  MemoryRegistry registry_;
  MemoryRegistry::Node* port_;
  FixedUserIdentity root_user_{0};
  RecordingMessagePorts ports_;
  std::ostringstream out_;
  RecordingHostRescan rescan_;
};

TEST_F(FrontEndSettings, TheLastValueOfEachSettingReachesTheDriverInOneWrite) {
  struct Case {
    std::vector<std::string> args;
    Dictionary want;
  };
  const Case cases[] = {
      {{"-c", kPort, "-a", "1e"}, {{"HardLoopID", PropertyValue::Int32(30)}}},
      {{"-c", kPort, "-a", "0x1E"}, {{"HardLoopID", PropertyValue::Int32(30)}}},
      {{"-c", kPort, "-a", "FF"}, {{"HardLoopID", PropertyValue::Int32(255)}}},
      {{"-c", kPort, "-a", "1E", "-a", "EF"}, {{"HardLoopID", PropertyValue::Int32(239)}}},
      {{"-c", kPort, "-t", "auto", "-s", "auto"},
       {{"Topology", Str("Automatic")}, {"Speed", Str("Automatic")}}},
      {{"-c", kPort, "-s", "auto", "-s", "2gigabit"}, {{"Speed", Str("2 Gigabit")}}},
      {{"-c", kPort, "-t", "nport"}, {{"Topology", Str("N_Port")}}},
      {{"--controller", "00:11:22:33:44:55:66:77", "--topology=nlport", "--speed", "1gigabit"},
       {{"Topology", Str("NL_Port")}, {"Speed", Str("1 Gigabit")}}},
      {{"-c", "0:1:2:3:4:5:6:7", "-c", "00:11:22:33:44:55:66:77", "-s", "4gigabit"},
       {{"Speed", Str("4 Gigabit")}}},
  };
  for (const Case& c : cases) {
    port_->received_settings.clear();
    const RunOutcome outcome = Run(c.args);
    EXPECT_EQ(outcome.ProcessExitStatus(), 0);
    ASSERT_EQ(port_->received_settings.size(), 1u) << c.args.back();
    EXPECT_EQ(port_->received_settings[0], c.want) << c.args.back();
  }
  EXPECT_EQ(out_.str(), "");
}

TEST_F(FrontEndSettings, RefreshGoesOutAsParsedBeforeSettingsAreWritten) {
  std::size_t messages_at_write = 99;
  int rescans_at_write = 99;
  registry_.SetDriver([&](MemoryRegistry::Node&, const Dictionary&) {
    messages_at_write = ports_.sent.size();
    rescans_at_write = rescan_.rescans;
    return kRegistrySuccess;
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
