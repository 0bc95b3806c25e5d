#include "config/refresh.h"

#include <ostream>

namespace halvane {
namespace {

// Copy-send right for the destination, make-send-once for the (absent) reply port, no voucher,
// a simple message.
constexpr std::uint32_t kRefreshMessageBits = 0x00001513;

// The refresh message addressed to daemon_port, every field written.
MessageHeader MakeRefreshMessage(PortName daemon_port) {
  MessageHeader message;
  message.bits = kRefreshMessageBits;
  message.size = sizeof(MessageHeader);
  message.remote_port = daemon_port;
  message.local_port = 0;
  message.voucher_port = 0;
  message.id = 0;
  return message;
}

// The daemon's port, afresh; 0 when it cannot be found.
PortName FindDaemon(MessagePorts& ports) {
  const StatusOr<PortName> lookup = ports.LookupPort();
  if (!lookup.ok()) return 0;
  const StatusOr<PortName> daemon = ports.LookUpService(*lookup, kScsiDaemonService);
  return daemon.ok() ? *daemon : 0;
}

}  // namespace

void DescribeRefreshNotification(MessagePorts& ports, std::ostream& plan) {
  plan << kScsiDaemonService
       << (FindDaemon(ports) != 0 ? ": receives a refresh message\n"
                                  : ": cannot be found, and receives nothing\n");
}

void SendRefreshNotification(MessagePorts& ports) {
  const PortName daemon = FindDaemon(ports);
  if (daemon == 0) return;
  // Whether the daemon took it is not examined: one that is not listening changes nothing.
  (void)ports.SendMessage(MakeRefreshMessage(daemon));
}

}  // namespace halvane
