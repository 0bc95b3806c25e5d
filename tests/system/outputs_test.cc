// Every output of every test tree (tests/sysfs/trees/) and of every registry among the fuzzers'
// inputs (fuzz/corpus/), as its consumers take it: each document valid under the shipped schema,
// each metrics file read by the node exporter's text file collector and by promtool without a
// fault, each picture drawn by Graphviz without a warning, each port's metrics the whole host's
// for that port, and each capture loaded back.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "check/san_picture.h"
#include "inventory/port_info.h"
#include "listing/full_report.h"
#include "listing/inventory_document.h"
#include "listing/metrics.h"
#include "registry/snapshot.h"
#include "support/fake_sysfs.h"
#include "support/run_binary.h"
#include "support/twins.h"
#include "sysfs/sysfs_registry.h"

namespace halvane {
namespace {

namespace fs = std::filesystem;

// The trees a tree file is built over, those its first line says it is added to, then itself.
std::vector<std::string> TreesOf(const fs::path& file) {
  const std::string text = testing::ReadFile(file);
  const std::string first = text.substr(0, text.find('\n'));
  std::vector<std::string> trees;
  for (const std::string& word : testing::Words(first)) {
    if (first.find("Added to") != std::string::npos && word.find(".tree") != std::string::npos)
      trees.push_back(word.substr(0, word.find(".tree")));
  }
  trees.push_back(file.stem());
  return trees;
}

// The samples of a metrics text, without its comments.
std::set<std::string> Samples(const std::string& metrics) {
  std::set<std::string> samples;
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != '#') samples.insert(line);
  return samples;
}

// The outputs of every registry, each different text once.
struct Outputs {
  std::set<std::string> documents, metrics, pictures;

  // With live, the registry is a host's, whose document holds none of the kernel's placeholders
  // (all ones, the zero name and address of a port with no fabric or no link).
  void Add(DeviceRegistry& registry, const std::string& name, const std::string& capture,
           bool live) {
    SCOPED_TRACE(name);
    std::ostringstream document, metrics, listing, picture;
    PrintInventoryDocument(registry, document);
    PrintMetrics(registry, metrics);
    PrintFullReport(registry, listing);
    PrintSanPicture(registry, CheckScope{{}, {}, "the registry"}, picture);
    pictures.insert(picture.str());
    for (const char* placeholder : {"FF:FF:FF:FF:FF:FF:FF:FF", "00:00:00:00:00:00:00:00",
                                    "\"0x000000\"", "0xffffffff", "4294967295", "unknown"})
      EXPECT_TRUE(!live || document.str().find(placeholder) == std::string::npos) << placeholder;
    documents.insert(document.str());
    this->metrics.insert(metrics.str());
    const std::set<std::string> all = Samples(metrics.str());
    StatusOr<RegistryIterator> ports = DiscoverControllers(registry);
    for (RegistryEntry entry = ports.ok() ? ports->Next() : RegistryEntry(); entry;
         entry = ports->Next()) {
      // The port -c finds by the name: its metrics are the whole host's for that name.
      const StatusOr<Dictionary> record = BuildPortInfo(registry, entry);
      const PropertyValue* name = record.ok() ? FindMember(*record, kRecordPortName) : nullptr;
      const StatusOr<RegistryEntry> found =
          name ? FindPortByWWN(registry, *name->AsString()) : StatusOr<RegistryEntry>(entry);
      const RegistryEntry& port = found.ok() ? *found : entry;
      std::ostringstream one_document, one_metrics;
      PrintPortDocument(registry, port, one_document);
      PrintPortMetrics(registry, port, one_metrics);
      documents.insert(one_document.str());
      this->metrics.insert(one_metrics.str());
      for (const std::string& sample : Samples(one_metrics.str()))
        EXPECT_EQ(all.count(sample), 1u) << sample;
    }
    testing::TempDir dir;
    const auto loaded = testing::LoadText(dir, capture);
    EXPECT_TRUE(loaded.ok()) << "the capture does not load: " << loaded.status().message();
  }
};

// The files of texts, for a checker.
std::string Files(const testing::TempDir& dir, const std::set<std::string>& texts,
                  const std::string& suffix) {
  std::string files;
  int count = 0;
  for (const std::string& text : texts)
    files.append(" ").append(dir.Write(std::to_string(count++) + suffix, text));
  return files;
}

TEST(EveryOutput, IsTakenByItsConsumers) {
  Outputs outputs;
  for (const auto& file : fs::directory_iterator(testing::SourceDir() + "/tests/sysfs/trees")) {
    testing::TempDir dir;
    for (const std::string& tree : TreesOf(file.path()))
      testing::BuildTree(tree, dir.path() + "/sys");
    const auto registry = BuildSysfsRegistry(dir.path() + "/sys");
    ASSERT_TRUE(registry.ok());
    const StatusOr<std::string> capture = (*registry)->WriteSnapshot();
    outputs.Add(**registry, file.path().filename(), capture.ok() ? *capture : "", true);
  }
  for (const char* corpus : {"/fuzz/corpus/snapshot", "/fuzz/corpus/reports"}) {
    for (const auto& file : fs::directory_iterator(testing::SourceDir() + corpus)) {
      const auto registry = LoadSnapshotFile(file.path(), RegistryUse::kRead);
      if (registry.ok()) outputs.Add(**registry, file.path(), *(*registry)->WriteSnapshot(), false);
    }
  }
  testing::TempDir dir;
  std::vector<std::string> checks = testing::SchemaAndPromtool(
      "halvane-inventory.schema.json", Files(dir, outputs.documents, ".json"));
  checks.push_back("python3 " + testing::SourceDir() + "/tests/support/check_metrics.py" +
                   Files(dir, outputs.metrics, ".prom"));
  // Graphviz writes every graph to its standard output, and only its warnings are kept.
  checks.push_back("{ dot -Tsvg" + Files(dir, outputs.pictures, ".dot") + " >/dev/null; }");
  testing::ExpectCheckersPass(checks);
}

}  // namespace
}  // namespace halvane
