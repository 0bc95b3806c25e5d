// Fuzz input loaded as a run loads a snapshot, from a file (fuzz_text.cc).
#pragma once

#include <memory>
#include <string_view>

#include "registry/device_registry.h"

namespace halvane {

// The registry text holds, loaded from a file as a run loads one.
StatusOr<std::unique_ptr<DeviceRegistry>> LoadFuzzText(std::string_view text);

}  // namespace halvane
