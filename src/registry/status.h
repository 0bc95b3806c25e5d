// How an operation went: one value that every layer answers with. A failure carries its code,
// which reports print and scripts compare, and one line saying why, written where the failure
// happened (the file and the errno, the driver attribute, the place in a snapshot), so that the
// layer that ends the run can tell the administrator without asking anyone else.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace halvane {

// Codes are signed 32-bit values, only ever compared for equality; 0 is success. The registry's
// codes keep their 32 bits (0xE00002C0 travels as the same bits); the parsers of WWN and hex texts
// have small negative codes of their own; the message ports have small positive ones.
using StatusCode = std::int32_t;

constexpr StatusCode RegistryCode(std::uint32_t bits) { return static_cast<StatusCode>(bits); }

inline constexpr StatusCode kRegistryNoDevice = RegistryCode(0xE00002C0);       // no such device
inline constexpr StatusCode kRegistryNotPrivileged = RegistryCode(0xE00002C1);  // permission denied
inline constexpr StatusCode kRegistryBadArgument = RegistryCode(0xE00002C2);    // value refused
inline constexpr StatusCode kRegistryUnsupported = RegistryCode(0xE00002C7);    // not supported
inline constexpr StatusCode kRegistryIoError = RegistryCode(0xE00002CA);   // input/output error
inline constexpr StatusCode kRegistryNotFound = RegistryCode(0xE00002F0);  // no such data

class [[nodiscard]] Status {
 public:
  Status() = default;
  // A bare code is a status without a reason: what callers compare, nothing to tell.
  Status(StatusCode code) : code_(code) {}  // NOLINT(google-explicit-constructor)
  static Status Ok() { return Status(); }
  static Status Error(StatusCode code, std::string message) {
    Status s(code);
    s.message_ = std::move(message);
    return s;
  }

  bool ok() const { return code_ == 0; }
  StatusCode code() const { return code_; }
  // One line for the administrator, empty when the code says all there is to say.
  const std::string& message() const { return message_; }

 private:
  StatusCode code_ = 0;
  std::string message_;
};

}  // namespace halvane
