#!/usr/bin/env python3
"""Judges what the VM of tests/kernel/run kept: what halvane printed in each phase of the SAN's
life against the kernel's own files (the phase's capture, PHASE/sysfs.tree, read here with no
halvane code) and against lsscsi, sg_inq and multipath. One line per check, then
"N passed, M failed, K skipped"; exit status 1 when a check failed.

    check.py RESULTS HALVANE_BINARY CHECKOUT [MISSING...]

MISSING names what the run could not have (a tool, the kernel): every check that needs it is
skipped, and under CI=true it fails. A peer missing in the guest (status 127) counts the same."""
import json, os, re, shutil, subprocess, sys, tempfile

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
    path, a, b = first_difference(got, wanted)
    where = f"at {path} " if path != "$" else ""
    short = [t if len(t) <= 300 else t[:300] + "..." for t in (repr(a), repr(b))]
    raise Fail(f"{what}: {where}halvane says {short[0]}, expected {short[1]}")


def first_difference(got, wanted, path="$"):
    """Where two documents that differ first differ: (path, one's value, the other's)."""
    if isinstance(got, dict) and isinstance(wanted, dict):
        pairs = [(f".{k}", got.get(k, "(absent)"), wanted.get(k, "(absent)"))
                 for k in {**got, **wanted}]
    elif isinstance(got, list) and isinstance(wanted, list) and len(got) == len(wanted):
        pairs = [(f"[{i}]", a, b) for i, (a, b) in enumerate(zip(got, wanted))]
    else:
        return path, got, wanted
    return next(first_difference(a, b, path + step) for step, a, b in pairs if a != b)


def equals(what, *rows):
    """Rows of (key, halvane's value, the expected one), each named "WHAT KEY"."""
    for key, got, wanted in rows:
        equal(got, wanted, f"{what} {key}".strip())


def fields(shown, rules, record, what):
    """The keys of shown against the attributes of the kernel's record that their rules name,
    as the rules turn them: NAME, or (NAME, FUNCTION)."""
    rules = {key: rule if isinstance(rule, tuple) else (rule, lambda value: value)
             for key, rule in rules.items()}
    equal({key: shown.get(key) for key in rules},
          {key: then(record[name]) for key, (name, then) in rules.items()}, what)


def here(*args, env=None, stdin=None):
    """A run on this side: halvane's (ARGS its arguments) when given an ENV, else a tool's."""
    command = [binary, *args] if env is not None else list(args)
    env = None if env is None else {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **env}
    return subprocess.run(command, input=stdin, capture_output=True, text=True, env=env)


# ---- what the guest kept: PHASE/NAME.{out,err,rc,trace} of each run ----

def kept(phase, file):
    return open(os.path.join(results, phase, file), encoding="utf-8", errors="replace").read()


def status(phase, name):
    return int(kept(phase, name + ".rc"))


def output(phase, name, peer=False):
    """The standard output of a run in the guest; a peer that was not found skips the check."""
    if not os.path.exists(os.path.join(results, phase, name + ".rc")):
        raise Fail(f"{phase}/{name} did not run in the guest")
    if peer and status(phase, name) == 127:
        raise Skip(f"{name.split('-')[0]} is not installed in the guest")
    return kept(phase, name + ".out")


def ran(phase, name, wanted, what):
    """The standard output of a run in the guest whose status is the one wanted."""
    text = output(phase, name)
    equal(status(phase, name), wanted, f"{what} status, first line {text.splitlines()[:1]}")
    return text


def document(phase, name="json"):
    return json.loads(output(phase, name))


def ends(phase, raw=False):
    """i0, i1, t0, t1: the host and port name of each end of the two links."""
    rows = map(str.split, kept(phase, "ends").splitlines())
    return {end: (host, name if raw else name.upper()) for end, host, name in rows}


# ---- the kernel's files, from the capture ----

def unescape(text):
    """capture.py's escaping undone: \\xHH, \\n, \\t, \\s, and \\ before any other character."""
    def one(m):
        return (bytes.fromhex(m[1][1:].decode()) if len(m[1]) == 3
                else {b"n": b"\n", b"t": b"\t", b"s": b" "}.get(m[1], m[1]))
    return re.sub(rb"\\(x[0-9a-fA-F]{2}|.)", one, text.encode(), flags=re.S)


trees = {}


def kernel(phase):
    """The phase's capture laid out as files and links, as the test suite's trees are."""
    if phase not in trees:
        if not os.path.exists(os.path.join(results, phase, "sysfs.tree")):
            raise Fail(f"no capture of the {phase} phase")
        root = tempfile.mkdtemp(prefix=f"halvane-kernel-{phase}-")
        for line in kept(phase, "sysfs.tree").splitlines():
            if line and not line.startswith("#"):
                path, kind, content = re.match(r"(.*?)(?: (=|->) (.*))?$", line).groups()
                full = os.path.join(root, path.rstrip("/"))
                os.makedirs(os.path.dirname(full) if kind else full, exist_ok=True)
                if kind == "=":
                    open(full, "wb").write(unescape(content))
                elif kind == "->":
                    os.symlink(content, full)
        trees[phase] = Kernel(root)
    return trees[phase]


class Kernel:
    """The kernel's Fibre Channel hosts, remote ports (targets: those with a SCSI target), LUNs
    and maps, read as the kernel documents them (Documentation/ABI, scsi_transport_fc.c), not
    as halvane reads them."""

    def __init__(self, root):
        self.root = root
        self.hosts = {h: host | {"proc_name": self.text("class/scsi_host", h, "proc_name"),
                                 "wwpn": wwn(host["port_name"])}
                      for h, host in self.records("class/fc_host", "port_name node_name "
                                                  "port_state speed port_type port_id "
                                                  "fabric_name symbolic_name").items()}
        self.ports = [self.hosts[h]["wwpn"] for h in by_number(self.hosts)]
        self.rports = {r: v | {"host": "host" + r[len("rport-"):].split(":")[0]}
                       for r, v in self.records("class/fc_remote_ports", (
                           "port_name node_name port_id port_state roles scsi_target_id "
                           "dev_loss_tmo fast_io_fail_tmo")).items()}
        self.targets = {r: v | {"scsi_address": f"{v['host'][4:]}:0:{v['scsi_target_id']}"}
                        for r, v in self.rports.items() if v["scsi_target_id"] != "-1"}
        self.luns = {a: self.lun(a) for a in self.names("class/scsi_device")}
        self.maps = {dm: {"name": self.text("block", dm, "dm/name"), "uuid": uuid,
                          "size": int(self.text("block", dm, "size")) * 512,
                          "slaves": self.names("block", dm, "slaves")}
                     for dm in self.names("block")
                     for uuid in [self.text("block", dm, "dm/uuid") or ""]
                     if dm.startswith("dm-") and uuid.startswith("mpath-")}

    def text(self, *path):
        try:
            return open(os.path.join(self.root, *path), "rb").read().decode().rstrip("\n")
        except OSError:
            return None

    def names(self, *path):
        folder = os.path.join(self.root, *path)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def records(self, folder, attributes):
        return {name: {a: self.text(folder, name, a) for a in attributes.split()}
                for name in self.names(folder)}

    def lun(self, address):
        folder = os.path.realpath(os.path.join(self.root, "class/scsi_device", address, "device"))
        lun = {a: self.text(folder, a)
               for a in "state vendor model rev access_state wwid queue_depth type".split()}
        inquiry = open(os.path.join(folder, "inquiry"), "rb").read()
        lun["tpgs"] = (inquiry[5] >> 4) & 3 if len(inquiry) > 5 else 0
        blocks, sg = self.names(folder, "block"), self.names(folder, "scsi_generic")
        lun["block"], lun["sg"] = (blocks or [None])[0], (sg or [None])[0]
        if blocks:
            block = os.path.join(folder, "block", blocks[0])
            lun["size"] = int(self.text(block, "size")) * 512
            lun["lbs"] = int(self.text(block, "queue", "logical_block_size"))
            lun["holders"] = self.names(block, "holders")
        # The remote port above the target above the LUN.
        lun["rport"] = os.path.basename(os.path.dirname(os.path.dirname(folder)))
        return lun


def norm(text):
    """The document's spelling of a kernel state or role."""
    return text.lower().replace("-", "_").replace(" ", "_")


def wwn(text):
    """0x2000020000000010 -> 20:00:02:00:00:00:00:10"""
    digits = text[2:].upper().rjust(16, "0")
    return ":".join(digits[i:i + 2] for i in range(0, 16, 2))


def by_number(names):
    """host10 after host9, 0:0:1:10 after 0:0:1:9."""
    return sorted(names, key=lambda name: [int(x) for x in re.findall(r"\d+", name)])


# ---- the peers' and halvane's outputs ----

def lsscsi(phase, name="lsscsi"):
    """[H:C:T:L] disk fcoe:0x<wwpn>,0x<port id> /dev/sdX /dev/sgN SIZE"""
    return {f[0].strip("[]"): dict(zip(("type", "transport", "block", "sg", "size"), f[1:6]))
            for f in (line.split() + [None] for line in output(phase, name, True).splitlines())}


def sg_inq_naa(phase, address):
    """The first NAA designator of the addressed logical unit, as sg_inq -p 0x83 prints it. A
    LUN that takes no commands (transport-offline) is the one it was while it did."""
    text = output(phase, "sg_inq-" + address, peer=True)
    if status(phase, "sg_inq-" + address) != 0 and phase not in ("healthy", "rescan"):
        return sg_inq_naa("rescan", address)
    for block in re.split(r"\n  Designation descriptor", text):
        found = re.search(r"\[0x([0-9a-f]+)\]", block)
        if "designator_type: NAA" in block and "Addressed logical unit" in block and found:
            return found[1]
    raise Fail(f"sg_inq -p 0x83 shows no NAA designator for {address}")


def multipath_ll(phase):
    maps, current = {}, None
    for line in output(phase, "multipath", peer=True).splitlines():
        head = re.match(r"^(\S+) \((\w+)\) (dm-\d+) ", line)
        size = re.match(r"^size=([\d.]+)([KMGT]) ", line)
        path = re.search(r"- (\d+:\d+:\d+:\d+) (sd\w+) +\d+:\d+ +(\w+) (\w+) +(\w+)", line)
        if head:
            current = maps[head[1]] = {"wwid": head[2], "dm": head[3], "paths": {}}
        elif size and current is not None:
            current["size"] = float(size[1]) * 1024 ** " KMGT".index(size[2])
        elif path and current is not None:
            current["paths"][path[1]] = {"block": path[2], "checker": path[4]}
    return maps


def metrics(phase):
    return [(name, dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', labels or "")), float(value))
            for line in output(phase, "metrics").splitlines() if line and line[0] != "#"
            for name, labels, value in [re.match(r"^(\w+)(?:\{(.*)\})? (\S+)$", line).groups()]]


def counters_aside(doc):
    """The document without its link counters: only they move between two runs on a live host."""
    doc = json.loads(doc) if isinstance(doc, str) else doc
    for c in doc["controllers"]:
        c.pop("statistics", None)
    return doc


def same_as_live(phase, listed, documented, what):
    """-l and --json -l from elsewhere against the live ones."""
    equal(listed, output(phase, "list"), f"-l {what} against the live -l")
    equal(counters_aside(documented), counters_aside(output(phase, "json")),
          f"--json -l {what} against the live one, counters aside")


def replay(phase, env, what):
    """halvane run here on the kept snapshot or capture lists what it listed in the guest."""
    same_as_live(phase, here("-l", env=env).stdout, here("--json", "-l", env=env).stdout,
                 "of the " + what)


def listing(text):
    """The text listing as {port WWN: port block lines} and {node WWN: [[LUN blocks] a target]}."""
    ports, targets = {}, {}
    port = node = section = None
    for line in text.splitlines():
        if line in ("Controllers", "Targets"):
            section = line
        elif section == "Controllers":
            if re.match(r"^    PortWWN \S+$", line):
                port = line.split()[1]
                ports[port] = {}
            elif line.strip() and port:
                key, value = line.strip().split(": ", 1)
                ports[port][key] = value
        elif line.startswith("NodeWWN "):
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


def all_luns(doc):
    return {lun["scsi_address"]: lun for c in doc["controllers"] for t in c.get("targets", [])
            for lun in t["luns"]}


def stripped(name):
    return name, str.strip


# What each key of the document is in the kernel's files. 0 is the kernel's "none" of a port
# address and a fabric: no address while the link is down, no fabric in VN2VN.
PORT_FIELDS = {
    "port_name": ("port_name", wwn), "node_name": ("node_name", wwn),
    "state": ("port_state", norm), "speed": "speed",
    "speed_gbit": ("speed", lambda s: int(s.split()[0])), "topology": "port_type",
    "driver": "proc_name", "port_id": ("port_id", lambda s: s if int(s, 16) else None),
    "fabric_name": ("fabric_name", lambda s: wwn(s) if int(s, 16) else None),
    "symbolic_name": "symbolic_name",
}
REMOTE_PORT_FIELDS = {
    "node_name": ("node_name", wwn), "port_id": "port_id", "state": ("port_state", norm),
    "roles": ("roles", lambda s: [norm(x) for x in s.split(", ")]),
    "dev_loss_tmo": ("dev_loss_tmo", int), "fast_io_fail_tmo": ("fast_io_fail_tmo", int),
    "scsi_address": "scsi_address",
}
LUN_FIELDS = {
    "state": ("state", norm), "type": ("type", lambda s: "disk" if s == "0" else s),
    "vendor": stripped("vendor"), "model": stripped("model"), "revision": stripped("rev"),
    "queue_depth": ("queue_depth", int), "block_device": "block", "sg_device": "sg",
    "size_bytes": "size", "logical_block_size": "lbs", "access_state": "access_state",
    "alua_support": ("tpgs", {0: None, 1: "Implicit", 2: "Explicit",
                              3: "Implicit and Explicit"}.get),
    "wwid": "wwid",
}
# The listing's lines of a port (with no AL_PA: an N_Port has no arbitrated-loop address) and of
# a LUN (with its NAA as sg_inq -p 0x83 has it and the name of multipath -ll's map over it).
LISTED_PORT_FIELDS = {"Port Status": "port_state", "Speed": "speed", "Topology": "port_type",
                      "AL_PA": ("port_name", lambda _: None)}
LISTED_LUN_FIELDS = {"Vendor": stripped("vendor"), "Model": stripped("model"),
                     "Revision": stripped("rev"), "Logical Unit Access State": "access_state",
                     "Logical Unit Unique ID": "naa", "LUN Alias": "alias"}


# ---- the checks ----

def check_setup():
    if os.path.exists(os.path.join(results, "setup-failed")):
        raise Fail("the guest could not build the SAN: " + kept("", "setup-failed").strip())
    for phase in ("healthy", "rescan", "degraded", "down"):
        expect(os.path.isdir(os.path.join(results, phase)), f"the {phase} phase did not run")
    k = kernel("healthy")
    for what, found, wanted in (("FC hosts", k.hosts, 4), ("LUNs", k.luns, 6),
                                ("multipath maps", k.maps, 3)):
        expect(len(found) == wanted, f"{len(found)} {what}, not {wanted}")


def check_list_ports(phase):
    ports, _ = listing(ran(phase, "list", 0, "-l"))
    equal(kept(phase, "list.err"), "", "-l standard error")
    k = kernel(phase)
    equal(list(ports), k.ports, "ports in host order")
    for h, host in k.hosts.items():
        fields(ports[host["wwpn"]], LISTED_PORT_FIELDS, host, f"{h} ({host['wwpn']})")


def check_list_luns(phase):
    _, targets = listing(output(phase, "list"))
    k, by_dm = kernel(phase), {m["dm"]: name for name, m in multipath_ll(phase).items()}
    wanted = {wwn(host["node_name"]): mine for h, host in k.hosts.items()
              for mine in [by_number(a for a in k.luns if a.split(":")[0] == h[4:])] if mine}
    equal(sorted(targets), sorted(wanted), "nodes with targets")
    for node, addresses in wanted.items():
        shown = [lun for target in targets[node] for lun in target]
        equal([lun["@"] for lun in shown], [a.split(":")[3] for a in addresses],
              f"LUNs under {node}")
        for lun, a in zip(shown, addresses):
            kl = k.luns[a]
            aliases = [by_dm[h] for h in kl.get("holders", []) if h in by_dm] + [None]
            fields(lun, LISTED_LUN_FIELDS, kl | {"naa": "0x" + sg_inq_naa(phase, a).upper(),
                                                 "alias": aliases[0]}, f"LUN {a}")


def check_port_blocks(phase):
    ports, _ = listing(output(phase, "list"))
    whole = counters_aside(document(phase))["controllers"]
    for end, (host, name) in ends(phase).items():
        one, _ = listing("Controllers\n" + ran(phase, "port-" + end, 0, f"-c {name}"))
        equal(one, {name: ports[name]}, f"-c {name} block against -l's")
        equal(counters_aside(document(phase, f"port-{end}-json"))["controllers"],
              [c for c in whole if c["port_name"] == name], f"--json -c {name} against --json -l")


def check_schema(phase):
    done = here(sys.executable, os.path.join(checkout, "tests/support/validate_inventory.py"),
                os.path.join(checkout, "doc/halvane-inventory.schema.json"),
                *(os.path.join(results, phase, n + ".out") for n in
                  ["json"] + [f"port-{e}-json" for e in ("i0", "i1", "t0", "t1")]))
    if done.returncode == 77:
        raise Skip(done.stdout.strip())
    expect(done.returncode == 0 and not done.stdout, (done.stdout + done.stderr).strip()[:400])


def check_json_ports(phase):
    doc, k = document(phase), kernel(phase)
    equal([c["port_name"] for c in doc["controllers"]], k.ports, "controllers")
    for c in doc["controllers"]:
        h = "host%d" % c["scsi_host"]
        fields(c, PORT_FIELDS, k.hosts[h], f"{h} ({c['port_name']})")


def check_json_remote_ports(phase):
    doc, k, peers = document(phase), kernel(phase), lsscsi(phase)
    for c in doc["controllers"]:
        h, shown = "host%d" % c["scsi_host"], c.get("targets", [])
        mine = {wwn(r["port_name"]): r for r in k.targets.values() if r["host"] == h}
        equal(sorted(t["port_name"] for t in shown), sorted(mine), f"{h}'s targets")
        for t in shown:
            what = f"remote port {t['port_name']} of {h}"
            fields(t, REMOTE_PORT_FIELDS, mine[t["port_name"]], what)
            # lsscsi -t: fcoe:0x<port name>,0x<port id> for each of its LUNs.
            wanted = "0x%s,%s" % (t["port_name"].replace(":", "").lower(), t["port_id"])
            for lun in t.get("luns", []):
                equal(peers[lun["scsi_address"]]["transport"].split(":", 1)[1], wanted,
                      f"lsscsi -t of {lun['scsi_address']} against " + what)


def lun_fields(phase, keys):
    """The keys of each LUN of --json -l against the kernel's files."""
    shown, luns = all_luns(document(phase)), kernel(phase).luns
    for a, lun in shown.items():
        fields(lun, {key: LUN_FIELDS[key] for key in keys.split()}, luns[a], f"LUN {a}")
    return shown


def check_json_luns(phase):
    shown, peers, blocks = all_luns(document(phase)), lsscsi(phase), lsscsi(phase, "lsscsi-blocks")
    equal(sorted(shown), sorted(kernel(phase).luns), "SCSI addresses")
    equal(sorted(shown), sorted(peers), "SCSI addresses against lsscsi")
    lun_fields(phase, "state type vendor model revision queue_depth block_device sg_device "
                      "size_bytes logical_block_size")
    for a, lun in shown.items():
        count, size = (int(x) for x in blocks[a]["size"].split(","))
        equal(("/dev/" + lun.get("block_device", ""), "/dev/" + lun.get("sg_device", ""),
               lun.get("size_bytes"), lun.get("logical_block_size")),
              (peers[a]["block"], peers[a]["sg"], count * size, size),
              f"LUN {a} block and sg devices (lsscsi -g), size and block size (lsscsi -SS)")
        # lsscsi -s rounds to three significant figures of SI units.
        m = re.match(r"^([\d.]+)([kMGT])B$", peers[a]["size"] or "")
        expect(m and abs(float(m[1]) * 1000 ** " kMGT".index(m[2]) - lun["size_bytes"])
               <= lun["size_bytes"] * 0.01,
               f"LUN {a}: size_bytes {lun['size_bytes']} against lsscsi -s {peers[a]['size']}")


def check_json_alua(phase):
    sides = {host[4:]: end for end, (host, _) in ends(phase).items()}
    # The target across i0's link exports its LUNs in the default group, active/optimized; the
    # one across i1's in a second group, active/non-optimized.
    configured = {"i0": "active/optimized", "i1": "active/non-optimized"}
    for a, lun in lun_fields(phase, "access_state alua_support").items():
        equal(lun.get("access_state"), configured[sides[a.split(":")[0]]],
              f"LUN {a} access_state against the target's groups")


def check_json_wwids(phase):
    mapped = {a: m["wwid"] for m in multipath_ll(phase).values() for a in m["paths"]}
    for a, lun in lun_fields(phase, "wwid").items():
        naa, wwid = sg_inq_naa(phase, a), lun.get("multipath_wwid")
        equals(f"LUN {a}", ("wwid against sg_inq -p 0x83", lun.get("wwid"), "naa." + naa),
               ("unique_id against sg_inq", lun.get("unique_id"), "0x" + naa.upper()),
               ("multipath_wwid", wwid, "3" + naa),
               ("multipath_wwid against multipath -ll", wwid, mapped.get(a, wwid)))


def check_json_maps(phase):
    k, doc, maps = kernel(phase), document(phase), multipath_ll(phase)
    shown = all_luns(doc)
    equal(sorted(m["name"] for m in doc["multipath"]), sorted(maps), "maps against multipath -ll")
    equal(sorted(m["dm"] for m in doc["multipath"]), sorted(k.maps), "maps' dm devices")
    for m in doc["multipath"]:
        peer, km, what = maps[m["name"]], k.maps[m["dm"]], f"map {m['name']}"
        equals(what, ("dm", m["dm"], peer["dm"]), ("wwid", m.get("wwid"), peer["wwid"]),
               ("uuid", m.get("uuid"), km["uuid"]), ("size_bytes", m.get("size_bytes"), km["size"]),
               ("size_bytes against multipath -ll", m.get("size_bytes"), int(peer["size"])),
               ("paths", sorted(p["scsi_address"] for p in m["paths"]), sorted(peer["paths"])),
               ("paths' block devices", sorted(p["block_device"] for p in m["paths"]),
                sorted(km["slaves"])))
        for p in m["paths"]:
            a = p["scsi_address"]
            kl, checker = k.luns[a], peer["paths"][a]["checker"]
            equals(f"{what} path {a}",
                   ("block device", p["block_device"], peer["paths"][a]["block"]),
                   ("state", p.get("state"), norm(kl["state"])),
                   ("port_name", p.get("port_name"), k.hosts["host" + a.split(":")[0]]["wwpn"]),
                   ("remote_port_name", p.get("remote_port_name"),
                    wwn(k.rports[kl["rport"]]["port_name"])),
                   ("fibre_channel", p.get("fibre_channel"), True),
                   # multipath's checker fails a path exactly when its LUN cannot take I/O.
                   (f"multipath -ll's checker says {checker}, the kernel {kl['state']}",
                    checker == "ready", kl["state"] == "running"))
            equal(shown[a].get("multipath"),
                  {"name": m["name"], "dm": m["dm"], "uuid": m["uuid"]}, f"LUN {a}'s map")


def check_metrics_promtool(phase):
    if "promtool" in missing or not shutil.which("promtool"):
        raise Skip("promtool is not installed (package prometheus)")
    done = here("promtool", "check", "metrics", stdin=output(phase, "metrics"))
    expect(done.returncode == 0 and not done.stdout and not done.stderr,
           (done.stdout + done.stderr).strip()[:400])


def check_metrics_values(phase):
    k, samples = kernel(phase), metrics(phase)
    running = {kl["block"] for kl in k.luns.values() if kl["state"] == "running"}
    # (sample, its labels, its value, what the kernel has)
    for name, labels, value, what in [
            *(("halvane_port_online", {"port_name": h["wwpn"]}, h["port_state"] == "Online",
               h["port_state"]) for h in k.hosts.values()),
            *(("halvane_port_speed_bytes_per_second", {"port_name": h["wwpn"]},
               int(h["speed"].split()[0]) * 125e6, h["speed"]) for h in k.hosts.values()),
            *(("halvane_remote_port_online", {"remote_port_name": wwn(r["port_name"])},
               r["port_state"] == "Online", r["port_state"]) for r in k.targets.values()),
            *(("halvane_lun_running", {"scsi_address": a, "wwid": kl["wwid"],
                                       "block_device": kl["block"]},
               kl["state"] == "running", kl["state"]) for a, kl in k.luns.items()),
            *(("halvane_multipath_paths", {"dm": dm}, len(km["slaves"]), "its paths")
              for dm, km in k.maps.items()),
            *(("halvane_multipath_active_paths", {"dm": dm}, len(set(km["slaves"]) & running),
               "its running paths") for dm, km in k.maps.items())]:
        found = [v for n, ls, v in samples
                 if n == name and all(ls.get(a) == b for a, b in labels.items())]
        expect(len(found) == 1, f"{len(found)} samples of {name} {labels}")
        equal(found[0], float(value), f"{name} {labels} ({what})")


def check_snapshot_replay(phase):
    equal(status(phase, "snapshot"), 0, "--snapshot status")
    replay(phase, {"HALVANE_REGISTRY": os.path.join(results, phase, "snapshot.out")}, "snapshot")


def check_capture_replay(phase):
    replay(phase, {"HALVANE_SYSFS_ROOT": kernel(phase).root}, "capture")


def check_picture(phase):
    """--dot on the phase's capture: Graphviz draws it without a word, each port and remote port
    is red exactly when the kernel does not have it online, and so is every path through one."""
    k = kernel(phase)
    run = here("--dot", env={"HALVANE_SYSFS_ROOT": k.root})
    if run.returncode == 3 and "--dot" not in run.stdout:
        raise Skip("this halvane has no --dot (its usage does not mention it)")
    equal(run.returncode, 0, "--dot status")
    if not shutil.which("dot"):
        raise Skip("no dot to draw it (Debian package graphviz)")
    drawn = here("dot", "-Tsvg", "-o", os.devnull, stdin=run.stdout)
    expect(drawn.returncode == 0 and not drawn.stderr, "dot -Tsvg: " + drawn.stderr[:400])
    nodes = dict(re.findall(r'^ *"((?:port|remote) [^"]*)" \[(.*)\];$', run.stdout, re.M))
    edges = re.findall(r'^ *"((?:port|remote) [^"]*)" -> "[^"]*"(.*);$', run.stdout, re.M)
    online = {h["wwpn"]: h["port_state"] == "Online" for h in k.hosts.values()}
    # (node, its state, whether the paths through it are down)
    drawn = [("port " + h["wwpn"], h["port_state"], not online[h["wwpn"]])
             for h in k.hosts.values()]
    drawn += [(f"remote {port} {wwn(r['port_name'])}", r["port_state"],
               r["port_state"] != "Online" or not online[port])
              for r in k.targets.values() for port in [k.hosts[r["host"]]["wwpn"]]]
    for name, state, _ in drawn:
        expect(name in nodes, f"--dot draws no node {name}")
        equal("color=red" in nodes[name], state != "Online", f"{name} ({state}) drawn red")
    down = {name for name, _, down in drawn if down}
    for source, attributes in edges:
        if source in down:
            expect("color=red" in attributes, f"a path from {source}, which is down, not red")


def check_verdict(phase, wanted):
    if "check" in missing:
        raise Skip("this halvane has no --check (its -h does not mention it)")
    text = ran(phase, "check", wanted, "--check")
    if wanted == 0:
        expect(text.startswith("HALVANE OK"), f"--check's first line: {text.splitlines()[:1]}")
    json.loads(ran(phase, "check-json", wanted, "--json --check"))


def check_user():
    same_as_live("healthy", ran("healthy", "user-list", 0, "user-list"),
                 ran("healthy", "user-json", 0, "user-json"), "as a user")
    said = ran("healthy", "user-speed", 77, "a setting as a user")
    expect(said.startswith("You must be running as root"), "a setting as a user: " + said[:100])


def check_opens_per_lun():
    """-l opens at most 6 files of each logical unit's own (its folder and beneath it): three
    attributes (its INQUIRY response, which holds its vendor, product and revision, its
    identification page and its access state), its block device, that device's holders and the
    one holder's resolution."""
    equal(ran("healthy", "list-traced", 0, "-l under strace"), output("healthy", "list"),
          "-l under strace")
    opens = {}
    for line in kept("healthy", "list.trace").splitlines():
        call = re.match(r'(?:\d+ +)?open(?:at2?)?\((?:[^,]+, )?"([^"]*)"', line)
        unit = call and re.search(r"(?:^|/)(\d+:\d+:\d+:\d+)(?:/|$)", call[1])
        if unit:
            opens[unit[1]] = opens.get(unit[1], 0) + 1
    expect(len(opens) >= 6, f"-l opened files of {len(opens)} logical units, 6 expected")
    worst = max(opens.values(), default=0)
    expect(worst <= 6, f"-l opened {worst} files of one logical unit: {opens}")


def check_unreadable():
    phase = "unreadable"
    unreadable = {os.path.basename(p) for p in kept(phase, "unreadable").split()}
    listed, err = ran(phase, "list", 0, "-l"), kept(phase, "list.err")
    # The port's state is read by -l; the LUN's is not, so -l names only the first.
    expect("cannot read " in err and "port_state: Permission denied" in err,
           "-l standard error: " + err[:200])
    equal(listed.count("Port Status:"), output("healthy", "list").count("Port Status:") - 1,
          "-l leaves out the one port state it could not read")
    ran(phase, "json", 74, "--json -l")
    errors = document(phase).get("errors", [])
    equal(sorted(e["errno"] for e in errors), ["EACCES", "EACCES"], "--json -l errors")
    for e in errors:
        expect(e["reason"] == "Permission denied" and os.path.basename(e["path"]) in unreadable,
               f"--json -l error {e['reason']!r} of {e['path']}")
    ran(phase, "metrics", 74, "--metrics -l")
    equal([v for n, _, v in metrics(phase) if n == "halvane_read_errors"], [2.0],
          "halvane_read_errors")
    equal(ran(phase, "check", 3, "--check").count("read_failed:"), 2,
          "--check read_failed findings")


def check_change_window():
    # The rescan found a LUN exported after the healthy capture: new against it, nothing lost.
    summary = ran("rescan", "diff", 1, "--diff after the rescan").splitlines()[0]
    expect(("LUN new" in summary or "LUNs new" in summary) and "lost" not in summary,
           "--diff after the rescan finds a new LUN and loses nothing: " + summary)
    # One link down: every path through i1 lost, and the verdict against the baseline warns.
    i1 = ends("degraded", raw=True)["i1"][1]
    summary = ran("degraded", "diff", 1, "--diff with one link down").splitlines()[0]
    expect(f"lost on port {i1}" in summary,
           f"--diff with one link down names the paths lost on i1 ({i1}): " + summary)
    expect("lun_paths_lost" in ran("degraded", "check-baseline", 1,
                                   "--check --baseline with one link down"),
           "--check --baseline with one link down has lun_paths_lost")


def writes(phase, name, sysfs=False):
    """(path, bytes) of every write to a file the run opened (under /sys), from strace -y."""
    trace = kept(phase, name + ".trace")
    found = re.findall(r'write\(\d+<([^>\n]*)>, "((?:[^"\\\n]|\\.)*)"', trace)
    return [w for w in found if w[0].startswith("/sys") or not sysfs]


def check_settings_refused():
    host, _ = ends("healthy")["i0"]
    no_speed = ("fcoe has no speed setting: the link runs at the speed it negotiates with its "
                "peer; set it on the switch port, or for FCoE on the Ethernet side")
    for run, reason in (
            ("speed", no_speed),
            ("topology", "fcoe has no topology setting: the port takes the topology its peer "
                         "offers; set it on the switch port"),
            ("alpa", "no Linux driver takes a hard AL_PA while it runs: set it in the adapter's "
                     "firmware settings, then reset the link"),
            ("speed-dry", no_speed)):
        equals(run, ("standard output", ran("healthy", run, 1, run),
                     "Could not apply settings to the specified port (status 0xE00002C7).\n"),
               ("standard error", kept("healthy", run + ".err"), f"halvane: {host}: {reason}\n"),
               ("writes to sysfs", writes("healthy", run, sysfs=True), []))


def found_lun_3(run, host, wanted=True):
    found = output("rescan", run).split()
    expect((f"{host[4:]}:0:0:3" in found) == wanted,
           f"the kernel {'found no LUN 3 on' if wanted else 'scanned'} {host}: {found}")


def check_rescan_one():
    (i0, name), (i1, _) = ends("healthy")["i0"], ends("healthy")["i1"]
    every, scans = writes("rescan", "rescan-one"), writes("rescan", "rescan-one", sysfs=True)
    expect(len(scans) == 1 and scans[0][0].endswith(f"/{i0}/scsi_host/{i0}/scan")
           and scans[0][1] == "- - -\\n", f"-c {name} -r writes {scans}, not {i0}'s scan alone")
    reason = next((i for i, w in enumerate(every) if "fcoe has no speed setting" in w[1]), None)
    expect(reason is not None and reason < every.index(scans[0]),
           "the scan is not written after the setting was refused")
    found_lun_3("after-one", i0)
    found_lun_3("after-one", i1, wanted=False)


def check_rescan_all():
    hosts = sorted(h for h, _ in ends("healthy").values())
    equal(sorted((w[0].split("/")[-2], w[1]) for w in writes("rescan", "rescan-all", sysfs=True)),
          [(h, "- - -\\n") for h in hosts], "-r writes")
    found_lun_3("after-all", ends("healthy")["i1"][0])


def check_degraded_states():
    (_, w0), (_, w1) = ends("degraded")["i0"], ends("degraded")["i1"]
    doc = document("degraded")
    by_port = {c["port_name"]: c for c in doc["controllers"]}
    equals("", (f"{w1} state", by_port[w1]["state"], "linkdown"),
           (f"{w0} state", by_port[w0]["state"], "online"),
           (f"{w1}'s remote port", [t["state"] for t in by_port[w1]["targets"]], ["blocked"]),
           (f"{w1}'s LUNs", {lun["state"] for t in by_port[w1]["targets"] for lun in t["luns"]},
            {"transport_offline"}),
           (f"-l: {w1}", listing(output("degraded", "list"))[0][w1]["Port Status"], "Linkdown"),
           *((f"map {m['name']}'s paths", sorted(p["state"] for p in m["paths"]),
              ["running", "transport_offline"]) for m in doc["multipath"]))


# Each phase's checks, by what they say.
PHASE_CHECKS = [
    ("-l lists the kernel's FC hosts with their state, speed and topology", check_list_ports),
    ("-l lists each port's LUNs as the kernel, sg_inq and multipath -ll have them",
     check_list_luns),
    ("-c WWN and --json -c WWN show each port as -l and --json -l do", check_port_blocks),
    ("--json -l and --json -c follow the schema", check_schema),
    ("--json -l ports are the kernel's", check_json_ports),
    ("--json -l remote ports are the kernel's and lsscsi -t's", check_json_remote_ports),
    ("--json -l LUNs, devices and sizes are the kernel's and lsscsi -g -s's",
     check_json_luns),
    ("--json -l ALUA states are the kernel's and the target's groups'", check_json_alua),
    ("--json -l WWIDs are the kernel's, sg_inq -p 0x83's and multipath -ll's", check_json_wwids),
    ("--json -l maps are the kernel's and multipath -ll's", check_json_maps),
    ("--metrics -l passes promtool check metrics", check_metrics_promtool),
    ("--metrics -l samples are the kernel's states", check_metrics_values),
    ("--snapshot replays to the same -l and --json -l", check_snapshot_replay),
    ("the capture replays to the same -l and --json -l", check_capture_replay),
    ("--dot draws the kernel's states: what is not online red, and every path through it",
     check_picture),
]
CHECKS = [("the SAN comes up in the VM: 4 FCoE ports, 6 paths, 3 maps", check_setup, ())]
CHECKS += [(f"{phase}: {title}", function, (phase,)) for phase in ("healthy", "degraded", "down")
           for title, function in PHASE_CHECKS]
CHECKS += [
    ("healthy: as a user, -l and --json -l are root's and a setting is refused (77)",
     check_user, ()),
    ("healthy: -l opens at most 6 files of each logical unit", check_opens_per_lun, ()),
    ("healthy: as a user, an unreadable port state and LUN state are named by -l, --json -l, "
     "--metrics -l and --check (74, 74, UNKNOWN)", check_unreadable, ()),
    ("healthy: -s, -t, -a and --dry-run on an FCoE port are refused before any write, with "
     "the reason", check_settings_refused, ()),
    ("rescan: -c WWN -s auto -r writes the kernel's scan of that port's host alone, after the "
     "refusal", check_rescan_one, ()),
    ("rescan: -r writes every FC host's scan, and the other host finds the LUN",
     check_rescan_all, ()),
    ("degraded: one link down is Linkdown, Blocked, transport-offline, one path of two",
     check_degraded_states, ()),
    ("rescan and degraded: --diff against the healthy capture finds the new LUN, then the paths "
     "lost with one link down, and --check --baseline warns (1)", check_change_window, ()),
    ("healthy: --check says HALVANE OK, status 0", check_verdict, ("healthy", 0)),
    ("degraded: --check warns, status 1", check_verdict, ("degraded", 1)),
    ("down: --check is critical, status 2", check_verdict, ("down", 2)),
]

counts = {"ok": 0, "FAIL": 0, "skip": 0}
# Requirements of the whole stage: without them no check can run.
blocking = sorted(missing - {"check", "promtool"})
for title, function, arguments in CHECKS:
    try:
        if blocking:
            raise Skip("missing: " + ", ".join(blocking))
        function(*arguments)
        verdict, why = "ok", None
    except Skip as skip:
        # A feature this halvane does not have yet is no missing requirement.
        verdict, why = (("FAIL", f"skipped under CI=true: {skip}")
                        if strict and "this halvane has no --" not in str(skip) else ("skip", skip))
    except FileNotFoundError as error:
        verdict, why = "FAIL", f"the guest kept no {os.path.relpath(error.filename, results)}"
    except Fail as error:
        verdict, why = "FAIL", error
    except Exception as error:  # a result the checker cannot read is a failure too
        verdict, why = "FAIL", f"{type(error).__name__}: {error}"
    counts[verdict] += 1
    print(f"{verdict:<6}{title}" + ("" if why is None else f": {why}"))
for k in trees.values():
    shutil.rmtree(k.root, ignore_errors=True)
print(f"{counts['ok']} passed, {counts['FAIL']} failed, {counts['skip']} skipped")
sys.exit(1 if counts["FAIL"] else 0)
