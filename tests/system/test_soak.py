"""A short run of the soak command (tests/soak/soak_corvane.py): the real
Corvane.exe through passes with changing values and unplug-replug cycles,
with no growth and exactly the lines each cycle must log."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "soak"))

from soak_corvane import soak  # noqa: E402


def test_passes_and_replug_cycles_grow_nothing_and_log_one_line_each(session, emu, corvane):
    emu.add(0, "plain")
    corvane.start()
    corvane.wait_for(lambda messages: len(messages) >= 3)
    assert soak(session, emu, corvane, passes=300, cycles=10) == []
