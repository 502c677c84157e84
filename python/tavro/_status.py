"""The device daemon's status segment (key one above the record's)."""

from __future__ import annotations

import os
import time
from typing import TYPE_CHECKING, Final

from . import _record

if TYPE_CHECKING:
    from .kit import DaemonState

STATUS_KEY: Final = _record.RECORD_KEY + 1
STATUS_SIZE: Final = 2024
_MAGIC: Final = 0x53445654
_OFFSETS: Final = {
    "Magic": 0, "DaemonPid": 8, "ReceiverConnected": 12, "ReceiverPath": 24, "Output": 280,
    "PacketsDecoded": 344, "LastPacketUnixNs": 384, "SettingsPath": 408,
    "SettingsLoadedByPid": 920, "SettingsLoadedBy": 936,
}


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


def read() -> DaemonState:
    """The daemon's state; not running when there is no status segment."""
    from .kit import DaemonState

    segment = _record.try_attach(STATUS_KEY, STATUS_SIZE, read_only=True)
    if segment is None:
        return DaemonState(False, 0, False, "", "", 0, None, "", "")
    try:
        if segment.i32(_OFFSETS["Magic"]) & 0xFFFFFFFF != _MAGIC:
            return DaemonState(False, 0, False, "", "", 0, None, "", "")
        pid = segment.i32(_OFFSETS["DaemonPid"])
        running = _alive(pid)
        last = segment.i64(_OFFSETS["LastPacketUnixNs"])
        return DaemonState(
            running=running,
            pid=pid if running else 0,
            receiver_connected=running and segment.i32(_OFFSETS["ReceiverConnected"]) != 0,
            receiver_path=segment.text(_OFFSETS["ReceiverPath"], 256),
            output=segment.text(_OFFSETS["Output"], 32),
            packets_decoded=segment.u64(_OFFSETS["PacketsDecoded"]),
            last_packet_age=(time.time() - last / 1e9) if last > 0 else None,
            settings_file=segment.text(_OFFSETS["SettingsPath"], 512),
            settings_loaded_by=segment.text(_OFFSETS["SettingsLoadedBy"], 64),
        )
    finally:
        segment.close()
