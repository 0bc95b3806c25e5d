#include "host/environment.h"

#include <cstdlib>

namespace halvane {
namespace {

// Whether the variable is set; its text in *value unless it is empty.
bool ReadIfSet(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (text != nullptr && *text != '\0') *value = text;
  return text != nullptr;
}

}  // namespace

HostEnvironment ReadHostEnvironment() {
  HostEnvironment environment;
  if (ReadIfSet("HALVANE_REGISTRY", &environment.snapshot) && environment.snapshot.empty()) {
    environment.refused = Status::Error(
        kBadArgument,
        "HALVANE_REGISTRY is set but empty: name a snapshot file, or unset it for the live host");
  }
  std::string root;
  if (ReadIfSet("HALVANE_SYSFS_ROOT", &root)) {
    if (root.empty()) {
      environment.refused = Status::Error(
          kBadArgument,
          "HALVANE_SYSFS_ROOT is set but empty: name a sysfs tree, or unset it for /sys");
    } else {
      environment.sysfs_root = root;
    }
  }
  ReadIfSet("HALVANE_SERVICE_DIR", &environment.service_dir);
  ReadIfSet("HALVANE_BASELINE", &environment.baseline);
  std::string epoch;
  // Decimal digits only, as reproducible builds write it; anything else is no time at all.
  if (ReadIfSet("SOURCE_DATE_EPOCH", &epoch) && !epoch.empty() && epoch.size() <= 18 &&
      epoch.find_first_not_of("0123456789") == std::string::npos)
    environment.source_date_epoch = std::stoll(epoch);
  return environment;
}

}  // namespace halvane
