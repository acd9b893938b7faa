"""The network server of the real Corvane.exe under Wine, against Debian's
stock clients of the UPS management protocol (upsc, upsmon, PyNUT) and
against hostile plain sockets, all on 127.0.0.1; and, in a network
namespace of its own, a server whose address comes after it started."""
import os
import random
import select
import socket
import subprocess
import sys
import time

import PyNUT
import pytest

from conftest import CMD_OPEN, CMD_SETTINGS, SETTINGS_KEY, Corvane, Wintool, standalone
from desktop import wait_until as wait_for
from monitor_helpers import ON_BATTERY, ON_MAINS, forced_pass, log_faults, pass_starts
from net_peers import (PASSWORD, Line, Upsmon, closed_by_peer, free_port, listening_ports, loads_ws2_32,
                       open_connections, turn_server_on, upsc, upsc_variables, wait_until)


def start_server(corvane, emu, session, port, **values):
    turn_server_on(session, port, **values)
    emu.add(0, "plain")
    corvane.start()
    corvane.wait_for_message("on line")
    corvane.wait_for_message("network server listening on")
    return session.emulator.prefix


def test_off_by_default_nothing_listens_and_ws2_32_is_never_loaded(corvane, emu, session):
    emu.add(0, "plain")
    corvane.start()
    corvane.wait_for_message("on line")
    prefix = session.emulator.prefix
    assert listening_ports(prefix) == set()
    assert not loads_ws2_32(prefix)
    assert not any("network" in m for m in corvane.messages())


def test_upsc_and_pynut_read_every_variable_as_it_follows_the_ups(corvane, emu, session):
    port = free_port()
    session.reg_add(SETTINGS_KEY, "UpsOffDelaySeconds", "REG_DWORD", 300)
    prefix = start_server(corvane, emu, session, port)
    assert listening_ports(prefix) == {port} and loads_ws2_32(prefix)
    assert "network server listening on 127.0.0.1:%d" % port in corvane.messages()

    emu.set(0, charge=87, runtime=2520, load=41, voltage=231)
    forced_pass(corvane, emu)
    expected = {
        "battery.charge": "87", "battery.charge.low": "20", "battery.runtime": "2520",
        "battery.runtime.low": "300", "device.mfr": "Quillfen Labs", "device.model": "Emulated UPS 1500",
        "device.type": "ups", "input.voltage": "231.0", "ups.load": "41", "ups.mfr": "Quillfen Labs",
        "ups.model": "Emulated UPS 1500", "ups.realpower": "615", "ups.realpower.nominal": "1500",
        "ups.status": "OL", "ups.delay.shutdown": "300",
    }
    assert upsc_variables(port) == expected

    client = PyNUT.PyNUTClient(port=port)
    assert client.GetUPSList() == {b"ups": b"Corvane"}
    assert {k.decode(): v.decode() for k, v in client.GetUPSVars("ups").items()} == expected

    # The power cut, then the charge below this computer's threshold.
    emu.set(0, charge=60, **ON_BATTERY)
    forced_pass(corvane, emu)
    assert upsc(port, "ups.status") == (0, "OB DISCHRG")
    emu.set(0, charge=19)
    forced_pass(corvane, emu)
    assert upsc(port, "ups.status") == (0, "OB DISCHRG LB FSD")
    emu.set(0, charge=90, **ON_MAINS)
    forced_pass(corvane, emu)
    assert upsc(port, "ups.status") == (0, "OL")

    emu.remove(0)
    forced_pass_without_device(corvane)
    code, out = upsc(port)
    assert code != 0 and out == "Error: Driver not connected", out

    # The stop ends a follower's session too, inside the stop's budget.
    follower = Line(port)
    for request in ("USERNAME monuser", 'PASSWORD "%s"' % PASSWORD.replace("\\", "\\\\").replace('"', '\\"'),
                    "LOGIN ups"):
        assert follower.ask(request) == "OK\n"
    assert corvane.stop() == 0
    assert closed_by_peer(follower.socket)
    assert corvane.messages()[-2:] == ["follower logged out: 127.0.0.1", "Corvane stopped"]


def test_a_stuck_monitor_makes_the_data_stale(corvane, emu, session):
    port = free_port()
    start_server(corvane, emu, session, port)
    forced_pass(corvane, emu)
    # Every request now takes 3 s: the next poll takes half a minute, and 15 s
    # after the last publication (three waits on line) the data is stale.
    emu.delay(0, 3000)
    wait_until(lambda: upsc(port, "ups.status") == (1, "Error: Data stale"), 30, "stale data")
    emu.delay(0, 0)
    wait_until(lambda: upsc(port, "ups.status") == (0, "OL"), 30, "fresh data")


def forced_pass_without_device(corvane):
    messages = len(corvane.messages())
    corvane.command(CMD_OPEN)
    corvane.wait_for(lambda ms: len(ms) > messages and "UPS not found" in ms[messages:])


def test_upsmon_secondary_shuts_down_on_fsd_and_not_before(corvane, emu, session, tmp_path):
    port = free_port()
    start_server(corvane, emu, session, port)
    # Every slot held by a client that has spoken once: the one silent the
    # longest makes room for the follower; then 32 more clients cannot take
    # the slot of a follower logged in.
    clients = [Line(port) for _ in range(32)]
    for client in clients:
        assert client.ask("VER") == "Corvane 1.1.0.0\n"
    upsmon = Upsmon(str(tmp_path), port, PASSWORD)
    try:
        corvane.wait_for_message("follower logged in: 127.0.0.1", timeout=20)
        assert closed_by_peer(clients[0].socket, timeout=1)
        clients += [Line(port) for _ in range(32)]
        # On line, then on battery above both thresholds: the follower waits.
        time.sleep(3)
        emu.set(0, charge=50, runtime=1800, **ON_BATTERY)
        forced_pass(corvane, emu)
        time.sleep(4)
        assert not upsmon.shut_down()
        assert not any(m.startswith("follower logged out") for m in corvane.messages())
        # Below ChargeThresholdPercent: this computer arms, the follower
        # reads FSD and shuts down.
        emu.set(0, charge=15)
        forced_pass(corvane, emu)
        wait_until(upsmon.shut_down, 10, "upsmon's shutdown command")
        assert "SHUTDOWN ARMED - charge fell below threshold; grace 30s" in corvane.messages()
        assert PASSWORD.encode() not in corvane.log_bytes()
        # It logs out once it has seen FSD: it is going down, and the mains'
        # return will not start it again, the UPS never cut its output.
        corvane.wait_for_message("follower logged out: 127.0.0.1")
        emu.set(0, **ON_MAINS)
        corvane.wait_for_message("mains restored - followers shut down during this outage: 1")
        wait_until(lambda: any(text.endswith("; followers shut down during this outage: 1")
                               for _, _, text in session.tooltips()), 6, "the mains-back balloon")
    finally:
        upsmon.stop()
        for client in clients:
            client.close()
    assert corvane.stop() == 0


def test_upsmon_with_a_wrong_password_is_refused_and_logged(corvane, emu, session, tmp_path):
    port = free_port()
    start_server(corvane, emu, session, port)
    upsmon = Upsmon(str(tmp_path), port, "wrong")
    try:
        corvane.wait_for_message("ERROR - network login refused: 127.0.0.1", timeout=20)
    finally:
        upsmon.stop()
    assert not any(m.startswith("follower") for m in corvane.messages())
    assert b"wrong" not in corvane.log_bytes()


@pytest.mark.parametrize("address, listening, reachable", [
    ("::", "[::]", ["127.0.0.1", "::1"]),
    ("::1", "[::1]", ["::1"]),
    ("localhost", None, []),
    ("127.0.0.1:80", None, []),
])
def test_the_listening_address(corvane, emu, session, address, listening, reachable):
    port = free_port()
    turn_server_on(session, port, NetworkAddress=("REG_SZ", address))
    emu.add(0, "plain")
    corvane.start()
    corvane.wait_for_message("on line")
    if listening:
        corvane.wait_for_message("network server listening on %s:%d" % (listening, port))
    else:
        corvane.wait_for_message("ERROR - network server off: NetworkAddress is malformed")
        assert listening_ports(session.emulator.prefix) == set()
    for host in reachable:
        assert upsc(port, "ups.status", host=host) == (0, "OL")


def test_a_port_in_use_is_one_error_line(corvane, emu, session):
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        turn_server_on(session, port)
        emu.add(0, "plain")
        corvane.start()
        corvane.wait_for_message("ERROR - network server could not listen on 127.0.0.1:%d, code " % port)
        corvane.wait_for_message("on line")
    assert [m for m in corvane.messages() if "network" in m] == [
        "ERROR - network server could not listen on 127.0.0.1:%d, code 10048" % port]


def change_in_settings_window(corvane, session, *changes, button=1):
    """Opens the settings window (or brings it forward), makes the changes
    ((verb, control id, value), ...) and presses OK, or `button`; returns
    the time just before the press."""
    corvane.command(CMD_SETTINGS)
    wait_for(session.settings_window, what="the settings window")
    for change in changes:
        session.settings_control(*change)
    pressed = time.monotonic()
    session.settings_control("click", button)
    return pressed


def within_two_seconds(since, predicate, what):
    wait_until(predicate, 2.0 - (time.monotonic() - since), what, poll=0.05)


def test_the_settings_window_starts_moves_and_stops_the_server_within_two_seconds(corvane, emu, session):
    emu.add(0, "plain")
    corvane.start()
    corvane.wait_for_message("on line")
    prefix = session.emulator.prefix
    first, second = free_port(), free_port()
    charge, server, port, password, apply = 101, 122, 105, 107, 131
    pressed = change_in_settings_window(corvane, session, ("click", server), ("set", port, first),
                                        ("set", password, PASSWORD), ("set", charge, "35"))
    within_two_seconds(pressed, lambda: upsc(first, "battery.charge.low") == (0, "35"), "the server on")
    follower = Line(first)
    for request in ("USERNAME monuser", 'PASSWORD "%s"' % PASSWORD.replace("\\", "\\\\").replace('"', '\\"'),
                    "LOGIN ups"):
        assert follower.ask(request) == "OK\n"

    # Another port, with Apply: the connections are closed, the old port
    # let go.
    pressed = change_in_settings_window(corvane, session, ("set", port, second), button=apply)
    within_two_seconds(pressed, lambda: upsc(second, "ups.status") == (0, "OL"), "the server on its new port")
    assert listening_ports(prefix) == {second}
    assert closed_by_peer(follower.socket)
    pressed = change_in_settings_window(corvane, session, ("click", server))
    within_two_seconds(pressed, lambda: listening_ports(prefix) == set(), "the server off")
    assert upsc(second, "ups.status")[0] != 0
    assert [m for m in corvane.messages() if "network server" in m or "follower" in m] == [
        "network server listening on 127.0.0.1:%d" % first, "follower logged in: 127.0.0.1",
        "follower logged out: 127.0.0.1", "network server listening on 127.0.0.1:%d" % second]
    assert PASSWORD.encode() not in corvane.log_bytes()


def test_hostile_clients_leave_it_serving_and_bounded(corvane, emu, session):
    port = free_port()
    prefix = start_server(corvane, emu, session, port)
    assert upsc(port, "ups.status") == (0, "OL")
    wintool = Wintool(session)
    windows_pid = corvane.windows_pid()
    try:
        before = wintool.resources(windows_pid)
        hostile_started = time.monotonic()
        at_most_32_are_held_at_once(port)
        # Connect and never speak: held until they have been silent 120 s.
        silent = [socket.create_connection(("127.0.0.1", port)) for _ in range(4)]
        silent_since = time.monotonic()
        login_attempts_are_bounded(port)
        # 25 s of the rest, over five of the monitor's passes.
        rounds = 0
        while time.monotonic() - hostile_started < 25:
            random_lines_are_each_refused(port, seed=rounds)
            a_line_longer_than_512_bytes_closes_its_connection(port)
            clients_vanish_mid_line(port)
            rounds += 1
        assert session.window_info() is not None, "the interface stopped answering"

        # The monitor kept its cadence meanwhile (one pass every 5 s on line).
        starts = pass_starts(emu.times(0))
        assert len(starts) >= 3 and max(b - a for a, b in zip(starts, starts[1:])) < 10000, starts
        assert (time.monotonic() - hostile_started) < 100
        assert not any(closed_by_peer(s, timeout=0.1) for s in silent)
        wait_until(lambda: time.monotonic() - silent_since > 121, 130, "120 s of silence")
        assert all(closed_by_peer(s, timeout=10) for s in silent)
        for s in silent:
            s.close()

        assert upsc_variables(port)["ups.status"] == "OL"
        wait_until(lambda: open_connections(prefix) == 0, 10, "every connection closed")
        after = wintool.resources(windows_pid)
        assert after["handles"] <= before["handles"] + 2, (before, after)
        assert after["committed"] <= before["committed"] + (1 << 20), (before, after)
    finally:
        wintool.close()
    assert log_faults(corvane.log_bytes()) == []
    allowed = ("Corvane started", "network server listening on ", "UPS connected: ", "on line, ",
               "ERROR - network login refused: 127.0.0.1", "ERROR - network login refused: 127.0.0.2")
    assert all(m.startswith(allowed) for m in corvane.messages()), corvane.messages()
    # Three refusals within a minute make one line for each address.
    for address in ("127.0.0.1", "127.0.0.2"):
        assert corvane.messages().count("ERROR - network login refused: " + address) == 1
    assert corvane.stop() == 0


def random_lines_are_each_refused(port, seed):
    generator = random.Random(seed)
    line = Line(port)
    for _ in range(100):
        junk = bytes(generator.choice(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ \t\"\\\r\x00\x01\x7f\xfe")
                     for _ in range(generator.randint(1, 200)))
        line.socket.sendall(b"X" + junk + b"\n")
        answer = line.reader.readline()
        assert answer.startswith(b"ERR ") and answer.endswith(b"\n"), (junk, answer)
    # A log line forged inside a request reaches nothing but an error.
    assert line.ask("GET VAR ups ups.status\r2026-01-01 00:00:00  mains restored") == "ERR INVALID-ARGUMENT\n"
    assert line.ask("GET VAR ups ups.status") == 'VAR ups ups.status "OL"\n'
    line.close()


def a_line_longer_than_512_bytes_closes_its_connection(port):
    longest = Line(port)
    assert longest.ask("GET VAR ups ups.status" + " " * 490) == 'VAR ups ups.status "OL"\n'
    longest.close()
    huge = socket.create_connection(("127.0.0.1", port))
    try:
        huge.sendall(b"A" * (1 << 20))
    except (ConnectionResetError, BrokenPipeError):
        pass
    assert closed_by_peer(huge)
    huge.close()


def at_most_32_are_held_at_once(port):
    crowd = [socket.create_connection(("127.0.0.1", port)) for _ in range(100)]
    held = set(crowd)
    deadline = time.monotonic() + 3
    while held and time.monotonic() < deadline:
        readable, _, _ = select.select(list(held), [], [], max(0, deadline - time.monotonic()))
        for s in readable:
            if closed_by_peer(s, timeout=0.1):
                held.discard(s)
    assert len(held) == 32
    for s in crowd:
        s.close()


def clients_vanish_mid_line(port):
    for i in range(20):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"GET VAR ups ups.sta")
        if i % 2:
            # A reset instead of an orderly close.
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.close()


def login_attempts_are_bounded(port):
    for source in ("127.0.0.1", "127.0.0.2"):
        line = Line(port, source=source)
        assert line.ask("USERNAME monuser") == "OK\n"
        assert line.ask('PASSWORD "pass word"') == "OK\n"
        assert line.ask("PASSWORD again") == "ERR ALREADY-SET-PASSWORD\n"
        for _ in range(3):
            assert line.ask("LOGIN ups") == "ERR ACCESS-DENIED\n"
        assert closed_by_peer(line.socket)
        line.close()


def test_a_server_whose_address_comes_after_it_started_listens_once_it_is_there(tmp_path):
    """In a network namespace of its own, with a prefix, a wine server and an
    X server started inside it (Linux binds 127.0.0.1 even while loopback is
    down, so a documentation address stands in for the LAN's), Corvane starts
    before 192.0.2.1 exists; the address comes first without 127.0.0.1, so
    that the wake socket fails where the listener binds, then 127.0.0.1."""
    output = tmp_path / "late-address.out"
    with open(output, "w") as out:
        done = subprocess.run(["unshare", "-n", sys.executable, os.path.abspath(__file__), "late-address"],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=300)
    assert done.returncode == 0, output.read_text()[-4000:]


def serve_from_an_address_that_comes_late():
    def ip(*words):
        subprocess.run(["ip"] + list(words), check=True)

    ip("link", "set", "lo", "up")
    ip("addr", "del", "127.0.0.1/8", "dev", "lo")
    port = 3493
    with standalone("late-address") as (session, folder):
        turn_server_on(session, port, NetworkAddress=("REG_SZ", "192.0.2.1"))
        corvane = Corvane(session, folder)
        try:
            corvane.start()
            error = "ERROR - network server could not listen on 192.0.2.1:%d, code 10049" % port
            corvane.wait_for_message(error)
            ip("addr", "add", "192.0.2.1/32", "dev", "lo")
            # The attempt 10 s after the first finds the address alone.
            time.sleep(11)
            ip("addr", "add", "127.0.0.1/8", "dev", "lo")
            listening = "network server listening on 192.0.2.1:%d" % port
            corvane.wait_for_message(listening, timeout=15)
            code, out = upsc(port, "ups.status", host="192.0.2.1")
            assert code != 0 and out == "Error: Driver not connected", out
            assert [m for m in corvane.messages() if "network" in m] == [error, listening]
            assert corvane.stop() == 0
        finally:
            corvane.kill()


if __name__ == "__main__" and sys.argv[1:] == ["late-address"]:
    serve_from_an_address_that_comes_late()
