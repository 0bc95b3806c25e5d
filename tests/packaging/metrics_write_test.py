#!/usr/bin/env python3
"""The metrics script writes its file in one step, and a run that fails changes nothing.

    metrics_write_test.py SCRIPT

SCRIPT is the build's halvane-metrics. A stub stands in for halvane (HALVANE_BINARY): it prints a
long listing slowly, a line at a time, and fails, is killed or hangs halfway when told to. A reader
polls the metrics file while the script runs again and again, and every read must be one whole
listing of one run, never older than the last read; afterwards no temporary file is left.
"""

import os
import random
import re
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPT = ""

# Prints "# run R begins", LINES numbered lines and "# run R ends", pausing now and then so that a
# reader can catch the file half written; at the middle line MODE may end it. A write that fails
# ends it with status 1, as halvane does.
STUB = r"""#!/bin/sh
[ "$*" = "--metrics -l" ] || { echo "stub: called with: $*" >&2; exit 99; }
echo $$ >"$STUB_PID_FILE"
printf '# run %s begins\n' "$STUB_RUN" || exit 1
i=1
while [ $i -le "$STUB_LINES" ]; do
  printf 'halvane_stub_line{run="%s",n="%d"} %d\n' "$STUB_RUN" $i $i || exit 1
  [ $((i % 40)) -ne 0 ] || sleep 0.005
  if [ $i -eq $((STUB_LINES / 2)) ]; then
    case $STUB_MODE in
      fail) echo "stub: failing" >&2; exit 3 ;;
      kill) kill -KILL $$ ;;
      hang) sleep 30 ;;
    esac
  fi
  i=$((i + 1))
done
printf '# run %s ends\n' "$STUB_RUN" || exit 1
"""

# What the script replaces: a plain redirection, which readers see half written.
NAIVE = """#!/bin/sh
exec "$HALVANE_BINARY" --metrics -l >"$HALVANE_METRICS_FILE"
"""

LINES = 400
LINE = re.compile(r'halvane_stub_line\{run="(\d+)",n="(\d+)"\} (\d+)')


def listing(run):
    """The complete output of the stub's run RUN."""
    body = "".join(f'halvane_stub_line{{run="{run}",n="{i}"}} {i}\n' for i in range(1, LINES + 1))
    return f"# run {run} begins\n{body}# run {run} ends\n"


def whole_run(text):
    """The run whose complete output TEXT is, or None when it is anything else."""
    m = re.fullmatch(r"# run (\d+) begins\n", text[: text.find("\n") + 1])
    if not m:
        return None
    run = int(m.group(1))
    return run if text == listing(run) else None


def write_file(path, text, mode=0o755):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


class Folder:
    """A folder with the stub, and a metrics folder of its own."""

    def __init__(self, tmp):
        self.stub = os.path.join(tmp, "halvane")
        self.pid_file = os.path.join(tmp, "stub.pid")
        self.out = os.path.join(tmp, "out")
        self.target = os.path.join(self.out, "halvane.prom")
        write_file(self.stub, STUB)
        os.mkdir(self.out)

    def env(self, run, mode="ok", **extra):
        env = dict(os.environ, HALVANE_BINARY=self.stub, HALVANE_METRICS_FILE=self.target,
                   STUB_RUN=str(run), STUB_LINES=str(LINES), STUB_MODE=mode,
                   STUB_PID_FILE=self.pid_file)
        env.update(extra)
        return env

    def start(self, script, run, mode="ok", preexec=None, **extra):
        return subprocess.Popen([script], env=self.env(run, mode, **extra), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, preexec_fn=preexec)

    def temporary_files(self):
        return [n for n in os.listdir(self.out) if n != "halvane.prom"]

    def wait_for_half(self, proc):
        """Waits until the stub has written part of its listing into a temporary file, whose
        name the exporter must skip: it reads *.prom."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None:
            for name in self.temporary_files():
                assert not name.endswith(".prom"), f"temporary file {name} ends in .prom"
                try:
                    if os.path.getsize(os.path.join(self.out, name)) > 0:
                        return
                except FileNotFoundError:
                    pass
            time.sleep(0.001)
        raise AssertionError("the stub wrote nothing into a temporary file")


def process_ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


def fill_up():
    """In the child: writes beyond 8 KiB, half a listing, fail (EFBIG) as on a full disk."""
    import resource
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


class OneRun(unittest.TestCase):
    # name, a good file before?, stub mode, extra settings, what the file is afterwards
    CASES = [
        ("a whole run replaces the file", True, "ok", {}, "new"),
        ("a whole run writes the first file", False, "ok", {}, "new"),
        ("halvane fails halfway", True, "fail", {}, "old"),
        ("halvane fails halfway, no file before", False, "fail", {}, "none"),
        ("halvane is killed halfway", True, "kill", {}, "old"),
        ("halvane is not there", True, "ok", {"HALVANE_BINARY": "/nonexistent/halvane"}, "old"),
        ("the disk fills up", True, "ok", {"fill_up": True}, "old"),
        ("the run is stopped (SIGTERM)", True, "hang", {"stop": True}, "old"),
    ]

    def test_cases(self):
        for name, before, mode, extra, after in self.CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                d = Folder(tmp)
                extra = dict(extra)
                stop = extra.pop("stop", False)
                preexec = fill_up if extra.pop("fill_up", False) else None
                if before:
                    write_file(d.target, listing(1), 0o644)
                proc = d.start(SCRIPT, 2, mode, preexec, **extra)
                if stop:
                    d.wait_for_half(proc)
                    proc.send_signal(signal.SIGTERM)
                _, err = proc.communicate(timeout=20)
                if after == "new":
                    self.assertEqual(proc.returncode, 0, err)
                    self.assertEqual(err, "")
                elif stop:
                    # It ends by the signal it was sent, and ends halvane too.
                    self.assertEqual(proc.returncode, -signal.SIGTERM, err)
                    with open(d.pid_file) as f:
                        pid = int(f.read())
                    deadline = time.monotonic() + 5
                    while not process_ended(pid) and time.monotonic() < deadline:
                        time.sleep(0.01)
                    self.assertTrue(process_ended(pid), "halvane still runs")
                else:
                    self.assertEqual(proc.returncode, 1, err)
                    self.assertRegex(err, r"(?m)^halvane-metrics: .* is left as it was$")
                self.assertEqual(d.temporary_files(), [])
                if after == "none":
                    self.assertFalse(os.path.exists(d.target))
                    continue
                with open(d.target) as f:
                    self.assertEqual(f.read(), listing(2 if after == "new" else 1))
                if after == "new":
                    self.assertEqual(stat.S_IMODE(os.stat(d.target).st_mode), 0o644)

    def test_places_it_will_not_write(self):
        with tempfile.TemporaryDirectory() as tmp:
            d = Folder(tmp)
            for name, target in [("a folder that does not exist", "missing/halvane.prom"),
                                 ("a folder where the file should be", "out"),
                                 ("a name ending in /", "out/")]:
                with self.subTest(name):
                    proc = d.start(SCRIPT, 2, HALVANE_METRICS_FILE=os.path.join(tmp, target))
                    _, err = proc.communicate(timeout=20)
                    self.assertEqual(proc.returncode, 1)
                    self.assertRegex(err, r"(?m)^halvane-metrics: ")
                    self.assertEqual(sorted(os.listdir(tmp)), ["halvane", "out"])
                    self.assertEqual(os.listdir(d.out), [])


class Reader(threading.Thread):
    """Reads the metrics file as fast as it can until told to stop, and judges every read."""

    def __init__(self, path):
        super().__init__()
        self.path = path
        self.done = threading.Event()
        self.reads = 0
        self.runs_seen = []
        self.faults = []

    def run(self):
        last = 0
        while not self.done.is_set():
            try:
                with open(self.path) as f:
                    text = f.read()
            except FileNotFoundError:
                if last:
                    self.faults.append("the file was missing after a run had written it")
                continue
            finally:
                # Some thousands of reads a second, without taking a core from the runs.
                time.sleep(0.0002)
            self.reads += 1
            run = whole_run(text)
            if run is None:
                lines = text.splitlines()
                self.faults.append(f"read {self.reads}: not one whole listing ({len(lines)} lines, "
                                   f"ending {lines[-1] if lines else 'nowhere'!r})")
            elif run < last:
                self.faults.append(f"read {self.reads}: run {run} after run {last}")
            else:
                if run != last:
                    self.runs_seen.append(run)
                last = run


def run_many(test, script, modes):
    """Runs SCRIPT once per mode under a reader; returns the reader and the runs that exited 0."""
    with tempfile.TemporaryDirectory() as tmp:
        d = Folder(tmp)
        reader = Reader(d.target)
        reader.start()
        good = []
        try:
            for run, mode in enumerate(modes, start=1):
                stub_mode = "hang" if mode == "stop" else mode
                proc = d.start(script, run, stub_mode)
                if mode == "stop":
                    d.wait_for_half(proc)
                    proc.send_signal(signal.SIGTERM)
                _, err = proc.communicate(timeout=20)
                if proc.returncode == 0:
                    good.append(run)
                test.assertEqual(proc.returncode == 0, mode == "ok", f"run {run} ({mode}): {err}")
        finally:
            reader.done.set()
            reader.join()
        if script == SCRIPT:
            test.assertEqual(d.temporary_files(), [])
            with open(d.target) as f:
                test.assertEqual(whole_run(f.read()), good[-1])
        return reader, good


class ManyRuns(unittest.TestCase):
    def test_readers_see_whole_files_only(self):
        rng = random.Random(28)
        modes = ["ok"] * 14 + ["fail"] * 6 + ["kill"] * 5 + ["stop"] * 5
        rng.shuffle(modes)
        modes.append("ok")
        reader, good = run_many(self, SCRIPT, modes)
        self.assertEqual(reader.faults, [])
        self.assertGreater(reader.reads, 200, "the reader hardly read: the test proves nothing")
        # Each good run was read at least by chance; none but the good runs ever was.
        self.assertLessEqual(set(reader.runs_seen), set(good))

    def test_the_reader_catches_a_plain_redirection(self):
        # The same reader, over a script that writes the file in place: it must see torn files,
        # or the test above could pass whatever the script did.
        with tempfile.TemporaryDirectory() as tmp:
            naive = os.path.join(tmp, "naive")
            write_file(naive, NAIVE)
            reader, _ = run_many(self, naive, ["ok"] * 6)
        self.assertNotEqual(reader.faults, [])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: metrics_write_test.py SCRIPT")
    SCRIPT = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
