"""What the package says when its values are not live or a key can reach no desktop."""

from __future__ import annotations

import os
import signal
import subprocess
import sys

import pytest
import tavro
from conftest import SCRIPT, Device, wait_for

TRACKING_READS = {
    "position": lambda kit: kit.handset(0).x,
    "keys": lambda kit: kit.handset(1).buttons,
    "state": lambda kit: kit.handset(2).state(),
    "active handset": lambda kit: kit.active,
    "snapshot": lambda kit: kit.snapshot(),
    "watch": lambda kit: next(kit.watch(interval=0.01)),
}


# Runs before this module starts its daemon (tests run in file order).
@pytest.mark.parametrize("read", TRACKING_READS.values(), ids=TRACKING_READS.keys())
def test_tracking_values_without_a_daemon_raise(kit, read):
    assert not kit.daemon.running
    with pytest.raises(tavro.NoDaemonError, match="no device daemon runs.*start tavrod"):
        read(kit)


@pytest.fixture(scope="module")
def x11_device(tmp_path_factory: pytest.TempPathFactory):
    device = Device(tmp_path_factory.mktemp("x11-device"), SCRIPT, ("--output", "x11"))
    yield device
    device.close()


# Presses Return and reports whether the X server then holds its key down.
PRESS_AND_LOOK = """
import ctypes, time, tavro
kit = tavro.Kit()
kit.send_key(0xff0d, "press")
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
display = x.XOpenDisplay(None)
code = x.XKeysymToKeycode(ctypes.c_void_p(display), 0xff0d)
keys = (ctypes.c_ubyte * 32)()
deadline = time.monotonic() + 5
while time.monotonic() < deadline:
    x.XQueryKeymap(ctypes.c_void_p(display), keys)
    if keys[code // 8] >> (code % 8) & 1:
        break
    time.sleep(0.01)
kit.send_key(0xff0d, "release")
print("held" if keys[code // 8] >> (code % 8) & 1 else "not held")
"""


@pytest.mark.parametrize("display", [None, "x_display"])
def test_a_key_reaches_the_x_display_or_raises(request, x11_device, display):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE")}
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(tavro.__file__)))
    if display:
        env["DISPLAY"] = request.getfixturevalue(display)
    run = subprocess.run([sys.executable, "-c", PRESS_AND_LOOK], capture_output=True, text=True,
                         timeout=30, env=env)
    if display:
        assert (run.returncode, run.stdout) == (0, "held\n"), run.stderr
    else:
        assert run.returncode != 0 and run.stderr.splitlines()[-1] == (
            "tavro.errors.NoDesktopError: the key was not sent: DISPLAY is not set and the device "
            "daemon's output is x11, so it would reach no desktop; set DISPLAY to the desktop's "
            "display, or run tavrod --output uinput")


def test_a_key_the_keymap_cannot_type_raises(x11_device, x_display):
    env = dict(os.environ, DISPLAY=x_display,
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(tavro.__file__))))
    env.pop("WAYLAND_DISPLAY", None)
    run = subprocess.run([sys.executable, "-c", "import tavro; tavro.Kit().send_key(0x100263A)"],
                         capture_output=True, text=True, timeout=30, env=env)
    assert run.returncode != 0 and run.stderr.splitlines()[-1].startswith(
        "tavro.errors.NoDesktopError: the key 0x100263a was not typed"), run.stderr


def test_snapshots_are_stale_while_no_packet_comes(x11_device, kit):
    wait_for(lambda: not kit.snapshot().stale, 5, "a live snapshot")
    x11_device.sim.send_signal(signal.SIGSTOP)
    try:
        wait_for(lambda: kit.snapshot().stale, 6, "a stale snapshot")
        assert "is connected, but no packet has come for" in kit.snapshot().stale_reason
    finally:
        x11_device.sim.send_signal(signal.SIGCONT)
    wait_for(lambda: not kit.snapshot().stale, 5, "live snapshots again")


def test_a_watch_raises_when_the_daemon_is_killed(x11_device, kit):
    watch = kit.watch(interval=0.02)
    wait_for(lambda: not next(watch).stale, 5, "a live snapshot")
    x11_device.daemon.kill()
    x11_device.daemon.wait(timeout=10)
    try:
        with pytest.raises(tavro.NoDaemonError):
            for _ in range(250):  # 5 s at most
                next(watch)
    finally:
        x11_device.start_daemon()
