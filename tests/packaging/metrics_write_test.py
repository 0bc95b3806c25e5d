#!/usr/bin/env python3
# metrics_write_test.py SCRIPT BINARY SOURCE_DIR: the build's halvane-metrics, running the built
# halvane, replaces its file in one step, follows nothing planted in its folder, and a run that
# fails or is stopped changes nothing and leaves no other file.
import os, random, resource, signal, subprocess, sys, tempfile, threading, time, unittest
from pathlib import Path

SCRIPT = BINARY = SOURCE = ""
TARGET = "out/halvane.prom"
HOSTS = {}  # name: (snapshot path, what the service writes for it)


def make_hosts(tmp):
    # Two hosts of a few thousand LUNs, so that a run takes long enough to be caught midway.
    for name, luns in (("a", 30), ("b", 31)):
        path = f"{tmp}/{name}.json"
        subprocess.run([f"{SOURCE}/bench/make-registry", "--ports", "4", "--targets", "25",
                        "--luns", str(luns), "--snapshot", path], check=True,
                       stdout=subprocess.DEVNULL)
        env = dict(PATH=os.environ["PATH"], HALVANE_REGISTRY=path)
        HOSTS[name] = (path, subprocess.run([BINARY, "--metrics", "-l", "--check"], env=env,
                                            capture_output=True, text=True).stdout)


def write(path, text, mode=0o644):
    path.write_text(text)
    path.chmod(mode)


# The script run in TMP on HOST's snapshot; midway(process) is done after delay seconds.
def run(tmp, host, script=None, preexec=None, env=(), delay=0.0, midway=None):
    env = dict(PATH=os.environ["PATH"], HALVANE_BINARY=BINARY, HALVANE_METRICS_FILE=TARGET,
               HALVANE_REGISTRY=HOSTS[host][0]) | dict(env)
    proc = subprocess.Popen([script or SCRIPT], cwd=tmp, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec)
    if midway:
        time.sleep(delay)
        midway(proc)
    out, err = proc.communicate(timeout=60)
    return proc.returncode, out, err


def full_disk():  # in the child: writes beyond 2 KiB, half the file, fail as on a full disk
    resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))


class MetricsWrite(unittest.TestCase):
    def folder(self, last="a"):  # a folder with out/, where host last's metrics are the last file
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        (Path(tmp.name) / "out").mkdir()
        if last:
            write(Path(tmp.name) / TARGET, HOSTS[last][1])
        return Path(tmp.name)

    def assertOneFile(self, tmp, *texts):  # out/ holds the file only, and it is one of texts
        self.assertEqual(os.listdir(tmp / "out"), ["halvane.prom"])
        self.assertIn((tmp / TARGET).read_text(), texts)

    def test_one_run(self):
        for name, preexec, env, status in [
                ("halvane succeeds", None, {}, 0),
                ("halvane is missing", None, {"HALVANE_BINARY": "./missing"}, 1),
                ("the disk fills up", full_disk, {}, 1),
                ("the target is a folder", None, {"HALVANE_METRICS_FILE": "out"}, 1),
                ("the folder is missing", None, {"HALVANE_METRICS_FILE": "gone/halvane.prom"}, 1)]:
            with self.subTest(name):
                tmp = self.folder()
                got, out, err = run(tmp, "b", None, preexec, env)
                self.assertEqual((got, out), (status, ""), err)
                if status:
                    self.assertRegex(err, r"(?m)^halvane(-metrics)?: ")
                self.assertOneFile(tmp, HOSTS["a" if status else "b"][1])

    def test_nothing_planted_is_followed(self):
        # A user who may write the folder, or move it, plants links to a file only root may read.
        for case in ("link at the name", "folder is a link", "folder moved aside midway"):
            with self.subTest(case):
                tmp = self.folder(None)
                write(tmp / "secret", "root only\n", 0o600)
                if case == "link at the name":
                    (tmp / TARGET).symlink_to("../secret")
                elif case == "folder is a link":
                    (tmp / "out").rename(tmp / "real")
                    (tmp / "out").symlink_to("real")

                def move_aside(_):
                    (tmp / "out").rename(tmp / "aside")
                    (tmp / "out").mkdir()
                    (tmp / TARGET).symlink_to("../secret")
                status, _, err = run(tmp, "b", delay=0.05,
                                     midway=move_aside if case.endswith("midway") else None)
                self.assertEqual((tmp / "secret").read_text(), "root only\n")
                self.assertEqual((tmp / "secret").stat().st_mode & 0o777, 0o600)
                if case == "link at the name":
                    self.assertEqual(status, 0, err)
                    self.assertFalse((tmp / TARGET).is_symlink())
                elif case == "folder is a link":
                    self.assertEqual(status, 1, err)
                    self.assertEqual(os.listdir(tmp / "real"), [])
                elif status == 0:
                    # Open before the move, the folder took the file with it; moved first (a slow
                    # start), the link planted at the name was replaced by the file, not followed.
                    moved = (tmp / TARGET).is_symlink()
                    self.assertEqual(os.listdir(tmp / "aside"), ["halvane.prom"] if moved else [])
                    self.assertTrue(moved or (tmp / TARGET).read_text().startswith("# HELP"))

    def test_a_stopped_run_leaves_a_whole_file_and_no_other(self):
        # Stopped before the rename, the file is as it was; after it, the new one: never a part,
        # never a temporary file left, and the run ends by the signal it was sent.
        tmp = self.folder()
        for _ in range(12):
            status, _, err = run(tmp, "b", delay=random.uniform(0, 0.05),
                                 midway=lambda proc: proc.send_signal(signal.SIGTERM))
            self.assertIn(status, (0, -signal.SIGTERM), err)
            self.assertOneFile(tmp, *(HOSTS[h][1] for h in ("ab" if status else "b")))
            write(tmp / TARGET, HOSTS["a"][1])

    def torn_reads(self, script):  # script run 16 times while a thread reads the file: torn reads
        tmp, reads, done = self.folder(), [], threading.Event()
        whole = {text for _, text in HOSTS.values()}

        def reader():
            while not done.is_set():
                try:
                    text = (tmp / TARGET).read_text()
                except FileNotFoundError:
                    text = ""
                reads.append(None if text in whole else f"{text[:12]!r}, {len(text)} bytes")
                time.sleep(0.0002)  # thousands of reads a second, yet a core left for the runs

        thread = threading.Thread(target=reader)
        thread.start()
        try:
            statuses = [run(tmp, host, script) for host in ["a", "b"] * 8]
        finally:
            done.set()
            thread.join()
        if script == SCRIPT:
            self.assertEqual([s for s in statuses if s[0]], [])
            self.assertGreater(len(reads), 200, "the reader hardly read: it proves nothing")
            self.assertOneFile(tmp, *whole)
        return [f"read {i}: {fault}" for i, fault in enumerate(reads) if fault]

    def test_readers_see_whole_files_only(self):
        self.assertEqual(self.torn_reads(SCRIPT), [])
        # The reader catches what the wrapper replaced, a plain redirection, which readers see
        # half written: else the check above could pass whatever the script did.
        naive = self.folder(None) / "naive"
        write(naive, '#!/bin/sh\nexec "$HALVANE_BINARY" --metrics -l --check'
              ' >"$HALVANE_METRICS_FILE"\n', 0o755)
        self.assertNotEqual(self.torn_reads(naive), [])


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: metrics_write_test.py SCRIPT BINARY SOURCE_DIR")
    SCRIPT, BINARY, SOURCE = map(os.path.abspath, sys.argv[1:])
    with tempfile.TemporaryDirectory() as hosts:
        make_hosts(hosts)
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    sys.exit(not result.wasSuccessful())
