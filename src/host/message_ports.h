// Named-service lookup and one-way messages to other processes' ports: how the tool reaches the
// SCSI subsystem daemon. Abstract so that tests can see every call without a daemon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "registry/status.h"

namespace halvane {

using PortName = std::uint32_t;
inline constexpr std::uint32_t kBootstrapSpecialPort = 4;
inline constexpr StatusCode kPortsFailure = 5;  // a lookup or a send that could not be made
inline constexpr StatusCode kPortsInvalidArgument = 4;
inline constexpr std::uint32_t kSendOnly = 1;

// A message that is only a header: six 32-bit fields in the host's byte order.
struct MessageHeader {
  std::uint32_t bits = 0;
  std::uint32_t size = 0;
  PortName remote_port = 0;
  PortName local_port = 0;
  std::uint32_t voucher_port = 0;
  std::int32_t id = 0;
};
static_assert(sizeof(MessageHeader) == 24, "the header travels as exactly 24 bytes");

class MessagePorts {
 public:
  virtual ~MessagePorts() = default;

  // Special port `which` of the current process into *port. Only the service lookup port
  // (kBootstrapSpecialPort) exists; other numbers fail.
  virtual Status GetSpecialPort(std::uint32_t which, PortName* port) = 0;

  // The port registered under name, looked up through lookup_port, into *port.
  virtual Status LookUpService(PortName lookup_port, std::string_view name, PortName* port) = 0;

  // Sends a header-only message to its remote_port. options must be kSendOnly: nothing is
  // received and nothing waited for, not even a busy receiver.
  virtual Status SendMessage(const MessageHeader& message, std::uint32_t options) = 0;
};

// The service directory of sockets at service_dir; each service is a Unix datagram socket named
// after it. The descriptors obtained are held until the process ends and are closed on exec.
std::unique_ptr<MessagePorts> MakeServiceDirectoryPorts(std::string service_dir);

}  // namespace halvane
