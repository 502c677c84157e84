"""The device daemon's status segment (key one above the record's) and what it says
about the values in the record."""

from __future__ import annotations

import os
import time
from typing import TYPE_CHECKING, Final

from . import _record

try:
    from . import _status_layout
except ImportError:
    raise ImportError(
        "tavro._status_layout is missing: it is made from the daemon's status header when the "
        "kit is built; import the package from the build tree (build/python/site) or install "
        "the kit") from None

if TYPE_CHECKING:
    from .kit import DaemonState

STATUS_KEY: Final = _record.RECORD_KEY + 1
# Without a packet for this long, the record's tracking values are the last
# ones received (as `tavro status` says).
STALE_AFTER: Final = float(_status_layout.kPacketsStaleAfterSeconds)
_GETPID: Final = 11
_GETVAL: Final = 12


def _alive(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except PermissionError:
        return True
    except OSError:
        return False
    return True


def _claim_holder() -> int:
    """The process that holds the one-daemon claim (a semaphore on the status key), or 0."""
    semaphore = _record.LIBC.semget(STATUS_KEY, 1, 0)
    if semaphore < 0 or _record.LIBC.semctl(semaphore, 0, _GETVAL) <= 0:
        return 0
    pid = int(_record.LIBC.semctl(semaphore, 0, _GETPID))
    return pid if _alive(pid) else 0


def read() -> DaemonState:
    """The daemon's state; not running when there is neither a status nor a claim."""
    from .kit import DaemonState

    holder = _claim_holder()
    nobody = DaemonState(holder > 0, holder, False, "", "", 0, None, "", "")
    segment = _record.try_attach(STATUS_KEY, _status_layout.SIZE, read_only=True)
    if segment is None:
        return nobody
    status = _record.Fields(segment, _status_layout.FIELDS)
    try:
        if status.integer("Magic") != _status_layout.kDaemonStatusMagic:
            return nobody
        pid = status.integer("DaemonPid")
        running = _alive(pid)
        if not running and holder > 0:
            # A daemon that holds the claim but has not said more (yet).
            return nobody
        last = status.integer("LastPacketUnixNs")
        return DaemonState(
            running=running,
            pid=pid if running else 0,
            receiver_connected=running and status.integer("ReceiverConnected") != 0,
            receiver_path=status.text("ReceiverPath"),
            output=status.text("Output"),
            packets_decoded=status.integer("PacketsDecoded"),
            last_packet_age=max(0.0, time.time() - last / 1e9) if last > 0 else None,
            settings_file=status.text("SettingsPath"),
            settings_loaded_by=status.text("SettingsLoadedBy"),
            profile=status.text("ActiveProfile") if running else "",
        )
    finally:
        status.close()


def ask_profile(name: str) -> None:
    """Asks the running daemon for the key bindings' profile `name`: the name first, then
    the serial number the daemon watches."""
    segment = _record.try_attach(STATUS_KEY, _status_layout.SIZE)
    if segment is None:
        raise OSError("the daemon's status segment cannot be attached")
    status = _record.Fields(segment, _status_layout.FIELDS)
    try:
        status.set_text("ProfileWanted", name)
        status.set_integer("ProfileWantedSerial", (status.integer("ProfileWantedSerial") + 1) & 0xFFFFFFFF)
    finally:
        status.close()


def no_daemon() -> str:
    return ("no device daemon runs, so the record holds no live values: start tavrod "
            "(or `systemctl --user start tavrod`)")


def staleness(state: DaemonState) -> str:
    """Why the record's tracking values are not live while `state`'s daemon runs;
    empty when they are."""
    receiver = f"the receiver {state.receiver_path}" if state.receiver_path else "the receiver"
    if not state.receiver_connected:
        return (f"the device daemon tavrod (process {state.pid}) runs, but {receiver} is not "
                "connected; plug it in (tavrod waits for it)")
    if state.last_packet_age is None:
        return f"{receiver} is connected, but no packet has come from it yet; switch a handset on"
    if state.last_packet_age >= STALE_AFTER:
        return (f"{receiver} is connected, but no packet has come for "
                f"{state.last_packet_age:.0f} s; switch a handset on")
    return ""
