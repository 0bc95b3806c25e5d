#!/usr/bin/env python3
"""metrics_write_test.py SCRIPT BINARY SOURCE_DIR: the build's halvane-metrics, running the built
halvane, replaces its file in one step, follows nothing planted in its folder, and a run that
fails or is stopped changes nothing and leaves no other file."""

import os
import random
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

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
        listing = subprocess.run([BINARY, "--metrics", "-l"], env=env, capture_output=True).stdout
        check = subprocess.run([BINARY, "--metrics", "--check"], env=env,
                               capture_output=True).stdout
        HOSTS[name] = (path, (listing + check).decode())


def write(path, text, mode):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def prepare(tmp, host):  # host's metrics are the last good file
    os.mkdir(f"{tmp}/out")
    write(f"{tmp}/{TARGET}", HOSTS[host][1], 0o644)


def start(tmp, script, host, preexec=None, env=()):
    env = dict(PATH=os.environ["PATH"], HALVANE_BINARY=BINARY, HALVANE_METRICS_FILE=TARGET,
               HALVANE_REGISTRY=HOSTS[host][0]) | dict(env)
    return subprocess.Popen([script], cwd=tmp, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec)


def run_script(tmp, script, host, preexec=None, env=(), stop_after=None):
    proc = start(tmp, script, host, preexec, env)
    if stop_after is not None:
        time.sleep(stop_after)
        proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=60)
    return proc.returncode, out, err


def full_disk():  # in the child: writes beyond 2 KiB, half the file, fail as on a full disk
    resource.setrlimit(resource.RLIMIT_FSIZE, (2048, 2048))


class OneRun(unittest.TestCase):
    CASES = [  # name, preexec, environment, exit status
        ("halvane succeeds", None, {}, 0),
        ("halvane is missing", None, {"HALVANE_BINARY": "./missing"}, 1),
        ("the disk fills up", full_disk, {}, 1),
        ("the target is a folder", None, {"HALVANE_METRICS_FILE": "out"}, 1),
        ("the folder is missing", None, {"HALVANE_METRICS_FILE": "gone/halvane.prom"}, 1),
    ]

    def test_cases(self):
        for name, preexec, env, status in self.CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                prepare(tmp, "a")
                got, out, err = run_script(tmp, SCRIPT, "b", preexec, env)
                self.assertEqual(got, status, err)
                self.assertEqual(out, "")
                if status == 1:
                    self.assertRegex(err, r"(?m)^halvane(-metrics)?: ")
                self.assertEqual(os.listdir(f"{tmp}/out"), ["halvane.prom"])
                with open(f"{tmp}/{TARGET}") as f:
                    self.assertEqual(f.read(), HOSTS["b" if status == 0 else "a"][1])
                self.assertEqual(stat.S_IMODE(os.stat(f"{tmp}/{TARGET}").st_mode), 0o644)

    def test_nothing_planted_is_followed(self):
        # A user who may write the folder, or move it, plants links to a file only root may read.
        for case in ("link at the name", "folder is a link", "folder moved aside midway"):
            with self.subTest(case), tempfile.TemporaryDirectory() as tmp:
                write(f"{tmp}/secret", "root only\n", 0o600)
                os.mkdir(f"{tmp}/out")
                if case == "link at the name":
                    os.symlink("../secret", f"{tmp}/{TARGET}")
                elif case == "folder is a link":
                    os.rename(f"{tmp}/out", f"{tmp}/real")
                    os.symlink("real", f"{tmp}/out")
                proc = start(tmp, SCRIPT, "b")
                if case == "folder moved aside midway":
                    time.sleep(0.05)
                    os.rename(f"{tmp}/out", f"{tmp}/aside")
                    os.mkdir(f"{tmp}/out")
                    os.symlink("../secret", f"{tmp}/{TARGET}")
                _, err = proc.communicate(timeout=60)
                with open(f"{tmp}/secret") as f:
                    self.assertEqual(f.read(), "root only\n")
                self.assertEqual(stat.S_IMODE(os.stat(f"{tmp}/secret").st_mode), 0o600)
                if case == "link at the name":
                    self.assertEqual(proc.returncode, 0, err)
                    self.assertFalse(os.path.islink(f"{tmp}/{TARGET}"))
                elif case == "folder is a link":
                    self.assertEqual(proc.returncode, 1, err)
                    self.assertEqual(os.listdir(f"{tmp}/real"), [])
                elif proc.returncode == 0 and os.path.islink(f"{tmp}/{TARGET}"):
                    # The folder was open before the move: the file went with it.
                    self.assertEqual(os.listdir(f"{tmp}/aside"), ["halvane.prom"])
                elif proc.returncode == 0:
                    # The move came first (a slow start): the link planted at the name was
                    # replaced by the file, not followed.
                    self.assertEqual(os.listdir(f"{tmp}/aside"), [])
                    with open(f"{tmp}/{TARGET}") as f:
                        self.assertTrue(f.read().startswith("# HELP"))

    def test_a_stopped_run_leaves_a_whole_file_and_no_other(self):
        # Stopped before the rename, the file is as it was; after it, the new one: never a part,
        # never a temporary file left, and the run ends by the signal it was sent.
        with tempfile.TemporaryDirectory() as tmp:
            prepare(tmp, "a")
            for _ in range(12):
                status, _, err = run_script(tmp, SCRIPT, "b", stop_after=random.uniform(0, 0.05))
                self.assertIn(status, (0, -signal.SIGTERM), err)
                self.assertEqual(os.listdir(f"{tmp}/out"), ["halvane.prom"])
                with open(f"{tmp}/{TARGET}") as f:
                    text = f.read()
                self.assertIn(text, [HOSTS["b"][1]] if status == 0 else [HOSTS["a"][1], HOSTS["b"][1]])
                write(f"{tmp}/{TARGET}", HOSTS["a"][1], 0o644)


# Runs SCRIPT once per host while a thread reads the file over and over; returns the reads that
# were not one whole file.
def run_many(test, script, hosts):
    with tempfile.TemporaryDirectory() as tmp:
        prepare(tmp, hosts[0])
        whole = {text for _, text in HOSTS.values()}
        faults, reads, done = [], [0], threading.Event()

        def read():
            while not done.is_set():
                try:
                    with open(f"{tmp}/{TARGET}") as f:
                        text = f.read()
                except FileNotFoundError:
                    text = ""
                reads[0] += 1
                if text not in whole:
                    faults.append(f"read {reads[0]}: {text[:12]!r}, {len(text)} bytes")
                time.sleep(0.0002)  # thousands of reads a second, yet a core left for the runs

        reader = threading.Thread(target=read)
        reader.start()
        try:
            for host in hosts:
                status, _, err = run_script(tmp, script, host)
                if script == SCRIPT:
                    test.assertEqual(status, 0, err)
        finally:
            done.set()
            reader.join()
        if script == SCRIPT:
            test.assertGreater(reads[0], 200, "the reader hardly read: it proves nothing")
            test.assertEqual(os.listdir(f"{tmp}/out"), ["halvane.prom"])
        return faults


# What the wrapper replaced: a plain redirection, which readers see half written.
NAIVE = '#!/bin/sh\nexec "$HALVANE_BINARY" --metrics -l --check >"$HALVANE_METRICS_FILE"\n'


class ManyRuns(unittest.TestCase):
    def test_readers_see_whole_files_only(self):
        self.assertEqual(run_many(self, SCRIPT, ["a", "b"] * 8), [])

    def test_the_reader_catches_a_plain_redirection(self):
        # Else the test above could pass whatever the script did.
        with tempfile.TemporaryDirectory() as tmp:
            write(f"{tmp}/naive", NAIVE, 0o755)
            self.assertNotEqual(run_many(self, f"{tmp}/naive", ["a", "b"] * 8), [])


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: metrics_write_test.py SCRIPT BINARY SOURCE_DIR")
    SCRIPT, BINARY, SOURCE = (os.path.abspath(a) for a in sys.argv[1:])
    with tempfile.TemporaryDirectory() as hosts:
        make_hosts(hosts)
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
