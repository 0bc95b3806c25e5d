// Asking the SCSI subsystem daemon to re-synchronise after port settings changed. The request
// is a header-only message: its arrival is the whole request, and no reply is asked for.
#pragma once

#include <cstdint>

#include "host/message_ports.h"

namespace halvane {

inline constexpr char kScsiDaemonService[] = "com.vorla.kestrit.scsid";
// Copy-send right for the destination, make-send-once for the (absent) reply port, no voucher,
// a simple message.
inline constexpr std::uint32_t kRefreshMessageBits = 0x00001513;

// The refresh message addressed to daemon_port, every field written.
MessageHeader MakeRefreshMessage(PortName daemon_port);

// Looks the daemon up afresh and sends it one refresh message, when the lookup gives a port. A
// daemon that cannot be found or reached changes nothing for the administrator: nothing is
// printed, ever.
void SendRefreshNotification(MessagePorts& ports);

}  // namespace halvane
