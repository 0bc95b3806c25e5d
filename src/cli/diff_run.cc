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
  {
    StatusOr<std::unique_ptr<DeviceRegistry>> capture =
        LoadSnapshotFile(before, RegistryUse::kRead);
    if (!capture.ok()) return DiffTrouble(capture.status().Of("the capture to compare with"));
    was = BuildHostModel(**capture);
    baseline = BaselineOf(before, **capture);
  }
  const StatusOr<DeviceRegistry*> registry = services.registry.Open(RegistryUse::kRead);
  if (!registry.ok()) return DiffTrouble(registry.status().Of("the host to compare"));
  const HostModel now = BuildHostModel(**registry);
  const std::vector<Difference> differences = CompareModels(was, now);
  if (json) {
    PrintDiffDocument(differences, baseline, services.out);
  } else {
    PrintDiffText(differences, baseline, services.out);
  }
  RunOutcome outcome = RunOutcome::Exit(differences.empty() ? kExitSuccess : kExitFailure);
  outcome.trouble_status = kExitDiffTrouble;
  return outcome;
}

}  // namespace halvane
