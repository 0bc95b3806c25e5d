#!/usr/bin/env python3
"""metrics_write_test.py SCRIPT: the build's halvane-metrics writes its file in one step, and a
run that fails or is stopped changes nothing."""

import os
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPT = ""
TARGET = "out/halvane.prom"

# Stands in for halvane: prints a long listing with pauses, so that a reader can catch a file half
# written, and fails, is killed or stops the script halfway when told to (after giving the script
# ample time to be waiting for it). Once stopped, it hangs with the script's standard error open:
# unless the script ends it, reading that to its end times out. The exporter reads every *.prom
# file, so the output must go to a file of another name. The check prints its verdict, WARNING,
# and exits with its status, or ends as a check that could not write its last line does.
STUB = r"""#!/bin/sh
if [ "$*" = "--metrics --check" ]; then
  [ "$STUB_MODE" != cut ] || { printf 'halvane_check_status 1'; exit 3; }
  echo "halvane_check_status 1"
  exit 1
fi
[ "$*" = "--metrics -l" ] || exit 99
for f in out/.*.prom out/*.prom; do [ "$f" = out/halvane.prom ] || [ ! -e "$f" ] || exit 98; done
echo "# run $STUB_RUN" || exit 1
i=1
while [ $i -le 400 ]; do
  echo "halvane_stub{run=\"$STUB_RUN\",n=\"$i\"} $i" || exit 1
  [ $((i % 40)) -ne 0 ] || sleep 0.005
  if [ $i -eq 200 ]; then
    case $STUB_MODE in
      fail) exit 3 ;;
      kill) kill -KILL $$ ;;
      stop) sleep 0.2; kill -TERM $PPID; exec sleep 60 ;;
    esac
  fi
  i=$((i + 1))
done
echo "# end" || exit 1
"""

# What the script replaces: a plain redirection, which readers see half written.
NAIVE = '#!/bin/sh\nexec "$HALVANE_BINARY" --metrics -l >"$HALVANE_METRICS_FILE"\n'


def listing(run):
    body = "".join(f'halvane_stub{{run="{run}",n="{i}"}} {i}\n' for i in range(1, 401))
    return f"# run {run}\n{body}# end\nhalvane_check_status 1\n"


def write(path, text, mode):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def prepare(tmp, run):  # the run whose listing is the last good file
    write(f"{tmp}/halvane", STUB, 0o755)
    os.mkdir(f"{tmp}/out")
    write(f"{tmp}/{TARGET}", listing(run), 0o644)


def run_script(tmp, script, run, mode="ok", preexec=None, env=()):
    env = dict(os.environ, HALVANE_BINARY="./halvane", HALVANE_METRICS_FILE=TARGET,
               STUB_RUN=str(run), STUB_MODE=mode) | dict(env)
    proc = subprocess.Popen([script], cwd=tmp, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec)
    err = proc.communicate(timeout=20)[1]
    return proc.returncode, err


def full_disk():  # in the child: writes beyond 8 KiB, half a listing, fail as on a full disk
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


class OneRun(unittest.TestCase):
    CASES = [  # name, stub mode, preexec, environment, exit status
        ("halvane succeeds", "ok", None, {}, 0),
        ("halvane fails halfway", "fail", None, {}, 1),
        ("the check's verdict is cut short", "cut", None, {}, 1),
        ("halvane is killed halfway", "kill", None, {}, 1),
        ("halvane is missing", "ok", None, {"HALVANE_BINARY": "./missing"}, 1),
        ("the disk fills up", "ok", full_disk, {}, 1),
        ("the run is stopped", "stop", None, {}, -signal.SIGTERM),
        ("the target is a folder", "ok", None, {"HALVANE_METRICS_FILE": "out"}, 1),
    ]

    def test_cases(self):
        for name, mode, preexec, env, status in self.CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                prepare(tmp, 1)
                got, err = run_script(tmp, SCRIPT, 2, mode, preexec, env)
                self.assertEqual(got, status, err)
                if status == 1:
                    self.assertRegex(err, r"(?m)^halvane-metrics: ")
                self.assertEqual(os.listdir(f"{tmp}/out"), ["halvane.prom"])
                with open(f"{tmp}/{TARGET}") as f:
                    self.assertEqual(f.read(), listing(2 if status == 0 else 1))
                if status == 0:
                    self.assertEqual(stat.S_IMODE(os.stat(f"{tmp}/{TARGET}").st_mode), 0o644)


# Runs SCRIPT once per mode while a thread reads the file over and over; returns the reads that
# were not one whole listing, or were older than the read before.
def run_many(test, script, modes):
    with tempfile.TemporaryDirectory() as tmp:
        prepare(tmp, 0)
        whole = {listing(run): run for run in range(len(modes) + 1)}
        faults, reads, done = [], [0], threading.Event()

        def read():
            while not done.is_set():
                try:
                    with open(f"{tmp}/{TARGET}") as f:
                        text = f.read()
                except FileNotFoundError:
                    text = ""
                reads.append(whole.get(text, -1))
                if reads[-1] < max(reads[-2:]):
                    faults.append(f"read {len(reads)}: {text[:12]!r}, {len(text)} bytes")
                time.sleep(0.0002)  # thousands of reads a second, yet a core left for the runs

        reader = threading.Thread(target=read)
        reader.start()
        try:
            for run, mode in enumerate(modes, start=1):
                status, err = run_script(tmp, script, run, mode)
                test.assertEqual(status == 0, mode == "ok", f"run {run} ({mode}): {err}")
        finally:
            done.set()
            reader.join()
        if script == SCRIPT:
            test.assertGreater(len(reads), 200, "the reader hardly read: it proves nothing")
            test.assertEqual(os.listdir(f"{tmp}/out"), ["halvane.prom"])
        return faults


class ManyRuns(unittest.TestCase):
    def test_readers_see_whole_files_only(self):
        self.assertEqual(run_many(self, SCRIPT, ["ok", "fail", "ok", "kill", "ok", "stop"] * 4), [])

    def test_the_reader_catches_a_plain_redirection(self):
        # Else the test above could pass whatever the script did.
        with tempfile.TemporaryDirectory() as tmp:
            write(f"{tmp}/naive", NAIVE, 0o755)
            self.assertNotEqual(run_many(self, f"{tmp}/naive", ["ok"] * 6), [])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: metrics_write_test.py SCRIPT")
    SCRIPT = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
