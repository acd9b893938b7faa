"""The network server under load, for `make bench` (tools/bench.py): clients
that each ask GET VAR ups ups.status at a fixed rate on their own
connection, timed from the request's due moment to its answer (so that a
slow server is not let off by the clients waiting for it); and Debian's
reference server (nut-server's upsd with its dummy-ups driver), run as a
black box, serving the same values for the same load."""
import contextlib
import os
import re
import selectors
import signal
import socket
import statistics
import subprocess
import tempfile
import time

REQUEST = b"GET VAR ups ups.status\n"
ANSWER = b"VAR ups ups.status "


class _Client:
    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.socket.setblocking(False)
        self.due = None         # when the next request is due
        self.asked = None       # the due moment of the request awaiting its answer
        self.received = b""


def load(port, clients=32, rate=10, seconds=30, phased=True):
    """Answers a second, and the median and 99th-percentile answer times.

    One thread drives every client, so that the load's own scheduling is
    the same for any server. A request is timed from the moment it was due
    to its answer, and a client asks again only once answered: a slow
    server is not let off by the clients waiting for it. phased spreads the
    clients evenly over the period, as independent followers are; otherwise
    all ask at the same moment, a burst every period."""
    period = 1.0 / rate
    count = int(rate * seconds)
    pool = [_Client(port) for _ in range(clients)]
    # From once every client is connected: a server may be slow to accept.
    start = time.monotonic() + 0.1
    for i, client in enumerate(pool):
        client.due = start + (i * period / clients if phased else 0)
    asked = {c: 0 for c in pool}
    latencies, errors = [], 0
    selector = selectors.DefaultSelector()
    for client in pool:
        selector.register(client.socket, selectors.EVENT_READ, client)
    waiting = set(pool)         # clients whose next request is not yet sent
    busy = 0
    while waiting or busy:
        now = time.monotonic()
        for client in [c for c in waiting if c.due <= now]:
            waiting.discard(client)
            client.asked = client.due
            client.socket.send(REQUEST)
            busy += 1
        timeout = max(0.0, min(c.due for c in waiting) - time.monotonic()) if waiting else None
        for key, _ in selector.select(timeout):
            client = key.data
            data = client.socket.recv(4096)
            if not data:
                raise RuntimeError("the server closed a client's connection (%d of %d answered, client %d)" % (asked[client], count, pool.index(client)))
            client.received += data
            while b"\n" in client.received:
                answer, client.received = client.received.split(b"\n", 1)
                if answer.startswith(ANSWER):
                    latencies.append(time.monotonic() - client.asked)
                else:
                    errors += 1
                busy -= 1
                asked[client] += 1
                if asked[client] < count:
                    client.due += period
                    waiting.add(client)
    elapsed = time.monotonic() - start
    for client in pool:
        selector.unregister(client.socket)
        client.socket.close()
    ordered = sorted(latencies)
    figures = {"clients": clients, "rate_per_client": rate, "phased": phased, "seconds": round(elapsed, 1),
               "answers": len(latencies), "answers_per_s": round(len(latencies) / elapsed, 1), "errors": errors}
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
