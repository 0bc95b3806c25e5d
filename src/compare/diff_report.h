// The differences between a capture and the host, as a person reads them (a summary line, then
// one line per difference) and as a program does (the document halvane-diff/1).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "compare/host_diff.h"
#include "registry/device_registry.h"

namespace halvane {

// What the comparison was against: the capture's file as given, and where and when it was taken,
// when the capture says.
struct DiffBaseline {
  std::string file;
  std::string host, time, version;
};

// The capture file as given, and what the registry read from it says of itself.
DiffBaseline BaselineOf(const std::string& file, const DeviceRegistry& capture);

// " (against FILE, taken on HOST at TIME)", escaped, as far as the capture says.
std::string AgainstText(const DiffBaseline& baseline);

// The summary line's text: "3 paths lost on port ..., 1 LUN new, 2 counters rose", or "nothing
// differs", then what it compares against.
std::string DiffSummary(const std::vector<Difference>& differences, const DiffBaseline& baseline);

// The summary line, then one line per difference in order; every name and value escaped.
void PrintDiffText(const std::vector<Difference>& differences, const DiffBaseline& baseline,
                   std::ostream& out);

// The document halvane-diff/1 (doc/halvane-diff.schema.json).
void PrintDiffDocument(const std::vector<Difference>& differences, const DiffBaseline& baseline,
                       std::ostream& out);

}  // namespace halvane
