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

// Looks the daemon up afresh and sends it one refresh message. Answers 0 when the message was
// handed over or the lookup gave no port, otherwise the status of the step that failed. Prints
// nothing, ever; the caller ignores the answer.
std::int32_t SendRefreshNotification(MessagePorts& ports);

// The daemon port of the last lookup, kept for the life of the process (0 before any).
PortName DaemonPort();

}  // namespace halvane
