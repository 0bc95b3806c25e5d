#!/usr/bin/env python3
# check_metrics.py FILE...: reads metrics files as their consumers do: each one alone in the folder
# of the text file collector of a node exporter started here (on a loopback port, that collector
# only), scraped once, and through promtool. Prints each fault the exporter logs or reports (a file
# it could not read, a series given twice) and each promtool says; exit status 77 when either tool
# is missing.
import shutil, socket, subprocess, sys, tempfile, time, urllib.request

exporter, promtool = shutil.which("prometheus-node-exporter"), shutil.which("promtool")
if not exporter or not promtool:
    print("prometheus-node-exporter or promtool is not installed")
    sys.exit(77)
with socket.socket() as probe:
    probe.bind(("127.0.0.1", 0))
    address = "127.0.0.1:%d" % probe.getsockname()[1]
# The collector reads the *.prom files of its folder only: the exporter's log can be there too.
folder = tempfile.TemporaryDirectory()
log_path = folder.name + "/exporter.log"
exporter_run = subprocess.Popen(
    [exporter, "--web.listen-address=" + address, "--collector.disable-defaults",
     "--collector.textfile", "--collector.textfile.directory=" + folder.name],
    stdout=open(log_path, "wb"), stderr=subprocess.STDOUT)


def scrape():
    for _ in range(200):
        try:
            with urllib.request.urlopen(f"http://{address}/metrics", timeout=10) as answer:
                return answer.read().decode()
        except OSError:
            time.sleep(0.05)
    sys.exit("the node exporter did not answer: " + open(log_path).read())


faults = []
try:
    with open(log_path) as logged:
        for path in sys.argv[1:]:
            shutil.copy(path, folder.name + "/halvane.prom")
            if "node_textfile_scrape_error 0" not in scrape().splitlines():
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
    folder.cleanup()
print("".join(fault + "\n" for fault in faults), end="")
sys.exit(1 if faults else 0)
