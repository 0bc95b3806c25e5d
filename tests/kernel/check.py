#!/usr/bin/env python3
# Judges what the VM of tests/kernel/run kept: what halvane printed in each phase of the SAN's
# life against the kernel's own files (the phase's capture, PHASE/sysfs.tree, read here with no
# halvane code) and against lsscsi, sg_inq and multipath. One line per check, then
# "N passed, M failed, K skipped"; exit status 1 when a check failed.
#
#     check.py RESULTS HALVANE_BINARY CHECKOUT [MISSING...]
#
# MISSING names what the run could not have (a tool, the kernel): every check that needs it is
# skipped, and under CI=true it fails. A peer missing in the guest (status 127) counts the same.
import collections, json, os, re, shutil, subprocess, sys, tempfile

results, binary, checkout = sys.argv[1:4]
missing = set(sys.argv[4:])
strict = os.environ.get("CI") == "true"


class Skip(Exception): pass  # noqa: E701


class Fail(Exception): pass  # noqa: E701


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
    a, b = (t if len(t) <= 300 else t[:300] + "..." for t in (repr(a), repr(b)))
    raise Fail(f"{what}: {'' if path == '$' else f'at {path} '}halvane says {a}, expected {b}")


def first_difference(got, wanted, path="$"):
    # Where two documents that differ first differ: (path, one's value, the other's).
    if isinstance(got, dict) and isinstance(wanted, dict):
        pairs = [(f".{k}", got.get(k, "(absent)"), wanted.get(k, "(absent)"))
                 for k in {**got, **wanted}]
    elif isinstance(got, list) and isinstance(wanted, list) and len(got) == len(wanted):
        pairs = [(f"[{i}]", a, b) for i, (a, b) in enumerate(zip(got, wanted))]
    else:
        return path, got, wanted
    return next(first_difference(a, b, path + step) for step, a, b in pairs if a != b)


def equals(what, *rows):
    # Rows of (key, halvane's value, the expected one), each named "WHAT KEY".
    for key, got, wanted in rows:
        equal(got, wanted, f"{what} {key}".strip())


def fields(shown, rules, record, what):
    # The keys of shown against the kernel record's attributes their rules name: NAME, or
    # (NAME, FUNCTION) for the attribute as FUNCTION turns it.
    rules = {key: rule if isinstance(rule, tuple) else (rule, lambda value: value)
             for key, rule in rules.items()}
    equal({key: shown.get(key) for key in rules},
          {key: then(record[name]) for key, (name, then) in rules.items()}, what)


def here(*args, env=None, stdin=None):
    # A run on this side: halvane's (ARGS its arguments) when given an ENV, else a tool's.
    command = [binary, *args] if env is not None else list(args)
    env = None if env is None else {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **env}
    return subprocess.run(command, input=stdin, capture_output=True, text=True, env=env)


# ---- what the guest kept: PHASE/NAME.{out,err,rc,trace} of each run ----

def kept(phase, file):
    return open(os.path.join(results, phase, file), encoding="utf-8", errors="replace").read()


def output(phase, name, rc=None, peer=False):
    # The standard output of a run in the guest, whose status must be RC when one is given; a
    # peer that was not found skips the check.
    got, text = int(kept(phase, name + ".rc")), kept(phase, name + ".out")
    if peer and got == 127:
        raise Skip(f"{name.split('-')[0]} is not installed in the guest")
    expect(rc in (None, got), f"{phase}/{name}: status {got}, expected {rc}, first line "
                              f"{text.splitlines()[:1]}")
    return text


def document(phase, name="json", rc=None):
    return json.loads(output(phase, name, rc))


def ends(phase):
    # i0, i1, t0, t1: the host and port name of each end of the two links.
    return {end: (host, name.upper()) for end, host, name in
            map(str.split, kept(phase, "ends").splitlines())}


# ---- the kernel's files, from the capture ----

trees = {}


def kernel(phase):
    # The phase's capture laid out as files and links, as the test suite's trees are, with
    # capture.py's escaping undone (\xHH, \n, \t, \s, and \ before any other character).
    if phase not in trees:
        lines = kept(phase, "sysfs.tree").splitlines()
        root = tempfile.mkdtemp(prefix=f"halvane-kernel-{phase}-")
        for line in lines:
            if line and not line.startswith("#"):
                path, kind, content = re.match(r"(.*?)(?: (=|->) (.*))?$", line).groups()
                full = os.path.join(root, path.rstrip("/"))
                os.makedirs(os.path.dirname(full) if kind else full, exist_ok=True)
                if kind == "=":
                    open(full, "wb").write(re.sub(
                        rb"\\(x[0-9a-fA-F]{2}|.)", lambda m: bytes.fromhex(m[1][1:].decode())
                        if len(m[1]) == 3 else {b"n": b"\n", b"t": b"\t", b"s": b" "}.get(
                            m[1], m[1]), content.encode(), flags=re.S))
                elif kind == "->":
                    os.symlink(content, full)
        trees[phase] = Kernel(root)
    return trees[phase]


class Kernel:
    # The kernel's Fibre Channel hosts, remote ports (targets: those with a SCSI target), LUNs
    # and maps, read as the kernel documents them (Documentation/ABI, scsi_transport_fc.c), not
    # as halvane reads them. A record holds every attribute the capture kept of its folder.

    def __init__(self, root):
        self.root = root
        self.hosts = {h: host | {"proc_name": self.text("class/scsi_host", h, "proc_name"),
                                 "wwpn": wwn(host["port_name"])}
                      for h in self.names("class/fc_host")
                      for host in [self.record("class/fc_host", h)]}
        self.ports = [self.hosts[h]["wwpn"] for h in by_number(self.hosts)]
        self.rports = {r: self.record("class/fc_remote_ports", r) | {
                       "host": "host" + r[len("rport-"):].split(":")[0]}
                       for r in self.names("class/fc_remote_ports")}
        self.targets = {r: v | {"scsi_address": f"{v['host'][4:]}:0:{v['scsi_target_id']}"}
                        for r, v in self.rports.items() if v["scsi_target_id"] != "-1"}
        self.luns = {a: self.lun(a) for a in self.names("class/scsi_device")}
        # The capture keeps the multipath maps alone under block/.
        self.maps = {dm: {"name": self.text("block", dm, "dm/name"),
                          "uuid": self.text("block", dm, "dm/uuid"),
                          "size": int(self.text("block", dm, "size")) * 512,
                          "slaves": self.names("block", dm, "slaves")}
                     for dm in self.names("block")}

    def text(self, *path):
        try:
            return open(os.path.join(self.root, *path), "rb").read().decode(
                errors="replace").rstrip("\n")
        except OSError:
            return None

    def names(self, *path):
        folder = os.path.join(self.root, *path)
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def record(self, *path):
        return {name: self.text(*path, name) for name in self.names(*path)
                if os.path.isfile(os.path.join(self.root, *path, name))}

    def lun(self, address):
        folder = os.path.realpath(os.path.join(self.root, "class/scsi_device", address, "device"))
        lun = self.record(folder)
        inquiry = open(os.path.join(folder, "inquiry"), "rb").read()
        lun["tpgs"] = (inquiry[5] >> 4) & 3 if len(inquiry) > 5 else 0
        lun["block"], lun["sg"] = ((self.names(folder, d) or [None])[0]
                                   for d in ("block", "scsi_generic"))
        if lun["block"]:
            block = os.path.join(folder, "block", lun["block"])
            lun |= {"size": int(self.text(block, "size")) * 512,
                    "lbs": int(self.text(block, "queue", "logical_block_size")),
                    "holders": self.names(block, "holders")}
        # The remote port above the target above the LUN.
        lun["rport"] = os.path.basename(os.path.dirname(os.path.dirname(folder)))
        return lun


def norm(text):
    # The document's spelling of a kernel state or role.
    return text.lower().replace("-", "_").replace(" ", "_")


def wwn(text):
    # 0x2000020000000010 -> 20:00:02:00:00:00:00:10
    return ":".join(re.findall("..", text[2:].upper().rjust(16, "0")))


def by_number(names):
    # host10 after host9, 0:0:1:10 after 0:0:1:9.
    return sorted(names, key=lambda name: [int(x) for x in re.findall(r"\d+", name)])


# ---- the peers' and halvane's outputs ----

def lsscsi(phase):
    # [H:C:T:L] disk fcoe:0x<wwpn>,0x<port id> /dev/sdX /dev/sgN BLOCKS,BLOCK_SIZE
    return {f[0].strip("[]"): dict(zip(("type", "transport", "block", "sg", "size"), f[1:6]))
            for f in map(str.split, output(phase, "lsscsi", peer=True).splitlines())}


def sg_inq_naa(phase, address):
    # The first NAA designator of the addressed logical unit, as sg_inq -p 0x83 prints it. A
    # LUN that takes no commands (transport-offline) is the one it was while it did.
    text = output(phase, "sg_inq-" + address, peer=True)
    if int(kept(phase, f"sg_inq-{address}.rc")) and phase not in ("healthy", "rescan"):
        return sg_inq_naa("rescan", address)
    found = re.search(r"designator_type: NAA,.*\n *associated with the Addressed logical unit\n"
                      r"(?: {6}.*\n)*? {6}\[0x([0-9a-f]+)\]", text)
    expect(found, f"sg_inq -p 0x83 shows no NAA designator for {address}")
    return found[1]


def multipath_ll(phase):
    # Each map's WWID, dm device, size in bytes and paths (their block devices and checkers).
    return {name: {"wwid": wwid, "dm": dm, "size": float(size) * 1024 ** " KMGT".index(unit),
                   "paths": {p[0]: {"block": p[1], "checker": p[2]} for p in re.findall(
                       r"- (\d+:\d+:\d+:\d+) (sd\w+) +\d+:\d+ +\w+ (\w+) +\w+", body)}}
            for name, wwid, dm, size, unit, body in re.findall(
                r"^(\S+) \((\w+)\) (dm-\d+) .*\nsize=([\d.]+)([KMGT]) .*\n((?:[|` ].*\n?)*)",
                output(phase, "multipath", peer=True), re.M)}


def metrics(phase):
    return [(name, dict(re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', labels or "")), float(value))
            for line in output(phase, "metrics").splitlines() if line and line[0] != "#"
            for name, labels, value in [re.match(r"^(\w+)(?:\{(.*)\})? (\S+)$", line).groups()]]


def counters_aside(doc):
    # The document without its link counters: only they move between two runs on a live host.
    doc = json.loads(doc) if isinstance(doc, str) else doc
    return doc | {"controllers": [{key: value for key, value in c.items() if key != "statistics"}
                                  for c in doc["controllers"]]}


def same_as_live(phase, listed, documented, what):
    # -l and --json -l from elsewhere against the live ones.
    equal(listed, output(phase, "list"), f"-l {what} against the live -l")
    equal(counters_aside(documented), counters_aside(output(phase, "json")),
          f"--json -l {what} against the live one, counters aside")


def listing(text):
    # The text listing as {port WWN: {key: value}} and {node WWN: [{"@": LUN, key: value}]}.
    head, _, tail = text.partition("\nTargets\n")
    ports = {b.splitlines()[0]: dict(line.strip().split(": ", 1)
                                     for line in b.splitlines()[1:] if line.strip())
             for b in head.split("\n    PortWWN ")[1:]}
    nodes = {}
    for block in tail.split("\nNodeWWN ")[1:]:
        node, *luns = block.split("\nSCSI Logical Unit @ ")
        nodes[node.split()[0]] = [dict([("@", u.splitlines()[0])] + [
            [x.strip() for x in line.split(":    ", 1)] for line in u.splitlines()
            if ":    " in line]) for u in luns]
    return ports, nodes


def luns(doc):
    # {SCSI address: (the LUN, the remote port it is reached through)} of a document.
    return {lun["scsi_address"]: (lun, t) for c in doc["controllers"]
            for t in c.get("targets", []) for lun in t["luns"]}


# What each key of the document is in the kernel's files. 0 is the kernel's "none" of a port
# address and a fabric: no address while the link is down, no fabric in VN2VN.
PORT_FIELDS = {
    "port_name": ("port_name", wwn), "node_name": ("node_name", wwn), "speed": "speed",
    "state": ("port_state", norm), "speed_gbit": ("speed", lambda s: int(s.split()[0])),
    "topology": "port_type", "driver": "proc_name", "symbolic_name": "symbolic_name",
    "port_id": ("port_id", lambda s: s if int(s, 16) else None),
    "fabric_name": ("fabric_name", lambda s: wwn(s) if int(s, 16) else None)}
REMOTE_PORT_FIELDS = {
    "node_name": ("node_name", wwn), "port_id": "port_id", "state": ("port_state", norm),
    "roles": ("roles", lambda s: [norm(x) for x in s.split(", ")]), "scsi_address": "scsi_address",
    "dev_loss_tmo": ("dev_loss_tmo", int), "fast_io_fail_tmo": ("fast_io_fail_tmo", int)}
LUN_FIELDS = {
    "state": ("state", norm), "type": ("type", lambda s: "disk" if s == "0" else s),
    "vendor": ("vendor", str.strip), "model": ("model", str.strip), "wwid": "wwid",
    "revision": ("rev", str.strip), "queue_depth": ("queue_depth", int), "size_bytes": "size",
    "block_device": "block", "sg_device": "sg", "logical_block_size": "lbs",
    "access_state": "access_state", "alua_support": ("tpgs", {
        0: None, 1: "Implicit", 2: "Explicit", 3: "Implicit and Explicit"}.get)}
# The listing's lines of a port (with no AL_PA: an N_Port has no arbitrated-loop address) and of
# a LUN (with its NAA as sg_inq -p 0x83 has it and the name of multipath -ll's map over it).
LISTED_PORT_FIELDS = {"Port Status": "port_state", "Speed": "speed", "Topology": "port_type",
                      "AL_PA": ("port_name", lambda _: None)}
LISTED_LUN_FIELDS = {"Vendor": ("vendor", str.strip), "Model": ("model", str.strip),
                     "Revision": ("rev", str.strip), "Logical Unit Access State": "access_state",
                     "Logical Unit Unique ID": "naa", "LUN Alias": "alias"}
# The target across i0's link exports its LUNs in the default group, active/optimized; the one
# across i1's in a second group, active/non-optimized.
CONFIGURED_ACCESS = {"i0": "active/optimized", "i1": "active/non-optimized"}


# ---- the checks ----

def check_setup():
    if os.path.exists(os.path.join(results, "setup-failed")):
        raise Fail("the guest could not build the SAN: " + kept("", "setup-failed").strip())
    k = kernel("healthy")
    for what, found, wanted in (("FC hosts", k.hosts, 4), ("LUNs", k.luns, 6),
                                ("multipath maps", k.maps, 3)):
        expect(len(found) == wanted, f"{len(found)} {what}, not {wanted}")


def check_listing(phase):
    (ports, nodes), k = listing(output(phase, "list", 0)), kernel(phase)
    equal(kept(phase, "list.err"), "", "-l standard error")
    equal(list(ports), k.ports, "ports in host order")
    for h, host in k.hosts.items():
        fields(ports[host["wwpn"]], LISTED_PORT_FIELDS, host, f"{h} ({host['wwpn']})")
    by_dm = {m["dm"]: name for name, m in multipath_ll(phase).items()}
    shown = [(node, lun) for node, listed in nodes.items() for lun in listed]
    wanted = [(wwn(k.hosts["host" + a.split(":")[0]]["node_name"]), a) for a in by_number(k.luns)]
    equal([(node, lun["@"]) for node, lun in shown],
          [(node, a.split(":")[3]) for node, a in wanted], "LUNs under each node, in order")
    for (_, lun), (_, a) in zip(shown, wanted):
        kl = k.luns[a]
        fields(lun, LISTED_LUN_FIELDS, kl | {
            "naa": "0x" + sg_inq_naa(phase, a).upper(),
            "alias": next((by_dm[h] for h in kl.get("holders", []) if h in by_dm), None)},
            f"LUN {a}")


def check_port_blocks(phase):
    listed, whole = output(phase, "list"), counters_aside(document(phase))["controllers"]
    for end, (host, name) in ends(phase).items():
        block = re.search(rf"^    PortWWN {name}\n(?: {{8}}.*\n)*", listed, re.M)
        equal(output(phase, "port-" + end, 0).strip("\n"), block and block[0].strip("\n"),
              f"-c {name} against -l's block")
        equal(counters_aside(document(phase, f"port-{end}-json"))["controllers"],
              [c for c in whole if c["port_name"] == name], f"--json -c {name} against --json -l")


def consumed(script, *args):
    # A reader in tests/support takes what it is given without a word; 77 is its "cannot read".
    done = here(sys.executable, os.path.join(checkout, "tests/support", script), *args)
    if done.returncode == 77:
        raise Skip(done.stdout.strip())
    said = (done.stdout + done.stderr).strip()
    expect(done.returncode == 0 and not said, f"{script}: {said[:400]}")


def check_consumers(phase):
    consumed("validate_inventory.py", os.path.join(checkout, "doc/halvane-inventory.schema.json"),
             *(os.path.join(results, phase, n + "json.out")
               for n in ("", "port-i0-", "port-i1-", "port-t0-", "port-t1-")))
    consumed("check_metrics.py", os.path.join(results, phase, "metrics.out"))


def check_json_ports(phase):
    doc, k = document(phase), kernel(phase)
    equal([c["port_name"] for c in doc["controllers"]], k.ports, "controllers")
    for c in doc["controllers"]:
        h, shown = "host%d" % c["scsi_host"], c.get("targets", [])
        fields(c, PORT_FIELDS, k.hosts[h], f"{h} ({c['port_name']})")
        mine = {wwn(r["port_name"]): r for r in k.targets.values() if r["host"] == h}
        equal(sorted(t["port_name"] for t in shown), sorted(mine), f"{h}'s targets")
        for t in shown:
            fields(t, REMOTE_PORT_FIELDS, mine[t["port_name"]],
                   f"remote port {t['port_name']} of {h}")


def check_json_luns(phase):
    k, peers, shown = kernel(phase), lsscsi(phase), luns(document(phase))
    mapped = {a: m["wwid"] for m in multipath_ll(phase).values() for a in m["paths"]}
    sides = {host[4:]: end for end, (host, _) in ends(phase).items()}
    equal(sorted(shown), sorted(k.luns), "SCSI addresses")
    equal(sorted(shown), sorted(peers), "SCSI addresses against lsscsi")
    for a, (lun, t) in shown.items():
        fields(lun, LUN_FIELDS, k.luns[a], f"LUN {a}")
        naa, peer, wwid = sg_inq_naa(phase, a), peers[a], lun.get("multipath_wwid")
        count, size = (int(x) for x in peer["size"].split(","))
        equals(f"LUN {a}",
               # fcoe:0x<remote port name>,0x<its port id>
               ("transport against lsscsi -t", peer["transport"].split(":", 1)[1],
                "0x%s,%s" % (t["port_name"].replace(":", "").lower(), t["port_id"])),
               ("block device against lsscsi -g", "/dev/" + lun["block_device"], peer["block"]),
               ("sg device against lsscsi -g", "/dev/" + lun["sg_device"], peer["sg"]),
               ("size_bytes against lsscsi -SS", lun["size_bytes"], count * size),
               ("logical_block_size against lsscsi -SS", lun["logical_block_size"], size),
               ("access_state against the target's groups", lun["access_state"],
                CONFIGURED_ACCESS[sides[a.split(":")[0]]]),
               ("wwid against sg_inq -p 0x83", lun.get("wwid"), "naa." + naa),
               ("unique_id against sg_inq", lun.get("unique_id"), "0x" + naa.upper()),
               ("multipath_wwid", wwid, "3" + naa),
               ("multipath_wwid against multipath -ll", wwid, mapped.get(a, wwid)))


def check_json_maps(phase):
    k, doc, maps = kernel(phase), document(phase), multipath_ll(phase)
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
                    checker == "ready", kl["state"] == "running"),
                   ("LUN's map", luns(doc)[a][0].get("multipath"),
                    {"name": m["name"], "dm": m["dm"], "uuid": m["uuid"]}))


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


def check_replays(phase):
    output(phase, "snapshot", 0)
    for what, env in (("snapshot", {"HALVANE_REGISTRY": f"{results}/{phase}/snapshot.out"}),
                      ("capture", {"HALVANE_SYSFS_ROOT": kernel(phase).root})):
        same_as_live(phase, here("-l", env=env).stdout, here("--json", "-l", env=env).stdout,
                     "of the " + what)


def check_picture(phase):
    # --dot on the phase's capture: Graphviz draws it without a word, each port and remote port
    # is red exactly when the kernel does not have it online, and so is every path through one.
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
    # {node: (its state, whether the paths through it are down)}
    drawn = {"port " + h["wwpn"]: (h["port_state"], h["port_state"] != "Online")
             for h in k.hosts.values()}
    drawn |= {f"remote {port} {wwn(r['port_name'])}": (
              r["port_state"], r["port_state"] != "Online" or drawn["port " + port][1])
              for r in k.targets.values() for port in [k.hosts[r["host"]]["wwpn"]]}
    for name, (state, _) in drawn.items():
        expect(name in nodes, f"--dot draws no node {name}")
        equal("color=red" in nodes[name], state != "Online", f"{name} ({state}) drawn red")
    for source, attributes in edges:
        expect(not drawn.get(source, (0, False))[1] or "color=red" in attributes,
               f"a path from {source}, which is down, not red")


def check_verdict(phase):
    wanted = {"healthy": 0, "degraded": 1, "down": 2}[phase]
    if "check" in missing:
        raise Skip("this halvane has no --check (its -h does not mention it)")
    text = output(phase, "check", wanted)
    expect(wanted or text.startswith("HALVANE OK"), f"--check's first line: {text[:100]!r}")
    document(phase, "check-json", wanted)


def check_user():
    same_as_live("healthy", output("healthy", "user-list", 0), output("healthy", "user-json", 0),
                 "as a user")
    said = output("healthy", "user-speed", 77)
    expect(said.startswith("You must be running as root"), "a setting as a user: " + said[:100])


def check_opens_per_lun():
    # -l opens at most 6 files of each logical unit's own (its folder and beneath it): three
    # attributes (its INQUIRY response, which holds its vendor, product and revision, its
    # identification page and its access state), its block device, that device's holders and the
    # one holder's resolution.
    equal(output("healthy", "list-traced", 0), output("healthy", "list"), "-l under strace")
    calls = re.findall(r'^(?:\d+ +)?open(?:at2?)?\((?:[^,]+, )?"([^"]*)"',
                       kept("healthy", "list.trace"), re.M)
    opens = collections.Counter(unit[1] for call in calls for unit in [
        re.search(r"(?:^|/)(\d+:\d+:\d+:\d+)(?:/|$)", call)] if unit)
    expect(len(opens) >= 6, f"-l opened files of {len(opens)} logical units, 6 expected")
    worst = max(opens.values(), default=0)
    expect(worst <= 6, f"-l opened {worst} files of one logical unit: {opens}")


def check_unreadable():
    phase = "unreadable"
    unreadable = {os.path.basename(p) for p in kept(phase, "unreadable").split()}
    listed, err = output(phase, "list", 0), kept(phase, "list.err")
    # The port's state is read by -l; the LUN's is not, so -l names only the first.
    expect("cannot read " in err and "port_state: Permission denied" in err,
           "-l standard error: " + err[:200])
    equal(listed.count("Port Status:"), output("healthy", "list").count("Port Status:") - 1,
          "-l leaves out the one port state it could not read")
    errors = document(phase, rc=74).get("errors", [])
    equal(sorted(e["errno"] for e in errors), ["EACCES", "EACCES"], "--json -l errors")
    for e in errors:
        expect(e["reason"] == "Permission denied" and os.path.basename(e["path"]) in unreadable,
               f"--json -l error {e['reason']!r} of {e['path']}")
    output(phase, "metrics", 74)
    equal([v for n, _, v in metrics(phase) if n == "halvane_read_errors"], [2.0],
          "halvane_read_errors")
    equal(output(phase, "check", 3).count("read_failed:"), 2, "--check read_failed findings")


def check_change_window():
    # The rescan found a LUN exported after the healthy capture: new against it, nothing lost.
    summary = output("rescan", "diff", 1).splitlines()[0]
    expect(("LUN new" in summary or "LUNs new" in summary) and "lost" not in summary,
           "--diff after the rescan finds a new LUN and loses nothing: " + summary)
    # One link down: every path through i1 lost, and the verdict against the baseline warns.
    i1 = ends("degraded")["i1"][1]
    summary = output("degraded", "diff", 1).splitlines()[0]
    expect(f"lost on port {i1}" in summary,
           f"--diff with one link down names the paths lost on i1 ({i1}): " + summary)
    expect("lun_paths_lost" in output("degraded", "check-baseline", 1),
           "--check --baseline with one link down has lun_paths_lost")


def writes(phase, name, sysfs=False):
    # (path, bytes) of every write to a file the run opened (under /sys), from strace -y.
    found = re.findall(r'write\(\d+<([^>\n]*)>, "((?:[^"\\\n]|\\.)*)"',
                       kept(phase, name + ".trace"))
    return [w for w in found if w[0].startswith("/sys") or not sysfs]


def check_settings_refused():
    host, _ = ends("healthy")["i0"]
    for row in open(os.path.join(os.path.dirname(__file__), "refusals.txt")):
        if not row.startswith("#"):
            run, reason = row.split()[0], row.split("|", 1)[1].strip()
            equals(run, ("standard output", output("healthy", run, 1),
                         "Could not apply settings to the specified port (status 0xE00002C7).\n"),
                   ("standard error", kept("healthy", run + ".err"),
                    f"halvane: {host}: {reason}\n"),
                   ("writes to sysfs", writes("healthy", run, sysfs=True), []))


def check_rescans():
    named = ends("healthy")
    (i0, name), (i1, _) = named["i0"], named["i1"]
    every, scans = writes("rescan", "rescan-one"), writes("rescan", "rescan-one", sysfs=True)
    expect(len(scans) == 1 and scans[0][0].endswith(f"/{i0}/scsi_host/{i0}/scan")
           and scans[0][1] == "- - -\\n", f"-c {name} -r writes {scans}, not {i0}'s scan alone")
    reason = next((i for i, w in enumerate(every) if "fcoe has no speed setting" in w[1]), None)
    expect(reason is not None and reason < every.index(scans[0]),
           "the scan is not written after the setting was refused")
    equal(sorted((w[0].split("/")[-2], w[1]) for w in writes("rescan", "rescan-all", sysfs=True)),
          [(h, "- - -\\n") for h in sorted(h for h, _ in named.values())], "-r writes")
    # LUN 3 was exported before the scans: -c finds it on its host alone, -r on the other too.
    for run, host, wanted in (("after-one", i0, True), ("after-one", i1, False),
                              ("after-all", i1, True)):
        found = output("rescan", run).split()
        expect((f"{host[4:]}:0:0:3" in found) == wanted,
               f"{run}: the kernel {'found no LUN 3 on' if wanted else 'scanned'} {host}: {found}")


# The rows of checks.txt: (what the check prints, its function, its arguments).
CHECKS = [(f"{phase}: {title}" if phase != "-" else title, globals()["check_" + name],
           () if phase == "-" else (phase,))
          for row in open(os.path.join(os.path.dirname(__file__), "checks.txt")) if row[0] != "#"
          for name, phases, title in [[x.strip() for x in row.split("|", 2)]]
          for phase in phases.split()]

counts = {"ok": 0, "FAIL": 0, "skip": 0}
# Requirements of the whole stage: without them no check can run.
blocking = sorted(missing - {"check"})
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
    except Exception as error:  # a result the checker cannot read is a failure too
        verdict, why = "FAIL", (
            error if isinstance(error, Fail) else
            f"the guest kept no {os.path.relpath(error.filename, results)}"
            if isinstance(error, FileNotFoundError) else f"{type(error).__name__}: {error}")
    counts[verdict] += 1
    print(f"{verdict:<6}{title}" + ("" if why is None else f": {why}"))
for k in trees.values():
    shutil.rmtree(k.root, ignore_errors=True)
print(f"{counts['ok']} passed, {counts['FAIL']} failed, {counts['skip']} skipped")
sys.exit(1 if counts["FAIL"] else 0)
