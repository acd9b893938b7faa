"""Fifty devices of the fuzzing command (tests/fuzz/fuzz_corvane.py) through
the real HID stack while Corvane runs: every malformed one and random
well-formed ones of a fixed seed."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))

import descriptors  # noqa: E402
from fuzz_corvane import cases_of_run, fuzz  # noqa: E402

CASES = 50


def test_fifty_devices_leave_corvane_running_with_a_well_formed_log(session, emu, corvane):
    malformed = len(descriptors.malformed_descriptors())
    cases = cases_of_run("ci", CASES - malformed, True)
    assert len(cases) == CASES
    corvane.start()
    assert fuzz(session, emu, corvane, cases) == []
