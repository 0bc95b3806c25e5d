// What a capture says of itself: the host it was taken on, when, and by which release, so that a
// comparison or a verdict against it can say what it compares with.
#pragma once

#include <string_view>

#include "host/environment.h"
#include "registry/property_value.h"

namespace halvane {

// "host" (this host's name), "time" (now, or SOURCE_DATE_EPOCH, in UTC as
// YYYY-MM-DDTHH:MM:SSZ) and "version". A capture made with SOURCE_DATE_EPOCH set must come out
// the same on every machine, so it names no host.
Dictionary CaptureNote(const HostEnvironment& environment, std::string_view version);

}  // namespace halvane
