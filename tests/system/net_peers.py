"""The peers of Corvane's network server in the system tests and the bench:
Debian's stock clients (upsc, upsmon, PyNUT), run as black boxes, and plain
sockets; and what a test reads from Linux about Corvane's own sockets."""
import os
import re
import signal
import socket
import subprocess
import time

from conftest import SETTINGS_KEY
from measure_monitor import corvane_pid, process_in_prefix

PASSWORD = "pass word\\\""     # a space, a backslash and a quote: quoting and escapes both


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def turn_server_on(session, port, password=PASSWORD, **values):
    """The registry values of a server on 127.0.0.1:port (values override)."""
    settings = dict(NetworkServer=("REG_DWORD", 1), NetworkPort=("REG_DWORD", port),
                    NetworkPassword=("REG_SZ", password))
    settings.update(values)
    for name, (kind, data) in settings.items():
        session.reg_add(SETTINGS_KEY, name, kind, data)


def upsc(port, *words, host="127.0.0.1"):
    """(exit code, output) of `upsc ups@HOST:PORT [VAR]`; its error text too."""
    target = "ups@%s:%d" % ("[%s]" % host if ":" in host else host, port)
    done = subprocess.run(["upsc", target] + list(words), capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL)
    lines = [line for line in (done.stdout + done.stderr).splitlines() if not line.startswith("Init SSL")]
    return done.returncode, "\n".join(lines)


def upsc_variables(port):
    code, out = upsc(port)
    assert code == 0, out
    return dict(line.split(": ", 1) for line in out.splitlines())


class Upsmon:
    """/lib/nut/upsmon in the foreground as a secondary of ups@127.0.0.1:port,
    polling every `poll` seconds; its shutdown command touches `marker`. Its
    output goes to a file, and stop() ends the process group it was started
    in."""

    def __init__(self, folder, port, password, user="monuser", poll=1):
        self.folder = folder
        self.marker = os.path.join(folder, "shutdown-ran")
        conf = os.path.join(folder, "upsmon.conf")
        with open(conf, "w") as out:
            out.write('MONITOR ups@127.0.0.1:%d 1 %s "%s" secondary\n' % (
                port, user, password.replace("\\", "\\\\").replace('"', '\\"')))
            out.write("MINSUPPLIES 1\nPOLLFREQ %d\nPOLLFREQALERT %d\nFINALDELAY 0\nDEADTIME %d\n" % (
                poll, poll, max(15, 3 * poll)))
            out.write('SHUTDOWNCMD "/bin/touch %s"\n' % self.marker)
            out.write("POWERDOWNFLAG %s\n" % os.path.join(folder, "powerdown"))
        os.chmod(conf, 0o600)
        with open(os.path.join(folder, "nut.conf"), "w") as out:
            out.write("MODE=netclient\n")
        os.makedirs("/run/nut", exist_ok=True)
        self.output = open(os.path.join(folder, "upsmon.out"), "w")
        env = dict(os.environ, NUT_CONFPATH=folder, NUT_STATEPATH=folder)
        self.process = subprocess.Popen(["/lib/nut/upsmon", "-D", "-p"], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT, start_new_session=True)

    def shut_down(self):
        return os.path.exists(self.marker)

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.output.close()


class Line:
    """One raw connection speaking the protocol a line at a time, from the
    address `source` (any of 127/8 is this host's loopback)."""

    def __init__(self, port, host="127.0.0.1", source="127.0.0.1"):
        self.socket = socket.create_connection((host, port), timeout=10, source_address=(source, 0))
        self.reader = self.socket.makefile("rb")

    def ask(self, line):
        self.socket.sendall(line.encode() + b"\n")
        return self.reader.readline().decode()

    def close(self):
        self.reader.close()
        self.socket.close()


def closed_by_peer(sock, timeout=5.0):
    """Whether the other end has closed (end of stream or a reset) within timeout."""
    sock.settimeout(timeout)
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def _socket_inodes(prefix):
    """Wine 8 keeps a program's sockets in the prefix's wineserver, and hands
    the program their descriptors only for a call: both are looked at."""
    inodes = set()
    for pid in (corvane_pid(prefix), process_in_prefix(prefix, b"wineserver", b"wineserver64")):
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            match = re.match(r"socket:\[(\d+)\]", target)
            if match:
                inodes.add(match.group(1))
    return inodes


def listening_ports(prefix):
    """The TCP ports Corvane listens on, in a prefix where only it uses sockets."""
    inodes = _socket_inodes(prefix)
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as source:
            for row in source.readlines()[1:]:
                fields = row.split()
                if fields[3] == "0A" and fields[9] in inodes:
                    ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def open_connections(prefix):
    """How many TCP connections Corvane has established."""
    inodes = _socket_inodes(prefix)
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as source:
            count += sum(1 for row in source.readlines()[1:] if row.split()[3] == "01" and row.split()[9] in inodes)
    return count


def loads_ws2_32(prefix):
    with open("/proc/%d/maps" % corvane_pid(prefix)) as source:
        return "ws2_32" in source.read().lower()


def wait_until(predicate, timeout, what, poll=0.1):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for %s" % what)
        time.sleep(poll)
