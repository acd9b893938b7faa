"""The network server under load, for `make bench` (tools/bench.py): clients
that each ask GET VAR ups ups.status at a fixed rate on their own
connection, timed from the request's due moment to its answer (so that a
slow server is not let off by the clients waiting for it); and Debian's
reference server (nut-server's upsd with its dummy-ups driver), run as a
black box, serving the same values for the same load."""
import contextlib
import os
import re
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

REQUEST = b"GET VAR ups ups.status\n"


def _client(port, rate, seconds, start, latencies, errors):
    try:
        connection = socket.create_connection(("127.0.0.1", port), timeout=10)
        reader = connection.makefile("rb")
    except OSError:
        errors.append("connect")
        return
    period = 1.0 / rate
    for k in range(int(rate * seconds)):
        due = start + k * period
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        try:
            connection.sendall(REQUEST)
            answer = reader.readline()
        except OSError:
            errors.append("broken")
            return
        if not answer.startswith(b"VAR ups ups.status "):
            errors.append(answer[:40].decode(errors="replace"))
            continue
        latencies.append(time.monotonic() - due)
    connection.close()


def load(port, clients=32, rate=10, seconds=30):
    """Answers a second, and the median and 99th-percentile answer times."""
    latencies, errors = [], []
    start = time.monotonic() + 0.5
    threads = [threading.Thread(target=_client, args=(port, rate, seconds, start, latencies, errors))
               for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - start
    ordered = sorted(latencies)
    figures = {"clients": clients, "rate_per_client": rate, "seconds": round(elapsed, 1),
               "answers": len(latencies), "answers_per_s": round(len(latencies) / elapsed, 1),
               "errors": len(errors)}
    if ordered:
        figures["median_ms"] = round(1000 * statistics.median(ordered), 3)
        figures["p99_ms"] = round(1000 * ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))], 3)
    return figures


def rss_kib(pid):
    """Resident and private (anonymous and file-backed, not shared) memory."""
    fields = {}
    with open("/proc/%d/smaps_rollup" % pid) as source:
        for line in source:
            match = re.match(r"(\w+):\s+(\d+) kB", line)
            if match:
                fields[match.group(1)] = int(match.group(2))
    return {"rss_kib": fields["Rss"], "private_kib": fields["Private_Clean"] + fields["Private_Dirty"]}


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as source:
        fields = source.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def reference_server(values, port):
    """upsd and dummy-ups on 127.0.0.1:port, serving `values` (name -> text)
    as the UPS "ups"; yields their Unix process ids, and ends both."""
    folder = tempfile.mkdtemp(prefix="corvane-upsd-")
    with open(os.path.join(folder, "ups.dev"), "w") as out:
        for name, value in values.items():
            out.write("%s: %s\n" % (name, value))
    with open(os.path.join(folder, "ups.conf"), "w") as out:
        out.write('[ups]\n  driver = dummy-ups\n  port = %s\n  desc = "reference"\n' % os.path.join(folder, "ups.dev"))
    with open(os.path.join(folder, "upsd.conf"), "w") as out:
        out.write("LISTEN 127.0.0.1 %d\nSTATEPATH %s\n" % (port, folder))
    with open(os.path.join(folder, "upsd.users"), "w") as out:
        out.write("[monuser]\n  password = bench\n  upsmon secondary\n")
    with open(os.path.join(folder, "nut.conf"), "w") as out:
        out.write("MODE=netserver\n")
    for name in ("ups.conf", "upsd.conf", "upsd.users"):
        os.chmod(os.path.join(folder, name), 0o600)
    env = dict(os.environ, NUT_CONFPATH=folder, NUT_STATEPATH=folder)
    log = open(os.path.join(folder, "server.out"), "w")
    upsd = "/lib/nut/upsd" if os.path.exists("/lib/nut/upsd") else "/usr/sbin/upsd"
    processes = []
    try:
        for argv in (["/lib/nut/dummy-ups", "-a", "ups", "-u", "root", "-F"], [upsd, "-u", "root", "-F"]):
            processes.append(subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                              stderr=subprocess.STDOUT, start_new_session=True))
            time.sleep(1)
        deadline = time.monotonic() + 20
        while subprocess.run(["upsc", "ups@127.0.0.1:%d" % port, "ups.status"], capture_output=True,
                             stdin=subprocess.DEVNULL).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("the reference server did not start: see %s" % log.name)
            time.sleep(0.2)
        yield [p.pid for p in processes]
    finally:
        for process in processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        log.close()
        subprocess.run(["rm", "-rf", folder])
