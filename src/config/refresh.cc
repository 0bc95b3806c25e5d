#include "config/refresh.h"

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

}  // namespace

void SendRefreshNotification(MessagePorts& ports) {
  const StatusOr<PortName> lookup = ports.LookupPort();
  if (!lookup.ok()) return;
  const StatusOr<PortName> daemon = ports.LookUpService(*lookup, kScsiDaemonService);
  if (!daemon.ok() || *daemon == 0) return;
  // Whether the daemon took it is not examined: one that is not listening changes nothing.
  (void)ports.SendMessage(MakeRefreshMessage(*daemon));
}

}  // namespace halvane
