// Asking the SCSI subsystem daemon to re-synchronise after port settings changed. The request
// is a header-only message: its arrival is the whole request, and no reply is asked for.
#pragma once

#include <cstdint>

#include "host/message_ports.h"

namespace halvane {

inline constexpr char kScsiDaemonService[] = "com.vorla.kestrit.scsid";

// Looks the daemon up afresh and sends it one refresh message, when the lookup gives a port. A
// daemon that cannot be found or reached changes nothing for the administrator: nothing is
// printed, ever.
void SendRefreshNotification(MessagePorts& ports);

}  // namespace halvane
