// CompareModels on models built by hand: what the change windows of diffs.txt do not show (a
// counter reset, a LUN number handed to another LUN, the order of the lines).
#include "compare/host_diff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvane {
namespace {

// A host of one port, with a CRC counter of crc (or none), and one path to the LUN wwid.
HostModel Host(std::optional<std::uint64_t> crc, const std::string& wwid,
               const std::string& block) {
  HostModel m;
  ModelPort& port = m.ports.emplace_back();
  port.name = m.texts.Id("10:00:00:00:00:00:00:01");
  port.fields[0] = m.texts.Id("online");
  port.has_counter[2] = crc.has_value();
  port.counters[2] = crc.value_or(0);
  ModelPath& path = m.paths.emplace_back();
  path.port = port.name;
  path.remote = m.texts.Id("50:00:00:00:00:00:00:01");
  path.address = m.texts.Id("0");
  path.unit = m.texts.Id(wwid);
  path.block = m.texts.Id(block);
  path.fields[0] = m.texts.Id("running");
  path.usable = true;
  m.units.push_back({path.unit, false, {}});
  return m;
}

// "level kind field before after", one a difference, in order.
std::vector<std::string> Lines(const std::vector<Difference>& differences) {
  std::vector<std::string> lines;
  for (const Difference& d : differences) {
    lines.push_back(std::string(LevelName(d.level)) + " " + std::string(KindName(d.kind)) + " " +
                    d.field + " " + d.before + " " + d.after);
  }
  return lines;
}

TEST(CompareModels, WhatDiffersAndInWhichOrder) {
  const struct {
    const char* name;
    HostModel before, after;
    std::vector<std::string> lines;
  } kCases[] = {
      {"the same host", Host(5, "naa.1", "sda"), Host(5, "naa.1", "sda"), {}},
      // A counter reset (a reboot, an administrator) did not rise, nor did one not kept.
      {"a counter reset", Host(9, "naa.1", "sda"), Host(2, "naa.1", "sda"), {}},
      {"a counter not kept", Host(std::nullopt, "naa.1", "sda"), Host(7, "naa.1", "sda"), {}},
      {"a counter rose",
       Host(0, "naa.1", "sda"),
       Host(31, "naa.1", "sda"),
       {"port rose invalid_crc_count 0 31"}},
      // Another LUN behind the same LUN number: the path leads elsewhere, one LUN went, one came;
      // the port's lines first, then what spans ports.
      {"a LUN number reused",
       Host(0, "naa.1", "sda"),
       Host(0, "naa.2", "sdb"),
       {"path changed unit naa.1 naa.2", "path moved block_device sda sdb", "lun removed   ",
        "lun new   "}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Lines(CompareModels(c.before, c.after)), c.lines) << c.name;
  }
}

// LUN numbers sort by their value, as the listing shows them: 2 before 10.
TEST(CompareModels, LunNumbersInTheirOrder) {
  HostModel before = Host(0, "naa.1", "sda"), after = Host(0, "naa.1", "sda");
  for (const char* lun : {"10", "2"}) {
    ModelPath path = before.paths[0];
    path.address = before.texts.Id(lun);
    path.block = before.texts.Id(std::string("sd") + lun);
    before.paths.push_back(path);
  }
  std::vector<std::string> addresses;
  for (const Difference& d : CompareModels(before, after)) addresses.push_back(d.address);
  EXPECT_EQ(addresses, (std::vector<std::string>{"2", "10", ""}));
}

}  // namespace
}  // namespace halvane
