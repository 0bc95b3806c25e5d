#include "listing/metrics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/run_binary.h"

namespace halvane {
namespace {

using testing::RunHalvane;
using testing::RunOptions;

// Each sample of an exposition: the series (name and labels, as printed) and its value.
std::map<std::string, std::string> Samples(const std::string& text) {
  std::map<std::string, std::string> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    EXPECT_TRUE(samples.emplace(line.substr(0, space), line.substr(space + 1)).second) << line;
  }
  return samples;
}

// One port's maps are the same in its metrics and in its document: those with a path whose port
// name is the port's (tests/listing/maps.json: a port named all ones, which is also how the
// kernel says it does not know a name); a map whose uuid is not a multipath one has no wwid.
TEST(Metrics, OnePortsMapsAreItsDocumentsMaps) {
  const RunOptions maps = testing::WithRegistry(testing::SourceDir() + "/tests/listing/maps.json");
  const std::string port = "FF:FF:FF:FF:FF:FF:FF:FF";
  const auto document = nlohmann::json::parse(RunHalvane({"--json", "-c", port}, maps).out);
  std::string in_document;
  for (const auto& map : document.at("multipath"))
    in_document += map.at("name").get<std::string>() + " " + map.value("wwid", "-") + "\n";
  std::string in_metrics;
  for (const auto& [series, value] : Samples(RunHalvane({"--metrics", "-c", port}, maps).out)) {
    if (series.rfind("halvane_multipath_paths", 0) == 0) in_metrics += series + " " + value + "\n";
  }
  EXPECT_EQ(in_document, "mpatha 3600a098038303053453f463045373546\ncryptmap -\n");
  EXPECT_EQ(in_metrics,
            "halvane_multipath_paths{map=\"cryptmap\",dm=\"dm-2\"} 1\n"
            "halvane_multipath_paths{map=\"mpatha\",dm=\"dm-0\",wwid="
            "\"3600a098038303053453f463045373546\"} 2\n");
}

// The service's script runs this binary as the option table has it, and the file it leaves is
// what the binary printed.
TEST(Metrics, ServiceScriptWritesWhatTheBinaryPrints) {
  testing::TempDir dir;
  const std::string registry = testing::SourceDir() + "/examples/san.json";
  const std::string file = dir.path() + "/halvane.prom";
  const std::string command =
      "env -i PATH=/usr/bin:/bin HALVANE_REGISTRY=" + registry + " HALVANE_METRICS_FILE=" + file +
      " HALVANE_BINARY=" + testing::HalvaneBinary() + " " + HALVANE_METRICS_SCRIPT;
  ASSERT_EQ(std::system(command.c_str()), 0);
  // The listing, then the verdict (WARNING on the example host, which is a verdict all the same).
  const RunOptions example = testing::WithRegistry(registry);
  EXPECT_EQ(testing::ReadFile(file), RunHalvane({"--metrics", "-l"}, example).out +
                                         RunHalvane({"--metrics", "--check"}, example).out);
}

}  // namespace
}  // namespace halvane
