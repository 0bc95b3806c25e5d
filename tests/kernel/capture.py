#!/usr/bin/env python3
# Writes what a sysfs tree holds about its Fibre Channel hosts, their remote ports, targets and
# LUNs, and the multipath maps over them, in the format of tests/sysfs/trees/*.tree: the class
# links as the kernel has them, each attribute's bytes, the links the walk follows (device,
# holders, slaves) and the folders whose names are the data (scsi_generic/sgN).
#
#     capture.py SYSFS_ROOT [HEADER_LINE...] > FILE
#
# Only attributes that say what a port, target or LUN is are kept (ATTRIBUTES below): the tree
# stays small, and it holds nothing of the machine it was taken on beyond its storage.
import os
import sys

# What the listing, the document, the metrics and a settings run read, by file name.
ATTRIBUTES = set("""access_state dev_loss_tmo fabric_name fast_io_fail_tmo inquiry
    logical_block_size model model_description node_name port_id port_name port_state port_type
    proc_name queue_depth rev roles scsi_target_id serial_number firmware_version driver_version
    size speed state supported_speeds symbolic_name type vendor vpd_pg83 vport_state
    wwid""".split())
# Folders of no interest to a storage inventory, or that repeat what is elsewhere.
# The link counters are left out too: they change with every frame, and a tree that keeps them
# only grows.
SKIPPED = set("""power subsystem driver bsg firmware_node trace mq integrity generic port scsi_disk
    bdi statistics""".split())

root = os.path.realpath(sys.argv[1])
entries = {}


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read(65536)
    except OSError:
        return None


def attribute(path):
    # Backslash and line end escaped, trailing spaces as \s, other bytes outside ASCII's
    # printable ones as \xHH.
    data = read(path)
    if data is not None:
        entries[os.path.relpath(path, root)] = " = " + "".join(
            "\\\\" if b == 0x5C else "\\n" if b == 0x0A else "\\s" if not data[i:].strip(b" ")
            else chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02x}" for i, b in enumerate(data))
    return data is not None


def link(path):
    entries[os.path.relpath(path, root)] = " -> " + os.readlink(path)
    return True


def walk(folder):
    # The folder's attributes, its subfolders but the skipped ones, and its device links.
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return
    kept = False
    for name in names:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            if name == "device" or os.path.basename(folder) in ("holders", "slaves"):
                kept = link(path)
        elif os.path.isdir(path):
            if name not in SKIPPED:
                attribute(path + "/logical_block_size") if name == "queue" else walk(path)
                kept = True
        elif name in ATTRIBUTES:
            kept = attribute(path) or kept
    if not kept:
        entries[os.path.relpath(folder, root)] = "/"


# A host's own device folder holds its fc_host and scsi_host folders, its remote ports, targets
# and LUNs: the class links into one are kept, and it is walked.
fc_hosts = os.path.join(root, "class/fc_host")
hosts = [os.path.dirname(os.path.dirname(os.path.realpath(os.path.join(fc_hosts, name)))) + "/"
         for name in os.listdir(fc_hosts)]
for cls in ("fc_host", "scsi_host", "fc_remote_ports", "fc_transport", "scsi_device", "fc_vports"):
    folder = os.path.join(root, "class", cls)
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        if (os.path.realpath(os.path.join(folder, name)) + "/").startswith(tuple(hosts)):
            link(os.path.join(folder, name))
for host in hosts:
    walk(host.rstrip("/"))
for name in os.listdir(os.path.join(root, "block")):
    path = os.path.join(root, "block", name)
    if name.startswith("dm-") and (read(path + "/dm/uuid") or b"").startswith(b"mpath-"):
        link(path)
        for attr in ("size", "dm/name", "dm/uuid"):
            attribute(os.path.join(os.path.realpath(path), attr))
        for slave in os.listdir(path + "/slaves"):
            link(os.path.join(os.path.realpath(path), "slaves", slave))

for line in sys.argv[2:]:
    print("# " + line)
for path in sorted(entries):
    print(path + entries[path])
