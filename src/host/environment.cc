#include "host/environment.h"

#include <cstdlib>

namespace halvane {
namespace {

void Take(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (text != nullptr && *text != '\0') *value = text;
}

}  // namespace

HostEnvironment ReadHostEnvironment() {
  HostEnvironment environment;
  Take("HALVANE_REGISTRY", &environment.snapshot);
  Take("HALVANE_SYSFS_ROOT", &environment.sysfs_root);
  Take("HALVANE_SERVICE_DIR", &environment.service_dir);
  return environment;
}

}  // namespace halvane
