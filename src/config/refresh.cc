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
  PortName lookup_port = 0;
  PortName daemon_port = 0;
  if (!ports.GetSpecialPort(kBootstrapSpecialPort, &lookup_port).ok()) return;
  if (!ports.LookUpService(lookup_port, kScsiDaemonService, &daemon_port).ok()) return;
  if (daemon_port == 0) return;
  // Whether the daemon took it is not examined: one that is not listening changes nothing.
  (void)ports.SendMessage(MakeRefreshMessage(daemon_port), kSendOnly);
}

}  // namespace halvane
