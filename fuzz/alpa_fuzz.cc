// The AL_PA argument: whatever is typed, an accepted value is one of the 133 neutral-disparity
// values, derived here again from the 8b/10b rule.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/validation.h"

using namespace halvane;

namespace {

bool IsNeutral(int b) {
  static const bool kBalanced5[32] = {0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0,
                                      0, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0};
  static const bool kBalanced3[8] = {0, 1, 1, 1, 0, 1, 1, 0};
  return b != 0 && kBalanced5[b & 0x1F] == kBalanced3[b >> 5];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto value = ParseAlpaArgument(text.c_str());
  if (value && (*value < 1 || *value > 255 || !IsNeutral(*value))) std::abort();
  for (int b = 0; b < 256; ++b) {
    if (IsAcceptedALPA(static_cast<std::uint8_t>(b)) != IsNeutral(b)) std::abort();
  }
  return 0;
}
