#!/usr/bin/env python3
"""Writes what a sysfs tree holds about its Fibre Channel hosts, their remote ports, targets and
LUNs, and the multipath maps over them, in the format of tests/sysfs/trees/*.tree: the class
links as the kernel has them, each attribute's bytes, the links the walk follows (device,
holders, slaves) and the folders whose names are the data (scsi_generic/sgN).

    capture.py SYSFS_ROOT [HEADER_LINE...] > FILE

Only attributes that say what a port, target or LUN is are kept (ATTRIBUTES below): the tree
stays small, and it holds nothing of the machine it was taken on beyond its storage."""
import os
import sys

# What the listing, the document, the metrics and a settings run read, by file name.
ATTRIBUTES = {
    "access_state", "dev_loss_tmo", "fabric_name", "fast_io_fail_tmo", "inquiry",
    "logical_block_size", "model", "model_description", "node_name", "port_id", "port_name",
    "port_state", "port_type", "proc_name", "queue_depth", "rev", "roles", "scsi_target_id",
    "serial_number", "firmware_version", "driver_version", "size", "speed", "state",
    "supported_speeds", "symbolic_name", "type", "vendor", "vpd_pg83", "vport_state", "wwid",
}
# Folders of no interest to a storage inventory, or that repeat what is elsewhere.
# The link counters are left out too: they change with every frame, and a tree that keeps them
# only grows.
SKIPPED = {"power", "subsystem", "driver", "bsg", "firmware_node", "trace", "mq", "integrity",
           "generic", "port", "scsi_disk", "bdi", "statistics"}

root = os.path.realpath(sys.argv[1])
entries = {}


def rel(path):
    return os.path.relpath(path, root)


def escape(data):
    """Backslash and line end escaped, trailing spaces as \\s, other bytes outside ASCII's
    printable ones as \\xHH."""
    return "".join("\\\\" if b == 0x5C else "\\n" if b == 0x0A
                   else "\\s" if not data[i:].strip(b" ") else chr(b) if 0x20 <= b < 0x7F
                   else f"\\x{b:02x}" for i, b in enumerate(data))


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read(65536)
    except OSError:
        return None


def attribute(path):
    data = read(path)
    if data is not None:
        entries[rel(path)] = " = " + escape(data)
    return data is not None


def link(path):
    entries[rel(path)] = " -> " + os.readlink(path)


def walk(folder, extra=()):
    """The folder's attributes, its subfolders but the skipped ones, and its device links."""
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return
    kept = False
    for name in names:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            if name == "device" or os.path.basename(folder) in ("holders", "slaves"):
                link(path)
                kept = True
            continue
        if os.path.isdir(path):
            if name in SKIPPED:
                continue
            if name == "queue":
                walk_files(path, {"logical_block_size"})
            else:
                walk(path)
            kept = True
            continue
        if name in ATTRIBUTES or name in extra:
            kept = attribute(path) or kept
    if not kept:
        entries[rel(folder)] = "/"


def walk_files(folder, names):
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and name in names:
            attribute(path)


def under(path, folders):
    return any(path == f or path.startswith(f + "/") for f in folders)


hosts = []
for name in sorted(os.listdir(os.path.join(root, "class/fc_host"))):
    link(os.path.join(root, "class/fc_host", name))
    scsi_host = os.path.join(root, "class/scsi_host", name)
    if os.path.islink(scsi_host):
        link(scsi_host)
    # The host's own device folder holds its fc_host and scsi_host folders, its remote ports,
    # targets and LUNs.
    hosts.append(os.path.dirname(os.path.dirname(os.path.realpath(
        os.path.join(root, "class/fc_host", name)))))
for cls in ("fc_remote_ports", "fc_transport", "scsi_device", "fc_vports"):
    folder = os.path.join(root, "class", cls)
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        if under(os.path.realpath(os.path.join(folder, name)), hosts):
            link(os.path.join(folder, name))
for host in hosts:
    walk(host)
maps = []
for name in sorted(os.listdir(os.path.join(root, "block"))):
    path = os.path.join(root, "block", name)
    if name.startswith("dm-") and (read(path + "/dm/uuid") or b"").startswith(b"mpath-"):
        link(path)
        maps.append(os.path.realpath(path))
for folder in maps:
    for name in ("size", "dm/name", "dm/uuid"):
        entries[rel(os.path.join(folder, name))] = " = " + escape(read(os.path.join(folder, name)))
    for name in sorted(os.listdir(folder + "/slaves")):
        link(os.path.join(folder, "slaves", name))

for line in sys.argv[2:]:
    print("# " + line)
for path in sorted(entries):
    print(path + entries[path])
