// Who the process runs as. Abstract so that the settings path can be tested as root and as any
// other user without changing the test's own identity.
#pragma once

#include <cstdint>

namespace halvane {

class UserIdentity {
 public:
  virtual ~UserIdentity() = default;
  virtual std::uint32_t EffectiveUserId() const = 0;
};

// The real process identity.
const UserIdentity& ProcessUserIdentity();

}  // namespace halvane
