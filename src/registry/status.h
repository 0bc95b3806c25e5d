// Statuses: the registry's status codes, and a status that carries the reason of a failure with
// it, so that a failure deep in a save or a driver write can say why without a side channel.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace halvane {

// Registry statuses: 0 is success. They travel unchanged through the tool's signed 32-bit
// statuses and are only ever compared for equality.
using RegistryStatus = std::uint32_t;
inline constexpr RegistryStatus kRegistrySuccess = 0;
inline constexpr RegistryStatus kRegistryError = 0xE00002BC;          // general failure
inline constexpr RegistryStatus kRegistryNoMemory = 0xE00002BD;       // request could not be built
inline constexpr RegistryStatus kRegistryNoDevice = 0xE00002C0;       // no such device
inline constexpr RegistryStatus kRegistryNotPrivileged = 0xE00002C1;  // permission denied
inline constexpr RegistryStatus kRegistryBadArgument = 0xE00002C2;    // value refused
inline constexpr RegistryStatus kRegistryUnsupported = 0xE00002C7;    // not supported
inline constexpr RegistryStatus kRegistryIoError = 0xE00002CA;        // input/output error
inline constexpr RegistryStatus kRegistryNotFound = 0xE00002F0;       // no such data

// A registry status and, for a failure, one line saying why, for the administrator. A bare code
// converts to a status without a message.
class Status {
 public:
  Status() = default;
  Status(RegistryStatus code) : code_(code) {}  // NOLINT(google-explicit-constructor)
  static Status Ok() { return Status(); }
  static Status Error(RegistryStatus code, std::string message) {
    Status s(code);
    s.message_ = std::move(message);
    return s;
  }

  bool ok() const { return code_ == kRegistrySuccess; }
  RegistryStatus code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  RegistryStatus code_ = kRegistrySuccess;
  std::string message_;
};

}  // namespace halvane
