#!/usr/bin/env python3
"""Judges what the VM of tests/kernel/run kept: what halvane printed in each phase of the SAN's
life against the kernel's own files (the phase's capture, PHASE/sysfs.tree, read here with no
halvane code) and against lsscsi, sg_inq and multipath. One line per check, then
"N passed, M failed, K skipped"; exit status 1 when a check failed.

    check.py RESULTS HALVANE_BINARY CHECKOUT [MISSING...]

MISSING names what the run could not have (a tool, the kernel): every check that needs it is
skipped, and under CI=true it fails. A peer missing in the guest (status 127) counts the same."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

results, binary, checkout = sys.argv[1:4]
missing = set(sys.argv[4:])
strict = os.environ.get("CI") == "true"


class Skip(Exception):
    pass


class Fail(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Fail(message)


def equal(got, wanted, what):
    if got == wanted:
        return
    if isinstance(got, str) and isinstance(wanted, str) and "\n" in got + wanted:
        # Long texts: the first line that differs.
        for number, (a, b) in enumerate(zip(got.splitlines() + [""], wanted.splitlines() + [""])):
            if a != b:
                raise Fail(f"{what}: line {number + 1} is {a!r}, expected {b!r}")
    where = first_difference(got, wanted)
    if where and where[0] != "$":
        raise Fail(f"{what}: at {where[0]} halvane says {shorten(where[1])}, "
                   f"expected {shorten(where[2])}")
    raise Fail(f"{what}: halvane says {shorten(got)}, expected {shorten(wanted)}")


def first_difference(got, wanted, path="$"):
    """Where two documents first differ: (path, one's value, the other's), or None."""
    if isinstance(got, dict) and isinstance(wanted, dict):
        for key in list(got) + [k for k in wanted if k not in got]:
            if got.get(key, "(absent)") != wanted.get(key, "(absent)"):
                return first_difference(got.get(key, "(absent)"), wanted.get(key, "(absent)"),
                                        f"{path}.{key}")
        return None
    if isinstance(got, list) and isinstance(wanted, list) and len(got) == len(wanted):
        for i, (a, b) in enumerate(zip(got, wanted)):
            if a != b:
                return first_difference(a, b, f"{path}[{i}]")
        return None
    return (path, got, wanted) if got != wanted else None


def shorten(value):
    text = repr(value)
    return text if len(text) <= 300 else text[:300] + "..."


# ---- what the guest kept ----

def output(phase, name, peer=False):
    """The standard output of a run in the guest; a peer that was not found skips the check."""
    base = os.path.join(results, phase, name)
    if not os.path.exists(base + ".rc"):
        raise Fail(f"{phase}/{name} did not run in the guest")
    rc = int(open(base + ".rc").read())
    if peer and rc == 127:
        raise Skip(f"{name.split('-')[0]} is not installed in the guest")
    return open(base + ".out", encoding="utf-8", errors="replace").read()


def status(phase, name):
    return int(open(os.path.join(results, phase, name + ".rc")).read())


def errors(phase, name):
    return open(os.path.join(results, phase, name + ".err"), encoding="utf-8").read()


def document(phase, name="json"):
    return json.loads(output(phase, name))


def ends(phase):
    """i0, i1, t0, t1: the host and port name of each end of the two links."""
    table = {}
    for line in open(os.path.join(results, phase, "ends")):
        end, host, wwn = line.split()
        table[end] = (host, wwn.upper())
    return table


# ---- the kernel's files, from the capture ----

def unescape(text):
    out, i = bytearray(), 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "t": b"\t", "s": b" "}.get(n, n.encode())
            i += 2
            continue
        out += c.encode()
        i += 1
    return bytes(out)


def materialise(tree_file, root):
    """Lays the capture out as files and links under root, as the test suite's trees are."""
    for line in open(tree_file, encoding="utf-8"):
        line = line.rstrip("\n")
        if not line or line.startswith("#"):
            continue
        if " = " in line:
            path, content = line.split(" = ", 1)
        elif " -> " in line:
            path, content = line.split(" -> ", 1)
        else:
            path, content = line.rstrip("/"), None
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if " = " in line:
            open(full, "wb").write(unescape(content))
        elif " -> " in line:
            os.symlink(content, full)
        else:
            os.makedirs(full, exist_ok=True)


trees = {}


def kernel(phase):
    if phase not in trees:
        tree = os.path.join(results, phase, "sysfs.tree")
        if not os.path.exists(tree):
            raise Fail(f"no capture of the {phase} phase")
        root = tempfile.mkdtemp(prefix=f"halvane-kernel-{phase}-")
        materialise(tree, root)
        trees[phase] = Kernel(root)
    return trees[phase]


class Kernel:
    """The kernel's Fibre Channel hosts, remote ports, LUNs and maps, read as the kernel
    documents them (Documentation/ABI, scsi_transport_fc.c), not as halvane reads them."""

    def __init__(self, root):
        self.root = root

    def text(self, *path):
        try:
            return open(os.path.join(self.root, *path), "rb").read().decode().rstrip("\n")
        except OSError:
            return None

    def names(self, *path):
        folder = os.path.join(self.root, *path)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def real(self, *path):
        return os.path.realpath(os.path.join(self.root, *path))

    def hosts(self):
        attributes = ("port_name", "node_name", "port_state", "speed", "port_type", "port_id",
                      "fabric_name", "symbolic_name")
        return {h: {a: self.text("class/fc_host", h, a) for a in attributes}
                | {"proc_name": self.text("class/scsi_host", h, "proc_name")}
                for h in self.names("class/fc_host")}

    def remote_ports(self):
        return {r: {a: self.text("class/fc_remote_ports", r, a) for a in
                    ("port_name", "node_name", "port_id", "port_state", "roles", "scsi_target_id",
                     "dev_loss_tmo", "fast_io_fail_tmo")}
                for r in self.names("class/fc_remote_ports")}

    def luns(self):
        table = {}
        for address in self.names("class/scsi_device"):
            folder = self.real("class/scsi_device", address, "device")
            lun = {a: self.text(folder, a) for a in
                   ("state", "vendor", "model", "rev", "access_state", "wwid", "queue_depth",
                    "type")}
            inquiry = open(os.path.join(folder, "inquiry"), "rb").read()
            lun["tpgs"] = (inquiry[5] >> 4) & 3 if len(inquiry) > 5 else 0
            blocks = self.names(folder, "block")
            lun["block"] = blocks[0] if blocks else None
            if blocks:
                lun["size"] = int(self.text(folder, "block", blocks[0], "size")) * 512
                lun["lbs"] = int(self.text(folder, "block", blocks[0], "queue",
                                           "logical_block_size"))
                lun["holders"] = self.names(folder, "block", blocks[0], "holders")
            sg = self.names(folder, "scsi_generic")
            lun["sg"] = sg[0] if sg else None
            # The remote port above the target above the LUN.
            lun["rport"] = os.path.basename(os.path.dirname(os.path.dirname(folder)))
            table[address] = lun
        return table

    def maps(self):
        table = {}
        for dm in self.names("block"):
            uuid = self.text("block", dm, "dm/uuid") or ""
            if dm.startswith("dm-") and uuid.startswith("mpath-"):
                table[dm] = {"name": self.text("block", dm, "dm/name"), "uuid": uuid,
                             "size": int(self.text("block", dm, "size")) * 512,
                             "slaves": self.names("block", dm, "slaves")}
        return table


def norm(text):
    """The document's spelling of a kernel state or role."""
    return text.lower().replace("-", "_").replace(" ", "_")


def wwn(text):
    """0x2000020000000010 -> 20:00:02:00:00:00:00:10"""
    digits = text[2:].upper().rjust(16, "0")
    return ":".join(digits[i:i + 2] for i in range(0, 16, 2))


# ---- the peers ----

def lsscsi(phase, name="lsscsi"):
    """[H:C:T:L] disk fcoe:0x<wwpn>,0x<port id> /dev/sdX /dev/sgN SIZE"""
    rows = {}
    for line in output(phase, name, peer=True).splitlines():
        f = line.split()
        rows[f[0].strip("[]")] = {"type": f[1], "transport": f[2], "block": f[3], "sg": f[4],
                                  "size": f[5] if len(f) > 5 else None}
    return rows


def sg_inq_naa(phase, address):
    """The first NAA designator of the addressed logical unit, as sg_inq -p 0x83 prints it. A
    LUN that takes no commands (transport-offline) is the one it was while it did."""
    text = output(phase, "sg_inq-" + address, peer=True)
    if status(phase, "sg_inq-" + address) != 0 and phase not in ("healthy", "rescan"):
        return sg_inq_naa("rescan", address)
    for block in re.split(r"\n  Designation descriptor", text):
        if "designator_type: NAA" in block and "Addressed logical unit" in block:
            found = re.search(r"\[0x([0-9a-f]+)\]", block)
            if found:
                return found.group(1)
    raise Fail(f"sg_inq -p 0x83 shows no NAA designator for {address}")


def multipath_ll(phase):
    maps = {}
    current = None
    for line in output(phase, "multipath", peer=True).splitlines():
        head = re.match(r"^(\S+) \((\w+)\) (dm-\d+) ", line)
        if head:
            current = {"wwid": head.group(2), "dm": head.group(3), "paths": {}}
            maps[head.group(1)] = current
            continue
        size = re.match(r"^size=([\d.]+)([KMGT]) ", line)
        if size and current is not None:
            current["size"] = float(size.group(1)) * 1024 ** " KMGT".index(size.group(2))
        path = re.search(r"- (\d+:\d+:\d+:\d+) (sd\w+) +\d+:\d+ +(\w+) (\w+) +(\w+)", line)
        if path and current is not None:
            current["paths"][path.group(1)] = {"block": path.group(2), "dm_state": path.group(3),
                                               "checker": path.group(4)}
    return maps


def metrics(phase):
    samples = []
    for line in output(phase, "metrics").splitlines():
        if line.startswith("#") or not line:
            continue
        name, labels, value = re.match(r"^(\w+)(?:\{(.*)\})? (\S+)$", line).groups()
        samples.append((name, dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', labels or "")),
                        float(value)))
    return samples


def run_halvane(args, env):
    done = subprocess.run([binary] + args, capture_output=True, text=True,
                          env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **env})
    return done


def without_statistics(text):
    doc = json.loads(text)
    for c in doc["controllers"]:
        c.pop("statistics", None)
    return doc


def listing(text):
    """The text listing as {port WWN: port block lines} and {node WWN: [[LUN blocks] a target]}."""
    ports, targets = {}, {}
    port = node = None
    section = None
    for line in text.splitlines():
        if line in ("Controllers", "Targets"):
            section = line
            continue
        if section == "Controllers":
            m = re.match(r"^    PortWWN (\S+)$", line)
            if m:
                port = m.group(1)
                ports[port] = {}
            elif line.strip() and port:
                key, value = line.strip().split(": ", 1)
                ports[port][key] = value
        elif section == "Targets":
            if line.startswith("NodeWWN "):
                node = line.split()[1]
                targets[node] = []
            elif line == "LUNs:":
                targets[node].append([])
            elif line.startswith("SCSI Logical Unit @ "):
                targets[node][-1].append({"@": line.split("@ ")[1]})
            elif ":    " in line:
                key, value = line.strip().split(":    ", 1)
                targets[node][-1][-1][key.strip()] = value.strip()
    return ports, targets


# ---- the checks ----

def check_setup():
    failed = os.path.join(results, "setup-failed")
    expect(not os.path.exists(failed),
           "the guest could not build the SAN: " + (open(failed).read().strip()
                                                    if os.path.exists(failed) else ""))
    for phase in ("healthy", "rescan", "degraded", "down"):
        expect(os.path.isdir(os.path.join(results, phase)), f"the {phase} phase did not run")
    k = kernel("healthy")
    expect(len(k.hosts()) == 4, f"{len(k.hosts())} FC hosts, not 4")
    expect(len(k.luns()) == 6, f"{len(k.luns())} LUNs, not 6")
    expect(len(k.maps()) == 3, f"{len(k.maps())} multipath maps, not 3")


def check_list_ports(phase):
    k = kernel(phase)
    equal(status(phase, "list"), 0, "-l status")
    equal(errors(phase, "list"), "", "-l standard error")
    ports, _ = listing(output(phase, "list"))
    hosts = k.hosts()
    in_order = sorted(hosts, key=lambda h: int(h[4:]))
    equal(list(ports), [wwn(hosts[h]["port_name"]) for h in in_order], "ports in host order")
    for h, host in hosts.items():
        block = ports[wwn(host["port_name"])]
        what = f"{h} ({wwn(host['port_name'])})"
        equal(block.get("Port Status"), host["port_state"], what + " Port Status")
        equal(block.get("Speed"), host["speed"], what + " Speed")
        equal(block.get("Topology"), host["port_type"], what + " Topology")
        # An N_Port has no arbitrated-loop address to show.
        expect("AL_PA" not in block, what + " shows an AL_PA on a point-to-point port")


def check_list_luns(phase):
    k = kernel(phase)
    _, targets = listing(output(phase, "list"))
    hosts, luns, maps = k.hosts(), k.luns(), multipath_ll(phase)
    by_dm = {m["dm"]: name for name, m in maps.items()}
    wanted = {}
    for h, host in hosts.items():
        mine = sorted((a for a in luns if a.split(":")[0] == h[4:]),
                      key=lambda a: [int(x) for x in a.split(":")])
        if mine:
            wanted[wwn(host["node_name"])] = mine
    equal(sorted(targets), sorted(wanted), "nodes with targets")
    for node, addresses in wanted.items():
        shown = [lun for target in targets[node] for lun in target]
        equal([lun["@"] for lun in shown], [a.split(":")[3] for a in addresses],
              f"LUNs under {node}")
        for lun, address in zip(shown, addresses):
            kl = luns[address]
            what = f"LUN {address}"
            equal(lun.get("Vendor"), kl["vendor"].strip(), what + " Vendor")
            equal(lun.get("Model"), kl["model"].strip(), what + " Model")
            equal(lun.get("Revision"), kl["rev"].strip(), what + " Revision")
            equal(lun.get("Logical Unit Access State"), kl["access_state"],
                  what + " Access State")
            equal(lun.get("Logical Unit Unique ID"), "0x" + sg_inq_naa(phase, address).upper(),
                  what + " Unique ID (sg_inq -p 0x83)")
            alias = [by_dm[h] for h in kl.get("holders", []) if h in by_dm]
            equal(lun.get("LUN Alias"), alias[0] if alias else None,
                  what + " alias (multipath -ll's map)")


def check_port_blocks(phase):
    ports, _ = listing(output(phase, "list"))
    for end, (host, name) in ends(phase).items():
        equal(status(phase, "port-" + end), 0, f"-c {name} status")
        one, _ = listing("Controllers\n" + output(phase, "port-" + end))
        equal(one, {name: ports[name]}, f"-c {name} block against -l's")
        whole = document(phase)
        part = document(phase, f"port-{end}-json")
        mine = [c for c in whole["controllers"] if c["port_name"] == name]
        for c in mine + part["controllers"]:
            c.pop("statistics", None)
        equal(part["controllers"], mine, f"--json -c {name} against --json -l")


def check_schema(phase):
    validator = os.path.join(checkout, "tests/support/validate_inventory.py")
    schema = os.path.join(checkout, "doc/halvane-inventory.schema.json")
    docs = [os.path.join(results, phase, n + ".out") for n in
            ["json"] + [f"port-{e}-json" for e in ("i0", "i1", "t0", "t1")]]
    done = subprocess.run([sys.executable, validator, schema] + docs, capture_output=True,
                          text=True)
    if done.returncode == 77:
        raise Skip(done.stdout.strip())
    expect(done.returncode == 0 and not done.stdout, done.stdout.strip()[:400])


def check_json_ports(phase):
    k = kernel(phase)
    doc = document(phase)
    hosts = k.hosts()
    equal([c["port_name"] for c in doc["controllers"]],
          [wwn(hosts[h]["port_name"]) for h in sorted(hosts, key=lambda h: int(h[4:]))],
          "controllers")
    for c in doc["controllers"]:
        h = "host%d" % c["scsi_host"]
        host = hosts[h]
        what = f"{h} ({c['port_name']})"
        equal(c["port_name"], wwn(host["port_name"]), what + " port_name")
        equal(c.get("node_name"), wwn(host["node_name"]), what + " node_name")
        equal(c.get("state"), norm(host["port_state"]), what + " state")
        equal(c.get("speed"), host["speed"], what + " speed")
        equal(c.get("speed_gbit"), int(host["speed"].split()[0]), what + " speed_gbit")
        equal(c.get("topology"), host["port_type"], what + " topology")
        equal(c.get("driver"), host["proc_name"], what + " driver")
        # 0 is the kernel's "none": no address while the link is down, no fabric in VN2VN.
        equal(c.get("port_id"), host["port_id"] if int(host["port_id"], 16) else None,
              what + " port_id")
        equal(c.get("fabric_name"),
              wwn(host["fabric_name"]) if int(host["fabric_name"], 16) else None,
              what + " fabric_name")
        equal(c.get("symbolic_name"), host["symbolic_name"], what + " symbolic_name")


def check_json_remote_ports(phase):
    k = kernel(phase)
    doc = document(phase)
    rports = k.remote_ports()
    peers = lsscsi(phase)
    for c in doc["controllers"]:
        number = c["scsi_host"]
        mine = {r: v for r, v in rports.items() if r.startswith(f"rport-{number}:")
                and v["scsi_target_id"] != "-1"}
        equal(sorted(t["port_name"] for t in c.get("targets", [])),
              sorted(wwn(v["port_name"]) for v in mine.values()),
              f"host{number}'s targets")
        for t in c.get("targets", []):
            r = next(v for v in mine.values() if wwn(v["port_name"]) == t["port_name"])
            what = f"remote port {t['port_name']} of host{number}"
            equal(t.get("node_name"), wwn(r["node_name"]), what + " node_name")
            equal(t.get("port_id"), r["port_id"], what + " port_id")
            equal(t.get("state"), norm(r["port_state"]), what + " state")
            equal(t.get("roles"), [norm(x) for x in r["roles"].split(", ")], what + " roles")
            equal(t.get("dev_loss_tmo"), int(r["dev_loss_tmo"]), what + " dev_loss_tmo")
            equal(t.get("fast_io_fail_tmo"), int(r["fast_io_fail_tmo"]),
                  what + " fast_io_fail_tmo")
            equal(t.get("scsi_address"), f"{number}:0:{r['scsi_target_id']}",
                  what + " scsi_address")
            # lsscsi -t: fcoe:0x<port name>,0x<port id> for each of its LUNs.
            for lun in t.get("luns", []):
                transport = peers[lun["scsi_address"]]["transport"]
                wanted = "0x%s,%s" % (t["port_name"].replace(":", "").lower(), t["port_id"])
                equal(transport.split(":", 1)[1], wanted,
                      f"lsscsi -t of {lun['scsi_address']} against " + what)


def all_luns(doc):
    return {lun["scsi_address"]: lun for c in doc["controllers"] for t in c.get("targets", [])
            for lun in t["luns"]}


def check_json_luns(phase):
    k = kernel(phase)
    shown = all_luns(document(phase))
    luns = k.luns()
    peers, blocks = lsscsi(phase), lsscsi(phase, "lsscsi-blocks")
    equal(sorted(shown), sorted(luns), "SCSI addresses")
    equal(sorted(shown), sorted(peers), "SCSI addresses against lsscsi")
    for address, lun in shown.items():
        kl, peer = luns[address], peers[address]
        what = f"LUN {address}"
        equal(lun.get("state"), norm(kl["state"]), what + " state")
        equal(lun.get("type"), "disk" if kl["type"] == "0" else kl["type"], what + " type")
        equal(lun.get("vendor"), kl["vendor"].strip(), what + " vendor")
        equal(lun.get("model"), kl["model"].strip(), what + " model")
        equal(lun.get("revision"), kl["rev"].strip(), what + " revision")
        equal(lun.get("queue_depth"), int(kl["queue_depth"]), what + " queue_depth")
        equal(lun.get("block_device"), kl["block"], what + " block device")
        equal("/dev/" + lun.get("block_device", ""), peer["block"], what + " block (lsscsi -g)")
        equal(lun.get("sg_device"), kl["sg"], what + " sg device")
        equal("/dev/" + lun.get("sg_device", ""), peer["sg"], what + " sg device (lsscsi -g)")
        equal(lun.get("size_bytes"), kl["size"], what + " size_bytes")
        equal(lun.get("logical_block_size"), kl["lbs"], what + " logical_block_size")
        count, size = (int(x) for x in blocks[address]["size"].split(","))
        equal((lun.get("size_bytes"), lun.get("logical_block_size")), (count * size, size),
              what + " size and block size (lsscsi -SS)")
        # lsscsi -s rounds to three significant figures of SI units.
        m = re.match(r"^([\d.]+)([kMGT])B$", peer["size"] or "")
        expect(m and abs(float(m.group(1)) * 1000 ** " kMGT".index(m.group(2))
                         - lun["size_bytes"]) <= lun["size_bytes"] * 0.01,
               f"{what}: size_bytes {lun['size_bytes']} against lsscsi -s {peer['size']}")


def check_json_alua(phase):
    k = kernel(phase)
    shown = all_luns(document(phase))
    luns = k.luns()
    sides = {host[4:]: end for end, (host, _) in ends(phase).items()}
    # The target across i0's link exports its LUNs in the default group, active/optimized; the
    # one across i1's in a second group, active/non-optimized.
    configured = {"i0": "active/optimized", "i1": "active/non-optimized"}
    for address, lun in shown.items():
        kl = luns[address]
        what = f"LUN {address}"
        equal(lun.get("access_state"), kl["access_state"], what + " access_state")
        equal(lun.get("access_state"), configured[sides[address.split(":")[0]]],
              what + " access_state against the target's groups")
        equal(lun.get("alua_support"), {0: None, 1: "Implicit", 2: "Explicit",
                                        3: "Implicit and Explicit"}[kl["tpgs"]],
              what + " alua_support (INQUIRY TPGS)")


def check_json_wwids(phase):
    k = kernel(phase)
    shown = all_luns(document(phase))
    luns = k.luns()
    maps = multipath_ll(phase)
    mapped = {a: m for m in maps.values() for a in m["paths"]}
    for address, lun in shown.items():
        naa = sg_inq_naa(phase, address)
        what = f"LUN {address}"
        equal(lun.get("wwid"), luns[address]["wwid"], what + " wwid")
        equal(lun.get("wwid"), "naa." + naa, what + " wwid against sg_inq -p 0x83")
        equal(lun.get("unique_id"), "0x" + naa.upper(), what + " unique_id against sg_inq")
        equal(lun.get("multipath_wwid"), "3" + naa, what + " multipath_wwid")
        if address in mapped:
            equal(lun.get("multipath_wwid"), mapped[address]["wwid"],
                  what + " multipath_wwid against multipath -ll")


def check_json_maps(phase):
    k = kernel(phase)
    doc = document(phase)
    maps, kmaps, luns = multipath_ll(phase), k.maps(), k.luns()
    shown = all_luns(doc)
    equal(sorted(m["name"] for m in doc["multipath"]), sorted(maps), "maps against multipath -ll")
    equal(sorted(m["dm"] for m in doc["multipath"]), sorted(kmaps), "maps' dm devices")
    hosts = k.hosts()
    rports = k.remote_ports()
    for m in doc["multipath"]:
        peer, km = maps[m["name"]], kmaps[m["dm"]]
        what = f"map {m['name']}"
        equal(m["dm"], peer["dm"], what + " dm")
        equal(m.get("wwid"), peer["wwid"], what + " wwid")
        equal(m.get("uuid"), km["uuid"], what + " uuid")
        equal(m.get("size_bytes"), km["size"], what + " size_bytes")
        equal(m.get("size_bytes"), int(peer["size"]), what + " size_bytes against multipath -ll")
        equal(sorted(p["scsi_address"] for p in m["paths"]), sorted(peer["paths"]),
              what + " paths")
        equal(sorted(p["block_device"] for p in m["paths"]), sorted(km["slaves"]),
              what + " paths' block devices")
        for p in m["paths"]:
            address = p["scsi_address"]
            kl = luns[address]
            equal(p["block_device"], peer["paths"][address]["block"],
                  f"{what} path {address} block device")
            equal(p.get("state"), norm(kl["state"]), f"{what} path {address} state")
            equal(p.get("port_name"), wwn(hosts["host" + address.split(":")[0]]["port_name"]),
                  f"{what} path {address} port_name")
            equal(p.get("remote_port_name"), wwn(rports[kl["rport"]]["port_name"]),
                  f"{what} path {address} remote_port_name")
            equal(p.get("fibre_channel"), True, f"{what} path {address} fibre_channel")
            # multipath's checker fails a path exactly when its LUN cannot take I/O.
            equal(peer["paths"][address]["checker"] == "ready", kl["state"] == "running",
                  f"{what} path {address}: multipath -ll's checker says "
                  f"{peer['paths'][address]['checker']}, the kernel {kl['state']}")
            equal(shown[address].get("multipath"),
                  {"name": m["name"], "dm": m["dm"], "uuid": m["uuid"]},
                  f"LUN {address}'s map")


def check_metrics_promtool(phase):
    if "promtool" in missing or not shutil.which("promtool"):
        raise Skip("promtool is not installed (package prometheus)")
    done = subprocess.run(["promtool", "check", "metrics"], input=output(phase, "metrics"),
                          capture_output=True, text=True)
    expect(done.returncode == 0 and not done.stdout and not done.stderr,
           (done.stdout + done.stderr).strip()[:400])


def check_metrics_values(phase):
    k = kernel(phase)
    samples = metrics(phase)
    hosts, rports, luns, kmaps = k.hosts(), k.remote_ports(), k.luns(), k.maps()

    def value(name, **labels):
        found = [v for n, ls, v in samples if n == name and
                 all(ls.get(a) == b for a, b in labels.items())]
        expect(len(found) == 1, f"{len(found)} samples of {name} {labels}")
        return found[0]

    for h in hosts.values():
        port = wwn(h["port_name"])
        equal(value("halvane_port_online", port_name=port), float(h["port_state"] == "Online"),
              f"halvane_port_online of {port} ({h['port_state']})")
        equal(value("halvane_port_speed_bytes_per_second", port_name=port),
              int(h["speed"].split()[0]) * 125e6, f"speed of {port}")
    for r in rports.values():
        if r["scsi_target_id"] == "-1":
            continue
        equal(value("halvane_remote_port_online", remote_port_name=wwn(r["port_name"])),
              float(r["port_state"] == "Online"),
              f"halvane_remote_port_online of {wwn(r['port_name'])} ({r['port_state']})")
    for address, kl in luns.items():
        equal(value("halvane_lun_running", scsi_address=address, wwid=kl["wwid"],
                    block_device=kl["block"]), float(kl["state"] == "running"),
              f"halvane_lun_running of {address} ({kl['state']})")
    for dm, km in kmaps.items():
        paths = km["slaves"]
        running = [p for p in paths if any(kl["block"] == p and kl["state"] == "running"
                                           for kl in luns.values())]
        equal(value("halvane_multipath_paths", dm=dm), float(len(paths)), f"paths of {dm}")
        equal(value("halvane_multipath_active_paths", dm=dm), float(len(running)),
              f"active paths of {dm}")


def check_snapshot_replay(phase):
    snapshot = os.path.join(results, phase, "snapshot.out")
    equal(status(phase, "snapshot"), 0, "--snapshot status")
    env = {"HALVANE_REGISTRY": snapshot}
    text = run_halvane(["-l"], env)
    equal(text.stdout, output(phase, "list"), "-l of the snapshot against the live -l")
    doc = run_halvane(["--json", "-l"], env)
    # Only the link counters move between two runs on a live host.
    equal(without_statistics(doc.stdout), without_statistics(output(phase, "json")),
          "--json -l of the snapshot against the live one, counters aside")


def check_capture_replay(phase):
    env = {"HALVANE_SYSFS_ROOT": kernel(phase).root}
    equal(run_halvane(["-l"], env).stdout, output(phase, "list"),
          "-l of the capture against the live -l")
    equal(without_statistics(run_halvane(["--json", "-l"], env).stdout),
          without_statistics(output(phase, "json")),
          "--json -l of the capture against the live one, counters aside")


def check_verdict(phase, wanted):
    if "check" in missing:
        raise Skip("this halvane has no --check (its -h does not mention it)")
    text, rc = output(phase, "check"), status(phase, "check")
    equal(rc, wanted, f"--check status, first line {text.splitlines()[:1]}")
    if wanted == 0:
        expect(text.startswith("HALVANE OK"), f"--check's first line: {text.splitlines()[:1]}")
    equal(status(phase, "check-json"), wanted, "--json --check status")
    json.loads(output(phase, "check-json"))


def check_user():
    phase = "healthy"
    equal(status(phase, "user-list"), 0, "-l as a user: status")
    equal(output(phase, "user-list"), output(phase, "list"), "-l as a user against root's")
    equal(status(phase, "user-json"), 0, "--json -l as a user: status")
    equal(without_statistics(output(phase, "user-json")), without_statistics(output(phase, "json")),
          "--json -l as a user against root's, counters aside")
    equal(status(phase, "user-speed"), 77, "a setting as a user: status")
    expect(output(phase, "user-speed").startswith("You must be running as root"),
           "a setting as a user: " + output(phase, "user-speed")[:100])


def traced_writes(phase, name):
    """(path, bytes) of every write to a file the run opened, from strace -y."""
    writes = []
    for line in open(os.path.join(results, phase, name + ".trace"), encoding="utf-8"):
        m = re.search(r'write\(\d+<([^>]*)>, "((?:[^"\\]|\\.)*)"', line)
        if m:
            writes.append((m.group(1), m.group(2)))
    return writes


def check_settings_refused():
    phase = "healthy"
    host, name = ends(phase)["i0"]
    no_speed = ("fcoe has no speed setting: the link runs at the speed it negotiates with its "
                "peer; set it on the switch port, or for FCoE on the Ethernet side")
    reasons = {"speed": no_speed,
               "topology": "fcoe has no topology setting: the port takes the topology its peer "
                           "offers; set it on the switch port",
               "alpa": "no Linux driver takes a hard AL_PA while it runs: set it in the adapter's "
                       "firmware settings, then reset the link",
               "speed-dry": no_speed}
    for run, reason in reasons.items():
        equal(status(phase, run), 1, run + " status")
        equal(output(phase, run),
              "Could not apply settings to the specified port (status 0xE00002C7).\n",
              run + " standard output")
        equal(errors(phase, run), f"halvane: {host}: {reason}\n", run + " standard error")
        written = [w for w in traced_writes(phase, run) if w[0].startswith("/sys")]
        equal(written, [], run + " writes to sysfs")


def check_rescan_one():
    phase = "rescan"
    table = ends("healthy")
    (i0, name), (i1, _) = table["i0"], table["i1"]
    writes = traced_writes(phase, "rescan-one")
    scans = [w for w in writes if w[0].startswith("/sys")]
    expect(len(scans) == 1 and scans[0][0].endswith(f"/{i0}/scsi_host/{i0}/scan")
           and scans[0][1] == "- - -\\n", f"-c {name} -r writes {scans}, not {i0}'s scan alone")
    reason = next((i for i, w in enumerate(writes) if "has no speed setting" in w[1]), None)
    expect(reason is not None and reason < writes.index(scans[0]),
           "the scan is not written after the setting was refused")
    found = output(phase, "after-one").split()
    expect(f"{i0[4:]}:0:0:3" in found, f"the kernel found no LUN 3 on {i0}: {found}")
    expect(f"{i1[4:]}:0:0:3" not in found, f"the kernel scanned {i1} too: {found}")


def check_rescan_all():
    phase = "rescan"
    scans = sorted(w for w in traced_writes(phase, "rescan-all") if w[0].startswith("/sys"))
    hosts = sorted(h for h, _ in ends("healthy").values())
    equal([(w[0].split("/")[-2], w[1]) for w in scans],
          sorted((h, "- - -\\n") for h in hosts), "-r writes")
    found = output(phase, "after-all").split()
    i1 = ends("healthy")["i1"][0]
    expect(f"{i1[4:]}:0:0:3" in found, f"the kernel found no LUN 3 on {i1}: {found}")


def check_degraded_states():
    phase = "degraded"
    (i0, w0), (i1, w1) = ends(phase)["i0"], ends(phase)["i1"]
    doc = document(phase)
    by_port = {c["port_name"]: c for c in doc["controllers"]}
    equal(by_port[w1]["state"], "linkdown", f"{w1} state")
    equal(by_port[w0]["state"], "online", f"{w0} state")
    equal([t["state"] for t in by_port[w1]["targets"]], ["blocked"], f"{w1}'s remote port")
    equal({lun["state"] for t in by_port[w1]["targets"] for lun in t["luns"]},
          {"transport_offline"}, f"{w1}'s LUNs")
    ports, _ = listing(output(phase, "list"))
    equal(ports[w1]["Port Status"], "Linkdown", f"-l: {w1}")
    for m in doc["multipath"]:
        equal(sorted(p["state"] for p in m["paths"]), ["running", "transport_offline"],
              f"map {m['name']}'s paths")


CHECKS = [("the SAN comes up in the VM: 4 FCoE ports, 6 paths, 3 maps", check_setup, None)]
for phase in ("healthy", "degraded", "down"):
    CHECKS += [
        (f"{phase}: -l lists the kernel's FC hosts with their state, speed and topology",
         check_list_ports, phase),
        (f"{phase}: -l lists each port's LUNs as the kernel, sg_inq and multipath -ll have them",
         check_list_luns, phase),
        (f"{phase}: -c WWN and --json -c WWN show each port as -l and --json -l do",
         check_port_blocks, phase),
        (f"{phase}: --json -l and --json -c follow the schema", check_schema, phase),
        (f"{phase}: --json -l ports are the kernel's", check_json_ports, phase),
        (f"{phase}: --json -l remote ports are the kernel's and lsscsi -t's",
         check_json_remote_ports, phase),
        (f"{phase}: --json -l LUNs, devices and sizes are the kernel's and lsscsi -g -s's",
         check_json_luns, phase),
        (f"{phase}: --json -l ALUA states are the kernel's and the target's groups'",
         check_json_alua, phase),
        (f"{phase}: --json -l WWIDs are the kernel's, sg_inq -p 0x83's and multipath -ll's",
         check_json_wwids, phase),
        (f"{phase}: --json -l maps are the kernel's and multipath -ll's", check_json_maps, phase),
        (f"{phase}: --metrics -l passes promtool check metrics", check_metrics_promtool, phase),
        (f"{phase}: --metrics -l samples are the kernel's states", check_metrics_values, phase),
        (f"{phase}: --snapshot replays to the same -l and --json -l", check_snapshot_replay,
         phase),
        (f"{phase}: the capture replays to the same -l and --json -l", check_capture_replay,
         phase),
    ]
CHECKS += [
    ("healthy: as a user, -l and --json -l are root's and a setting is refused (77)",
     check_user, None),
    ("healthy: -s, -t, -a and --dry-run on an FCoE port are refused before any write, with "
     "the reason", check_settings_refused, None),
    ("rescan: -c WWN -s auto -r writes the kernel's scan of that port's host alone, after the "
     "refusal", check_rescan_one, None),
    ("rescan: -r writes every FC host's scan, and the other host finds the LUN",
     check_rescan_all, None),
    ("degraded: one link down is Linkdown, Blocked, transport-offline, one path of two",
     check_degraded_states, None),
    ("healthy: --check says HALVANE OK, status 0", check_verdict, ("healthy", 0)),
    ("degraded: --check warns, status 1", check_verdict, ("degraded", 1)),
    ("down: --check is critical, status 2", check_verdict, ("down", 2)),
]

passed = failed = skipped = 0
# Requirements of the whole stage: without them no check can run.
blocking = sorted(missing - {"check", "promtool"})
for title, function, argument in CHECKS:
    try:
        if blocking:
            raise Skip("missing: " + ", ".join(blocking))
        if isinstance(argument, tuple):
            function(*argument)
        elif argument is not None:
            function(argument)
        else:
            function()
        print(f"ok    {title}")
        passed += 1
    except Skip as why:
        # A feature this halvane does not have yet is no missing requirement.
        if strict and "has no --check" not in str(why):
            print(f"FAIL  {title}: skipped under CI=true: {why}")
            failed += 1
        else:
            print(f"skip  {title}: {why}")
            skipped += 1
    except Fail as why:
        print(f"FAIL  {title}: {why}")
        failed += 1
    except FileNotFoundError as why:
        print(f"FAIL  {title}: the guest kept no {os.path.relpath(why.filename, results)}")
        failed += 1
    except Exception as why:  # a result the checker cannot read is a failure too
        print(f"FAIL  {title}: {type(why).__name__}: {why}")
        failed += 1
for root in trees.values():
    shutil.rmtree(root.root, ignore_errors=True)
print(f"{passed} passed, {failed} failed, {skipped} skipped")
sys.exit(1 if failed else 0)
