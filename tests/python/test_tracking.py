"""Positions, keys and the watch iterator of a scripted handset, through the real daemon."""

from __future__ import annotations

import asyncio
import math
import os
import subprocess
import sys

import pytest
import tavro
from conftest import wait_for


def test_scripted_handsets_positions_and_keys(device, kit):
    wait_for(lambda: kit.handset(0).buttons and kit.handset(2).buttons, 5, "keys of both handsets")
    h0, h2 = kit.handset(0), kit.handset(2)
    assert h0.buttons == {tavro.Key.CENTER, tavro.Key.NORTH}
    assert h2.buttons == {tavro.Key.MENU}
    assert kit.handset(1).buttons == frozenset()
    assert h0.raw[0] == pytest.approx(200, abs=1) and h0.raw[1] == pytest.approx(144, abs=1)
    assert h2.raw[0] == pytest.approx(120, abs=1) and h2.raw[1] == pytest.approx(100, abs=1)
    # The calibration maps the aim onto the screen: right of centre is further right.
    wait_for(lambda: kit.handset(0).x > kit.handset(2).x, 5, "positions of both handsets")
    p1, p2 = h0.powers
    assert p1 > 0 and p2 > 0
    assert math.isfinite(h0.roll) and h0.distance > 0
    state = h0.state()
    assert state.index == 0 and state.buttons == h0.buttons


def test_handset_index_is_checked(kit):
    for bad in (-1, 4, 1.5, True):
        with pytest.raises(ValueError, match="handset index must be 0 to 3"):
            kit.handset(bad)


def test_watch_yields_snapshots_and_ends(device, kit):
    snaps = list(kit.watch(interval=0.02, count=5))
    assert len(snaps) == 5
    assert all(len(s.handsets) == 4 for s in snaps)
    assert [s.time for s in snaps] == sorted(s.time for s in snaps)
    assert snaps[-1].time - snaps[0].time >= 0.07
    # Closing the kit ends an endless watch cleanly.
    endless = kit.watch(interval=0.01)
    next(endless)
    kit.close()
    assert list(endless) == []


def test_async_watch(device):
    async def collect() -> list[tavro.Snapshot]:
        with tavro.Kit() as kit:
            return [s async for s in kit.watch(interval=0.01, count=3)]

    snaps = asyncio.run(collect())
    assert len(snaps) == 3 and all(s.handsets[0].buttons for s in snaps)


def test_closed_kit_raises(kit):
    hand = kit.handset(0)
    kit.close()
    with pytest.raises(tavro.TavroError, match="closed"):
        hand.x


def test_pointing_mode_and_pointer_switch(kit):
    for mode in (tavro.PointingMode.SMART, tavro.PointingMode.GAME, tavro.PointingMode.DIRECT):
        kit.pointing = mode
        assert kit.pointing is mode
    kit.pointing = "smart"
    assert kit.pointing is tavro.PointingMode.SMART
    with pytest.raises(ValueError):
        kit.pointing = "sideways"
    kit.pointer_enabled = False
    assert kit.pointer_enabled is False
    kit.pointer_enabled = True
    assert kit.pointer_enabled is True
    kit.pointing = tavro.PointingMode.DIRECT


def test_attaching_keeps_the_running_state(kit):
    kit.pointing = tavro.PointingMode.GAME
    with tavro.Kit() as other:
        assert other.pointing is tavro.PointingMode.GAME
    assert kit.pointing is tavro.PointingMode.GAME
    kit.pointing = tavro.PointingMode.DIRECT


def test_a_new_kit_reads_the_daemons_position_at_once(device, kit):
    wait_for(lambda: kit.handset(0).x != 0.0, 5, "a position from the daemon")
    script = "import tavro; print(tavro.Kit().handset(0).x)"
    for _ in range(3):
        # Attaching leaves the running device's positions alone: the first
        # read of a new process is the daemon's, not a reset 0, 0.
        package = os.path.dirname(os.path.dirname(os.path.abspath(tavro.__file__)))
        env = dict(os.environ, PYTHONPATH=package)
        shown = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                               timeout=20, check=True, env=env)
        assert float(shown.stdout) == pytest.approx(kit.handset(0).x, abs=50)
        assert float(shown.stdout) != 0.0
