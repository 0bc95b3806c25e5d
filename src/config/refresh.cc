#include "config/refresh.h"

namespace halvane {
namespace {

// Process-wide, as the port right it names is.
PortName g_daemon_port = 0;

}  // namespace

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

std::int32_t SendRefreshNotification(MessagePorts& ports) {
  PortName lookup_port = 0;
  if (std::int32_t s = ports.GetSpecialPort(kBootstrapSpecialPort, &lookup_port); s != 0) return s;
  if (std::int32_t s = ports.LookUpService(lookup_port, kScsiDaemonService, &g_daemon_port);
      s != 0) {
    return s;
  }
  if (g_daemon_port == 0) return 0;
  // The send's own status is not examined: a daemon that is not listening changes nothing for
  // the administrator.
  ports.SendMessage(MakeRefreshMessage(g_daemon_port), kSendOnly, sizeof(MessageHeader), 0, 0, 0,
                    0);
  return 0;
}

PortName DaemonPort() { return g_daemon_port; }

}  // namespace halvane
