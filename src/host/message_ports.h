// Named-service lookup and one-way messages to other processes' ports: how the tool reaches the
// SCSI subsystem daemon. Abstract so that tests can see every call without a daemon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

using PortName = std::uint32_t;
inline constexpr std::uint32_t kBootstrapSpecialPort = 4;
inline constexpr std::int32_t kPortsFailure = 5;  // a lookup or a send that could not be made
inline constexpr std::int32_t kPortsInvalidArgument = 4;
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
  virtual std::int32_t GetSpecialPort(std::uint32_t which, PortName* port) = 0;

  // The port registered under name, looked up through lookup_port, into *port.
  virtual std::int32_t LookUpService(PortName lookup_port, std::string_view name,
                                     PortName* port) = 0;

  // Sends a header-only message to its remote_port; options, sizes, receive port, time limit
  // and notification port as the caller gives them. Never waits for a busy receiver.
  virtual std::int32_t SendMessage(const MessageHeader& message, std::uint32_t options,
                                   std::uint32_t send_size, std::uint32_t receive_size,
                                   PortName receive_port, std::uint32_t timeout,
                                   PortName notify_port) = 0;
};

// The service directory of sockets named by HALVANE_SERVICE_DIR (default
// /run/kestrit/services); each service is a Unix datagram socket named after it. The descriptors
// obtained are held until the process ends and are closed on exec.
MessagePorts& ProcessMessagePorts();

}  // namespace halvane
