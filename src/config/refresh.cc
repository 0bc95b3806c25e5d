#include "config/refresh.h"

namespace halvane {

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

void SendRefreshNotification(MessagePorts& ports) {
  const StatusOr<PortName> lookup = ports.LookupPort();
  if (!lookup.ok()) return;
  const StatusOr<PortName> daemon = ports.LookUpService(*lookup, kScsiDaemonService);
  if (!daemon.ok() || *daemon == 0) return;
  // Whether the daemon took it is not examined: one that is not listening changes nothing.
  (void)ports.SendMessage(MakeRefreshMessage(*daemon));
}

}  // namespace halvane
