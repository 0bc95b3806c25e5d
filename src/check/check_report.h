// The verdict in the three forms a check run prints it in: the Monitoring Plugins' text that
// Nagios, Icinga, Checkmk and Zabbix agents read, the check document for scripts (its schema is
// doc/halvane-check.schema.json), and Prometheus gauges for the node exporter's text file.
#pragma once

#include <ostream>

#include "check/findings.h"

namespace halvane {

// "HALVANE <STATUS> - <summary> | 'ports'=2 ...", then one line per finding, most severe first,
// then the accepted ones.
void PrintCheckText(const Verdict& verdict, std::ostream& out);
// The document "halvane-check/1".
void PrintCheckDocument(const Verdict& verdict, std::ostream& out);
// halvane_check_findings by code and severity (every one, 0 when there is none) and
// halvane_check_accepted_findings for a verdict that judged anything, then halvane_check_status,
// always last: an exposition that ends with it is whole.
void PrintCheckMetrics(const Verdict& verdict, std::ostream& out);

}  // namespace halvane
