#include "check/judge.h"

#include <gtest/gtest.h>

namespace halvane {
namespace {

// An administrator accepts a LUN by the WWID at hand: the kernel's, multipath's, the array's in
// capitals; each is the LUN's, and what is no WWID is refused rather than match nothing.
TEST(WwidKey, EveryFormOfOneWwidIsOneKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"naa.600a0b80002fc104", "naa.600a0b80002fc104"},
      {"3600A0B80002FC104", "naa.600a0b80002fc104"},
      {"NAA.600A0B80002FC104", "naa.600a0b80002fc104"},
      {"20025385b71b02c4", "eui.0025385b71b02c4"},
      {"1ACME    Disk 42", "t10.ACME    Disk 42"},
      {"t10.ACME    Disk 42", "t10.ACME    Disk 42"},
      {"uuid.9D6F1C2A-5B3E-4F70-8A1D-2C4E6F8A0B1C", "uuid.9d6f1c2a-5b3e-4f70-8a1d-2c4e6f8a0b1c"},
      {"0x600A0B80002FC105", "0x600a0b80002fc105"},
      {"600a0b80002fc104", nullptr},
      {"naa.600a0b8g", nullptr},
      {"naa.", nullptr},
      {"3", nullptr},
      {"", nullptr},
  };
  for (const auto& [text, key] : cases) {
    const std::optional<std::string> got = WwidKey(text);
    if (key) {
      EXPECT_EQ(got, std::optional<std::string>(key)) << text;
    } else {
      EXPECT_EQ(got, std::nullopt) << text;
    }
  }
}

}  // namespace
}  // namespace halvane
