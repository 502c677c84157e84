"""Receiver commands: the bytes that reach the simulated receiver, and the errors."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
import tavro
from conftest import wait_for


def logged(device, text: str, timeout: float = 3.0) -> str:
    """The simulator's log line for a command, waited for."""
    found: list[str] = []

    def seen() -> bool:
        found[:] = [line for line in device.commands() if text in line]
        return bool(found)

    wait_for(seen, timeout, f"the receiver to log {text!r}")
    return found[-1]


def test_camera_channel_and_motor_bytes(device, kit):
    kit.camera(threshold=100, gain=20, exposure=200)
    assert logged(device, "set-threshold 100").startswith("rx 03 01 64")
    assert logged(device, "set-gain 20").startswith("rx 04 01 14")
    assert logged(device, "set-exposure 200").startswith("rx 05 01 c8")
    kit.channel = 7
    assert logged(device, "set-channel 7").startswith("rx 0d 01 07")
    kit.motor.start(mode=50, level=100, value=7)
    assert logged(device, "start-motor value 7 setting 66").startswith("rx 02 02 07 42")
    kit.motor.stop()
    assert logged(device, "stop-motor").startswith("rx 02 00")


def test_ir_send_blast_and_learn(device, kit):
    kit.ir.send(bytes([0, 3, 0x10, 0x11]))
    # The count byte is in 16-bit words.
    assert logged(device, "send-ir-code 4").startswith("rx 09 02 00 03 10 11")
    kit.ir.blast()
    assert logged(device, "ir-blast").startswith("rx 0c 00")
    code = kit.ir.learn(timeout=5)
    assert isinstance(code, bytes) and len(code) == 12
    assert code[:2] == bytes([0, 7])  # the learned code starts with the channel
    logged(device, "learn-code")


def test_info_returns_the_receivers_texts(device, kit):
    info = kit.info()
    assert isinstance(info, tavro.Info)
    assert info.receiver_version and info.handset_version
    assert logged(device, "get-info 6")


def test_bad_values_are_refused_before_anything_is_sent(device, kit):
    before = len(device.commands())
    with pytest.raises(ValueError, match="threshold must be a whole number from 0 to 127"):
        kit.camera(threshold=128)
    with pytest.raises(ValueError, match="gain"):
        kit.camera(gain=-1)
    with pytest.raises(ValueError, match="channel"):
        kit.channel = 256
    with pytest.raises(ValueError, match="an even number"):
        kit.ir.send(b"\x01\x02\x03")
    with pytest.raises(ValueError, match="2 to 510 bytes"):
        kit.ir.send(bytes(512))
    with pytest.raises(ValueError, match="level"):
        kit.motor.start(level=5000)
    with pytest.raises(ValueError, match="camera\\(\\) needs"):
        kit.camera()
    assert len(device.commands()) == before


def test_without_a_daemon_commands_fail_and_are_not_sent_later(device, kit):
    device.stop_daemon()
    try:
        wait_for(lambda: not kit.daemon.running, 5, "the daemon to end")
        with pytest.raises(tavro.NoDaemonError, match="no device daemon runs: start tavrod"):
            kit.channel = 9
        with pytest.raises(tavro.NoDaemonError):
            kit.ir.blast()
        with pytest.raises(tavro.NoDaemonError):
            kit.info()
    finally:
        device.start_daemon()
    # A daemon that starts afterwards finds no request left over.
    kit.camera(gain=33)
    logged(device, "set-gain 33")
    assert not any("set-channel 9" in line for line in device.commands())


def test_error_classes():
    assert issubclass(tavro.NoAnswerError, tavro.TavroError)
    assert issubclass(tavro.NoDaemonError, tavro.TavroError)
    assert issubclass(tavro.ReceiverError, tavro.TavroError)


def test_profile_follows_the_bindings_file_and_switches_the_daemon(device, kit):
    conf = Path(os.environ["HOME"]) / ".config" / "tavro" / "bindings.conf"
    conf.parent.mkdir(parents=True, exist_ok=True)
    conf.write_text("[plain]\n[web]\nup = key Up\n")
    try:
        wait_for(lambda: kit.profile == "plain", 5, "the daemon to read the new bindings file")
        kit.profile = "web"
        listed = kit.bindings(handset=0)
        assert listed[1] == tavro.Binding("up", "up", "key Up", 3)
        assert [b.action for b in listed].count("builtin") == 9
        with pytest.raises(tavro.TavroError, match='no profile "talks"'):
            kit.bindings("talks")
        assert (kit.profile, kit.daemon.profile) == ("web", "web")
        with pytest.raises(tavro.TavroError, match='no profile "talks"'):
            kit.profile = "talks"
        assert kit.profile == "web"
    finally:
        conf.unlink()
    wait_for(lambda: kit.profile == "builtin", 5, "the built-in keys once the file is gone")
