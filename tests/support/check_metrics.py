#!/usr/bin/env python3
"""Reads metrics files as their consumers do: each one alone in the folder of the text file
collector of a node exporter started here (on a loopback port, that collector only), scraped once,
and through promtool. Prints each fault the exporter logs or reports (a file it could not read, a
series given twice) and each promtool says; exit status 77 when either tool is missing."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

exporter = shutil.which("prometheus-node-exporter")
promtool = shutil.which("promtool")
if not exporter or not promtool:
    print("prometheus-node-exporter or promtool is not installed")
    sys.exit(77)

folder = tempfile.mkdtemp()
log_path = os.path.join(folder, "exporter.log")
textfiles = os.path.join(folder, "textfiles")
os.mkdir(textfiles)
with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
log = open(log_path, "wb")
exporter_run = subprocess.Popen(
    [exporter, "--web.listen-address=127.0.0.1:%d" % port, "--collector.disable-defaults",
     "--collector.textfile", "--collector.textfile.directory=" + textfiles],
    stdout=log, stderr=log)


def scrape():
    for _ in range(200):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as answer:
                return answer.read().decode()
        except OSError:
            if exporter_run.poll() is not None:
                sys.exit("the node exporter ended: " + open(log_path).read())
            time.sleep(0.05)
    sys.exit("the node exporter did not answer")


faults = []
try:
    with open(log_path) as logged:
        for path in sys.argv[1:]:
            shutil.copy(path, os.path.join(textfiles, "halvane.prom"))
            text = scrape()
            if "node_textfile_scrape_error 0" not in text.splitlines():
                faults.append("%s: the text file collector could not read it" % path)
            faults += ["%s: %s" % (path, line.strip()) for line in logged if "level=error" in line]
            with open(path) as metrics:
                check = subprocess.run([promtool, "check", "metrics"], stdin=metrics,
                                       capture_output=True, text=True)
            if check.returncode != 0 or check.stdout or check.stderr:
                faults.append("%s: promtool: %s%s" % (path, check.stdout, check.stderr))
finally:
    exporter_run.terminate()
    exporter_run.wait()
    shutil.rmtree(folder)
for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
