"""The emulated UPS seen through Wine's real HID stack (hidclass + parser),
by hidprobe.exe, a plain SetupDi/HidD/HidP client."""
import os
import statistics
import tempfile
import time

import pytest

from conftest import serial

PD, BS = 0x84, 0x85
CHARGE, RUNTIME, FULLCHARGE = (BS, 0x66), (BS, 0x68), (BS, 0x67)
LOAD, POWER, VOLTAGE = (PD, 0x35), (PD, 0x44), (PD, 0x30)
AC, CHARGING, DISCHARGING = (BS, 0xD0), (BS, 0x44), (BS, 0x45)
BELOW, REPLACE, SHUTDOWN, OVERLOAD = (BS, 0x42), (BS, 0x4B), (PD, 0x69), (PD, 0x65)
FLAGS = [AC, CHARGING, DISCHARGING, BELOW, REPLACE, SHUTDOWN, OVERLOAD]
VOLT_UNIT = 0x00F0D121

# Slot per profile for the whole run; "other" and the two-UPS pair included.
PROFILE_SLOTS = {
    "plain": 0, "multi": 1, "centivolts": 2, "manyvolts": 3, "ranged": 4, "minimal": 5,
    "batteryonly": 6, "other": 7, "upsa": 8, "upsb": 9, "flags8": 10, "flagsboth": 11,
    "tenthsbattery": 12, "tenthsinput": 13, "nounit": 14,
}


def covers(cap, page_usage):
    page, usage = page_usage
    return cap["page"] == page and cap["usage"] <= usage <= cap["usage_max"]


def caps_for(caps, page_usage):
    return [c for c in caps if covers(c, page_usage)]


def value_of(reading, page_usage, link=None):
    vals = [v["value"] for v in reading["values"]
            if (v["page"], v["usage"]) == page_usage and (link is None or v["link"] == link)
            and v["status"] == 0x110000]
    assert vals, "no value for %r in %r" % (page_usage, reading)
    return vals


def pressed(reading):
    return {(b["page"], b["usage"]) for b in reading["buttons"]}


@pytest.fixture(scope="module")
def all_devices(emu, probe):
    for name, slot in PROFILE_SLOTS.items():
        emu.add(slot, name)
    devices = probe.devices()
    return {d.get("serial"): d for d in devices}, devices


def test_every_profile_is_offered(emu):
    assert set(emu.profiles()) == set(PROFILE_SLOTS)


@pytest.mark.parametrize("name", sorted(PROFILE_SLOTS))
def test_wine_parser_agrees_with_builder(emu, all_devices, name):
    """Every field the builder tracked is a cap Wine's parser reports at the
    same report id and link collection, and nothing else is reported."""
    by_serial, _ = all_devices
    slot = PROFILE_SLOTS[name]
    dev = by_serial[serial(slot)]
    layout = emu.fields(slot)
    assert (dev["usage_page"], dev["usage"]) == layout["top"]
    assert dev["collections"] == layout["collections"]
    wine_caps = dev["feature_values"] + dev["feature_buttons"]
    feature_fields = [f for f in layout["fields"] if f["kind"] == "F"]
    for f in feature_fields:
        match = [c for c in caps_for(wine_caps, (f["page"], f["usage"]))
                 if c["id"] == f["id"] and c["link"] == f["link"]]
        assert match, "%s: field %s not among Wine's caps" % (name, f)
    # A value cap with one usage and a report count of N holds N fields.
    covered = sum(max(c["usage_max"] - c["usage"] + 1, c.get("count", 1)) for c in wine_caps)
    assert covered == len(feature_fields)
    longest = max([0] + [v for k, v in layout["reports"].items() if k.startswith("F")])
    assert dev["feature_len"] == longest


def test_plain_shape(all_devices):
    dev = all_devices[0][serial(0)]
    assert (dev["usage_page"], dev["usage"]) == (PD, 0x04)
    assert dev["manufacturer"] == "Quillfen Labs"
    assert dev["product"] == "Emulated UPS 1500"
    assert dev["path"].lower().startswith("\\\\?\\hid#vid_1209&pid_c001#0000#")
    for u in (CHARGE, RUNTIME, LOAD, POWER, VOLTAGE):
        assert len(caps_for(dev["feature_values"], u)) == 1, u
    for u in FLAGS:
        assert len(caps_for(dev["feature_buttons"], u)) == 1, u
    volt = caps_for(dev["feature_values"], VOLTAGE)[0]
    assert (volt["unit"], volt["exp"]) == (VOLT_UNIT, 7)


def test_multi_repeats_usages(all_devices):
    dev = all_devices[0][serial(PROFILE_SLOTS["multi"])]
    assert len({c["link"] for c in caps_for(dev["feature_values"], CHARGE)}) == 2
    ac = caps_for(dev["feature_buttons"], AC)
    assert len(ac) == 2 and len({c["link"] for c in ac}) == 2
    # Input and Output voltages share report 6 with PercentLoad.
    assert len([c for c in dev["feature_values"] if c["id"] == 6]) == 3
    assert len([c for c in dev["feature_values"] if c["id"] == 1]) >= 3


def test_voltage_profiles(all_devices):
    by = all_devices[0]
    centi = caps_for(by[serial(PROFILE_SLOTS["centivolts"])]["feature_values"], VOLTAGE)
    assert sorted(c["exp"] for c in centi) == [5, 7]
    many = caps_for(by[serial(PROFILE_SLOTS["manyvolts"])]["feature_values"], VOLTAGE)
    assert len(many) > 8
    tb = caps_for(by[serial(PROFILE_SLOTS["tenthsbattery"])]["feature_values"], VOLTAGE)
    assert [c["exp"] for c in tb] == [6, 7]          # battery (tenths) declared first
    ti = caps_for(by[serial(PROFILE_SLOTS["tenthsinput"])]["feature_values"], VOLTAGE)
    assert [c["exp"] for c in ti] == [6, 6]
    nu = caps_for(by[serial(PROFILE_SLOTS["nounit"])]["feature_values"], VOLTAGE)
    assert len(nu) == 3 and all(c["unit"] == 0 and c["exp"] == 0 for c in nu)


def test_ranged_minimal_batteryonly_other(all_devices):
    by, ordered = all_devices
    ranged = by[serial(PROFILE_SLOTS["ranged"])]
    charge = caps_for(ranged["feature_values"], CHARGE)
    assert len(charge) == 1 and charge[0]["range"] == 1
    assert charge[0]["usage"] != charge[0]["usage_max"]
    ac = caps_for(ranged["feature_buttons"], AC)
    assert len(ac) == 1 and ac[0]["range"] == 1

    minimal = by[serial(PROFILE_SLOTS["minimal"])]
    assert not caps_for(minimal["feature_buttons"], AC)
    assert caps_for(minimal["feature_buttons"], DISCHARGING)
    assert caps_for(minimal["feature_values"], CHARGE)

    battery = by[serial(PROFILE_SLOTS["batteryonly"])]
    assert battery["usage_page"] == BS
    assert all(c["page"] == BS for c in battery["feature_values"] + battery["feature_buttons"])

    other = by[serial(PROFILE_SLOTS["other"])]
    assert other["usage_page"] == 0xFF00
    serials = [d.get("serial") for d in ordered]
    assert serials.index(serial(PROFILE_SLOTS["other"])) < serials.index(serial(0))


def test_flag_width_profiles(all_devices):
    by = all_devices[0]
    f8 = by[serial(PROFILE_SLOTS["flags8"])]
    assert f8["feature_buttons"] == []
    for u in FLAGS:
        caps = caps_for(f8["feature_values"], u)
        assert len(caps) == 1 and caps[0]["bits"] == 8 and (caps[0]["lmin"], caps[0]["lmax"]) == (0, 1)
    both = by[serial(PROFILE_SLOTS["flagsboth"])]
    for u in FLAGS:
        assert len(caps_for(both["feature_buttons"], u)) == 1
        assert caps_for(both["feature_values"], u)[0]["bits"] == 8


def test_set_fields_change_feature_reports(emu, probe, all_devices):
    emu.set(0, charge=37, runtime=1234, power=987, load=61)
    emu.set(0, "voltage.input=229")
    r1 = probe.get(serial(0), 1)
    assert r1["ok"]
    assert value_of(r1, CHARGE) == [37]
    assert value_of(r1, RUNTIME) == [1234]
    assert value_of(r1, POWER) == [987]
    assert value_of(probe.get(serial(0), 3), VOLTAGE) == [229]
    assert value_of(probe.get(serial(0), 4), LOAD) == [61]

    emu.set(0, ac=0, discharging=1, overload=1, charging=0)
    assert pressed(probe.get(serial(0), 2)) == {DISCHARGING, OVERLOAD}
    emu.set(0, ac=1, discharging=0, overload=0, replace=1)
    assert pressed(probe.get(serial(0), 2)) == {AC, REPLACE}
    assert emu.get(0, "replace") == (1.0, 1)


def test_set_reaches_every_copy_and_scales(emu, probe, all_devices):
    multi = PROFILE_SLOTS["multi"]
    emu.set(multi, charge=55)
    assert value_of(probe.get(serial(multi), 1), CHARGE) == [55]
    assert value_of(probe.get(serial(multi), 4), CHARGE) == [55]
    emu.set(multi, "ac.changed=0", "ac.present=1")
    assert AC not in pressed(probe.get(serial(multi), 3))
    assert AC in pressed(probe.get(serial(multi), 2))

    centi = PROFILE_SLOTS["centivolts"]
    assert value_of(probe.get(serial(centi), 3), VOLTAGE) == [23000]
    emu.set(centi, "voltage.input=231.5")
    assert value_of(probe.get(serial(centi), 3), VOLTAGE) == [23150]
    assert value_of(probe.get(serial(centi), 6), VOLTAGE) == [27]
    tb = PROFILE_SLOTS["tenthsbattery"]
    assert value_of(probe.get(serial(tb), 1), VOLTAGE) == [270]

    ranged = PROFILE_SLOTS["ranged"]
    emu.set(ranged, charge=44, ac=0)
    assert value_of(probe.get(serial(ranged), 1), CHARGE) == [44]
    assert AC not in pressed(probe.get(serial(ranged), 2))


def test_fail_all_and_fail_one_report(emu, probe, all_devices):
    emu.fail(0, "all")
    try:
        for rid in (1, 2):
            r = probe.get(serial(0), rid)
            assert not r["ok"] and r["error"] == 1167
        assert probe.device(serial(0)) is not None      # still enumerated
        emu.fail(0, 2)
        assert probe.get(serial(0), 1)["ok"]
        r = probe.get(serial(0), 2)
        assert not r["ok"] and r["error"] == 1167
    finally:
        emu.fail(0, "none")
    assert probe.get(serial(0), 2)["ok"]


def test_delay_slows_requests(emu, probe, all_devices):
    emu.delay(0, 300)
    try:
        assert probe.get(serial(0), 1)["ms"] >= 250
    finally:
        emu.delay(0, 0)
    assert probe.get(serial(0), 1)["ms"] < 150


def test_count_and_times(emu, probe, all_devices):
    emu.reset_log(0)
    assert emu.count(0) == 0 and emu.times(0) == []
    before = emu.now()
    assert probe.time(serial(0), 1, 25)["failures"] == 0
    after = emu.now()
    assert emu.count(0) == 25
    times = emu.times(0)
    assert len(times) == 25 and times == sorted(times)
    assert before - 5 <= times[0] and times[-1] <= after + 5
    probe.time(serial(0), 2, 50)
    assert emu.count(0) == 75
    assert len(emu.times(0)) == 64                        # the ring keeps the last 64


def test_count_survives_concurrent_requests(emu, probe, all_devices):
    emu.reset_log(0)
    r = probe.hammer(serial(0), 1, 40, 4)
    assert r["failures"] == 0
    assert emu.count(0) == 160


def test_remove_and_readd(emu, probe, all_devices):
    slot = PROFILE_SLOTS["upsb"]
    emu.remove(slot)
    assert not emu.exists(slot)
    assert probe.device(serial(slot)) is None
    emu.add(slot, "upsb")
    dev = probe.device(serial(slot))
    assert dev is not None and dev["product"] == "Emulated UPS B"
    assert probe.get(serial(slot), 1)["ok"]


def test_two_upses_are_independent(emu, probe, all_devices):
    a, b = PROFILE_SLOTS["upsa"], PROFILE_SLOTS["upsb"]
    emu.set(a, charge=20)
    emu.set(b, charge=90)
    assert value_of(probe.get(serial(a), 1), CHARGE) == [20]
    assert value_of(probe.get(serial(b), 1), CHARGE) == [90]
    products = {probe.device(serial(s))["product"] for s in (a, b)}
    assert products == {"Emulated UPS A", "Emulated UPS B"}


def test_strings_empty_and_long(emu, probe):
    long_name = "Quillfen Labs " + "x" * 70
    emu.add(20, "plain", product="", manufacturer=long_name, serial="LONG-SERIAL-" + "9" * 60)
    dev = probe.device("LONG-SERIAL-" + "9" * 60)
    assert dev["product"] == ""
    assert dev["manufacturer"] == long_name
    emu.remove(20)


def test_descriptor_file_device(emu, probe):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "ups.bin")
        emu.dump_profile("plain", path)
        assert os.path.getsize(path) > 50
        emu.add_file(21, path, serial="FROMFILE")
    # Every report starts zeroed; named fields come from the usage tables.
    r = probe.get("FROMFILE", 1)
    assert r["ok"] and value_of(r, CHARGE) == [0]
    emu.set(21, charge=66)
    assert value_of(probe.get("FROMFILE", 1), CHARGE) == [66]
    emu.poke(21, 1, 1, bytes([12]))
    assert value_of(probe.get("FROMFILE", 1), CHARGE) == [12]
    emu.report(21, 2, bytes([2, 0x01]))
    assert pressed(probe.get("FROMFILE", 2)) == {AC}
    assert emu.report(21, 2) == bytes([2, 0x01])
    emu.remove(21)


def test_unknown_field_is_an_error(emu, all_devices):
    from emulator import EmulatorError
    with pytest.raises(EmulatorError):
        emu.set(PROFILE_SLOTS["minimal"], ac=0)


def test_feature_request_cost(emu, probe, all_devices):
    r = probe.time(serial(0), 1, 500)
    print("\nHidD_GetFeature median %.0f us (min %.0f, max %.0f)" % (r["median_us"], r["min_us"], r["max_us"]))
    assert r["failures"] == 0 and r["median_us"] < 5000


def test_client_library_in_process(emu):
    """The GoogleTest program links the client and drives devices itself."""
    import subprocess
    exe = os.path.join(emu.build_dir, "emu_client_tests.exe")
    if not os.path.isfile(exe):
        pytest.skip("emu_client_tests.exe not built (no GoogleTest)")
    with tempfile.TemporaryFile(mode="w+") as out:
        rc = subprocess.run(["wine", exe, "--gtest_brief=1"], env=emu.env, cwd=emu.build_dir,
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                            timeout=120).returncode
        out.seek(0)
        text = out.read()
    assert rc == 0, text
    assert "PASSED" in text


def test_input_reports_follow_changes_once(emu, probe, all_devices):
    """A change sends each input report it touches once, with the new bytes;
    the same values again send nothing."""
    emu.set(0, charge=100, runtime=3900, ac=1, charging=0, discharging=0, belowlimit=0, replace=0, shutdown=0,
            overload=0)

    def change():
        emu.set(0, ac=0, discharging=1, charge=55)
        time.sleep(0.3)
        emu.set(0, ac=0, discharging=1, charge=55)

    try:
        seen = probe.read(serial(0), 1200, change)
    finally:
        emu.set(0, ac=1, discharging=0, charge=100)
    # Report 2: the PresentStatus bits, Discharging third; report 1: charge
    # 55 and runtime 3900 (0x0F3C). A read returns the longest input report's
    # length, the shorter ones padded with zeros.
    assert seen["error"] == 0 and sorted(seen["reports"]) == ["01373c0f0000", "020400000000"], seen


def test_input_flood_and_a_ups_without_inputs(emu, probe, all_devices):
    emu.flood(0, True)
    try:
        seen = probe.read(serial(0), 600)["reports"]
    finally:
        emu.flood(0, False)
    assert len(seen) >= 10, seen
    assert all(a != b for a, b in zip(seen, seen[1:])), seen
    emu.add(22, "plain", inputs="none")
    try:
        dev = probe.device(serial(22))
        assert dev["input_len"] == 0 and dev["input_values"] == [] and dev["input_buttons"] == []
        assert value_of(probe.get(serial(22), 1), CHARGE) == [100]
    finally:
        emu.remove(22)


def wait_output(emu, slot, on, timeout=3.0):
    """Seconds until the output is on (or off)."""
    start = time.monotonic()
    while emu.output(slot)["on"] != on:
        assert time.monotonic() - start < timeout, emu.output(slot)
        time.sleep(0.05)
    return time.monotonic() - start


def test_delay_before_shutdown_counts_down_and_cycles_the_output(emu, probe, all_devices):
    """A delay written counts down, read back as the seconds left; -1
    aborts; the output goes off at the end and comes on once the mains are
    present. The model counting in minutes takes 59 as now."""
    plain, multi = serial(0), serial(PROFILE_SLOTS["multi"])
    emu.set(0, ac=0)
    try:
        # 120 s, and DelayBeforeStartup 300 s beside it in report 8.
        assert probe.set(plain, [8, 120, 0, 0x2C, 0x01])["ok"]
        assert 118 <= value_of(probe.get(plain, 8), (PD, 0x57))[0] <= 120
        assert probe.set(plain, [8, 0xFF, 0xFF, 0x2C, 0x01])["ok"]
        assert emu.output(0)["left"] is None and emu.output(0)["last"] == -1
        assert probe.set(plain, [8, 1, 0, 0x2C, 0x01])["ok"]
        assert 0.5 < wait_output(emu, 0, False) < 2.5
        time.sleep(1.5)
        assert emu.output(0)["on"] is False and emu.output(0)["offs"] == 1
        emu.set(0, ac=1)
        assert wait_output(emu, 0, True) < 1.0
    finally:
        emu.set(0, ac=1)
    assert probe.set(multi, [7, 59])["ok"]
    assert wait_output(emu, PROFILE_SLOTS["multi"], False) < 0.5
    assert 0.5 < wait_output(emu, PROFILE_SLOTS["multi"], True) < 2.0
