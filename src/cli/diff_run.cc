#include "cli/diff_run.h"

#include <memory>
#include <utility>

#include "compare/diff_report.h"
#include "compare/host_model.h"
#include "registry/snapshot.h"
#include "registry/vocabulary.h"

namespace halvane {
RunOutcome DiffTrouble(Status why) {
  RunOutcome outcome{kExitDiffTrouble, std::move(why)};
  outcome.trouble_status = kExitDiffTrouble;
  return outcome;
}

RunOutcome RunDiff(Services& services, const std::string& before, bool json) {
  HostModel was;
  DiffBaseline baseline{before, "", "", ""};
  // What could not be read on either side would show as lost or new: the comparison is printed,
  // each such read is told, and the run ends with the status of trouble.
  bool failed_reads = false;
  const auto tell = [&](const DeviceRegistry& registry, const std::string& side) {
    for (const ReadFailure& failure : registry.FailedReads().all()) {
      TellFailure(services.err, side + "cannot read " + failure.path + ": " + failure.reason);
      failed_reads = true;
    }
  };
  {
    StatusOr<std::unique_ptr<DeviceRegistry>> capture =
        LoadSnapshotFile(before, RegistryUse::kRead);
    if (!capture.ok()) return DiffTrouble(capture.status().Of("the capture to compare with"));
    was = BuildHostModel(**capture);
    baseline = BaselineOf(before, **capture);
    tell(**capture, "the capture " + before + ": when it was taken, ");
  }
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  if (!registry.ok()) return DiffTrouble(registry.status().Of("the host to compare"));
  const HostModel now = BuildHostModel(**registry);
  tell(**registry, "");
  const std::vector<Difference> differences = CompareModels(was, now);
  if (json) {
    PrintDiffDocument(differences, baseline, services.out);
  } else {
    PrintDiffText(differences, baseline, services.out);
  }
  RunOutcome outcome = RunOutcome::Exit(failed_reads          ? kExitDiffTrouble
                                        : differences.empty() ? kExitSuccess
                                                              : kExitFailure);
  outcome.trouble_status = kExitDiffTrouble;
  return outcome;
}

}  // namespace halvane
