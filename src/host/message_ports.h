// Named-service lookup and one-way messages to other processes' ports: how the tool reaches the
// SCSI subsystem daemon. Abstract so that tests can see every call without a daemon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"

namespace halvane {

using PortName = std::uint32_t;

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

  // The port through which the current process looks services up.
  virtual StatusOr<PortName> LookupPort() = 0;

  // The port registered under name, looked up through lookup_port.
  virtual StatusOr<PortName> LookUpService(PortName lookup_port, std::string_view name) = 0;

  // Sends a header-only message to its remote_port: nothing is received and nothing waited for,
  // not even a busy receiver.
  virtual Status SendMessage(const MessageHeader& message) = 0;
};

// The service directory of sockets at service_dir; each service is a Unix datagram socket named
// after it. The descriptors obtained are held until the process ends and are closed on exec.
std::unique_ptr<MessagePorts> MakeServiceDirectoryPorts(std::string service_dir);

}  // namespace halvane
