// Small sysfs trees laid out as the kernel lays them out (class links pointing into devices/,
// relative like the kernel's), kept as data in tests/sysfs/trees/*.tree.
#pragma once

#include <string>

#include "support/run_binary.h"

namespace halvane::testing {

// Adds the entries of tests/sysfs/trees/NAME.tree under root, one a line: "PATH = CONTENT" a file
// (C escapes \n, \\ and \xHH, in PATH too), "PATH * N TEXT" a file of N times TEXT,
// "PATH -> TARGET" a symbolic link, "PATH => FILE" a hard link to the tree's FILE, "PATH/" an
// empty folder, "PATH |" a FIFO, "PATH %" a character device (/dev/null's numbers; a FIFO where
// devices cannot be made); "#" starts a comment line. An entry replaces what was at its path.
void BuildTree(const std::string& name, const std::string& root);

// The options of a run on a host: the trees named in host, apart by spaces, laid out under root in
// that order and read live; or, for "@FILE", the snapshot FILE of the checkout.
RunOptions OnHost(const std::string& host, const std::string& root);

// Writes content to path, creating the folders on the way.
void WriteFile(const std::string& path, const std::string& content);

}  // namespace halvane::testing
