// Asking the SCSI subsystem daemon to re-synchronise after port settings changed. The request
// is a header-only message: its arrival is the whole request, and no reply is asked for.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "host/message_ports.h"

namespace halvane {

inline constexpr char kScsiDaemonService[] = "com.vorla.kestrit.scsid";

// Looks the daemon up afresh and sends it one refresh message, when the lookup gives a port. A
// daemon that cannot be found or reached changes nothing for the administrator: nothing is
// printed, ever.
void SendRefreshNotification(MessagePorts& ports);
// What SendRefreshNotification would do, with nothing sent: one line on plan, whether the daemon
// can be found and would receive the message.
void DescribeRefreshNotification(MessagePorts& ports, std::ostream& plan);

}  // namespace halvane
