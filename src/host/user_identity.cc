#include "host/user_identity.h"

#include <unistd.h>

namespace halvane {
namespace {

class PosixUserIdentity : public UserIdentity {
 public:
  std::uint32_t EffectiveUserId() const override { return geteuid(); }
};

}  // namespace

const UserIdentity& ProcessUserIdentity() {
  static const PosixUserIdentity identity;
  return identity;
}

}  // namespace halvane
