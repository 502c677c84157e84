"""Fixtures for the Python package's tests: the real simulator and daemon.

The whole pytest run is started inside a private IPC namespace with a
temporary HOME (tests/support/run-isolated.sh), so the kit's record and the
daemon's status segment are the run's own.  TAVRO_BUILD_DIR names the build
tree with the programs and libraries.
"""

from __future__ import annotations

import os
import select
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

BUILD = Path(os.environ.get("TAVRO_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
SOURCE = Path(__file__).resolve().parents[2]
# The package as the build lays it out: the modules and the layouts made from the headers.
sys.path.insert(0, str(BUILD / "python" / "site"))
os.environ.setdefault("TAVRO_LIBRARY", str(BUILD / "libTavroDev.so.1"))

import tavro  # noqa: E402

SIM = BUILD / "tools" / "tavro-sim" / "tavro-sim"
DAEMON = BUILD / "tools" / "tavrod" / "tavrod"


def wait_for(condition, timeout: float, what: str) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.01)


class Device:
    """A simulated receiver on a pty and the real tavrod serving it."""

    def __init__(self, tmp: Path, script: str, daemon_args: tuple[str, ...] = ()) -> None:
        self.log = tmp / "commands.log"
        self.daemon_args = daemon_args
        script_file = tmp / "motion.script"
        script_file.write_text(script)
        self.sim = subprocess.Popen(
            [str(SIM), "--script", str(script_file), "--loop", "--learn-delay", "100",
             "--command-log", str(self.log)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert self.sim.stdout is not None
        self.tty = self.sim.stdout.readline().strip()
        assert self.tty.startswith("/dev/"), f"simulator did not start: {self.sim.stderr.read()}"
        self.daemon: subprocess.Popen[str] | None = None
        try:
            self.start_daemon()
        except BaseException:
            self.close()
            raise

    def start_daemon(self) -> None:
        self.daemon = subprocess.Popen([str(DAEMON), "--device", self.tty, *self.daemon_args],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        with tavro.Kit() as kit:
            try:
                wait_for(lambda: kit.daemon.running and kit.daemon.receiver_connected, 10,
                         "the daemon to run the receiver")
            except AssertionError:
                self.stop_daemon()
                raise

    def stop_daemon(self) -> None:
        if self.daemon is not None and self.daemon.poll() is None:
            self.daemon.send_signal(signal.SIGTERM)
            self.daemon.wait(timeout=10)
        self.daemon = None

    def commands(self) -> list[str]:
        return self.log.read_text().splitlines() if self.log.exists() else []

    def close(self) -> None:
        self.stop_daemon()
        self.sim.send_signal(signal.SIGTERM)
        try:
            self.sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.sim.kill()


# Handset 0 aims right of centre with the centre and up keys held; handset 2
# aims left with the menu key; the others are silent.
SCRIPT = """rate 60
at 0 0 x=200 y=144 keys=center,north
at 0 2 x=120 y=100 keys=menu
end 600
"""


@pytest.fixture(scope="module")
def device(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Device]:
    device = Device(tmp_path_factory.mktemp("device"), SCRIPT)
    yield device
    device.close()


@pytest.fixture
def kit() -> Iterator[tavro.Kit]:
    with tavro.Kit() as kit:
        yield kit


@pytest.fixture(scope="module")
def x_display() -> Iterator[str]:
    """A private Xvfb's display name (":N"), chosen by Xvfb itself."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24",
                               "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        with os.fdopen(read) as numbers:
            ready, _, _ = select.select([numbers], [], [], 10)
            number = numbers.readline().strip() if ready else ""
        assert number, "Xvfb did not start within 10 s"
        yield ":" + number
    finally:
        server.terminate()
        server.wait(timeout=10)
