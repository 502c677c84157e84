"""The kit's shared record, read and written by byte offset.

The record is a System V shared-memory segment (key 1103, 33432 bytes) whose
layout other processes depend on; these offsets are its binary format.  The
package reads most values through libTavroDev's getters and uses the record
directly only for what the C API does not expose: request flags (to see
whether the daemon took a command up, and to withdraw one that timed out)
and the live state that attaching would otherwise reset.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
from typing import Final

RECORD_KEY: Final = 1103
RECORD_SIZE: Final = 33432
STATUS_SIZE_MIN: Final = 64
HANDSETS: Final = 4

# Byte offsets of the fields the package touches directly.
OFFSETS: Final[dict[str, int]] = {
    "HIDMouseRequest": 0x0001,
    "HIDCalRequest": 0x0002,
    "HIDAntiShakeRequest": 0x0003,
    "HIDDefaultRequest": 0x0004,
    "HIDMappingsRequest": 0x0005,
    "StopRequest": 0x0006,
    "StartMotorRequest": 0x0008,
    "LearnInProgress": 0x0009,
    "LearnCodeRequest": 0x000A,
    "GetIRCodeRequest": 0x000B,
    "SendIRCodeRequest": 0x000C,
    "ActivateCursor": 0x000D,
    "InfoBuffer": 0x0030,
    "DeviceName": 0x00B0,
    "TavroMenuPath": 0x0130,
    "IniFileName": 0x0230,
    "FrequencyRequest": 0x085E,
    "DebugRequest": 0x085F,
    "GetInfoRequest": 0x0860,
    "SetExposureRequest": 0x0861,
    "SetGainRequest": 0x0862,
    "SetThreshRequest": 0x0863,
    "IRBlastRequest": 0x0864,
    "StopMotorRequest": 0x0865,
    "ClearHatRequest": 0x0866,
    "ProgramIDRequest": 0x0867,
    "DistanceScaling": 0x088F,
    "MoveEnabled": 0x0890,
    "DrawBitmaps": 0x0891,
    "DirectPoint": 0x0892,
    "SmartPoint": 0x0894,
    "MoveAtBoundary": 0x0895,
    "MouseClick": 0x0896,
    "QuickClick": 0x0897,
    "SmartTracking": 0x0898,
    "RollCounterMax": 0x0A74,
    "InfoLength": 0x0A80,
    "PowerThresh": 0x0A9C,
    "LastError": 0x0AC4,
    "PODChannel": 0x0AE8,
    "CurrentUser": 0x0AF0,
    "DistanceThresh": 0x0CC8,
    "DistanceCounterMax": 0x0CD0,
    "CThetaX": 0x0D00,
}

# The request flags an attaching process's start-up clears.
REQUEST_FLAGS: Final = (
    "HIDMouseRequest", "HIDCalRequest", "HIDAntiShakeRequest", "HIDDefaultRequest",
    "HIDMappingsRequest", "StartMotorRequest", "LearnCodeRequest", "SendIRCodeRequest",
    "FrequencyRequest", "DebugRequest", "GetInfoRequest", "SetExposureRequest",
    "SetGainRequest", "SetThreshRequest", "IRBlastRequest", "StopMotorRequest",
    "ClearHatRequest", "ProgramIDRequest",
)
# The live pointing state the start-up resets (bytes), and the active handset.
LIVE_BYTES: Final = (
    "DirectPoint", "SmartPoint", "MoveAtBoundary", "MoveEnabled", "SmartTracking",
    "MouseClick", "QuickClick", "DrawBitmaps",
)

_IPC_STAT: Final = 2
_SHM_RDONLY: Final = 0o10000


def _libc() -> ctypes.CDLL:
    libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
    libc.shmget.restype = ctypes.c_int
    libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    libc.shmat.restype = ctypes.c_void_p
    libc.shmdt.argtypes = [ctypes.c_void_p]
    libc.shmdt.restype = ctypes.c_int
    libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
    libc.shmctl.restype = ctypes.c_int
    return libc


_LIBC: Final = _libc()


def segment_size(segment_id: int) -> int:
    """The size of a segment, from IPC_STAT (struct shmid_ds: shm_segsz follows ipc_perm)."""
    buffer = ctypes.create_string_buffer(256)
    if _LIBC.shmctl(segment_id, _IPC_STAT, buffer) != 0:
        return -1
    # struct ipc_perm is 48 bytes on 64-bit Linux; shm_segsz comes next.
    return struct.unpack_from("=Q", buffer.raw, 48)[0]


class Segment:
    """One attachment of a System V segment, with typed access by offset."""

    def __init__(self, key: int, size: int, read_only: bool = False) -> None:
        segment_id = _LIBC.shmget(key, 0, 0)
        if segment_id < 0:
            error = ctypes.get_errno()
            raise OSError(error, f"no shared segment with key {key}: {os.strerror(error)}")
        actual = segment_size(segment_id)
        if actual < size:
            raise OSError(0, f"the shared segment with key {key} has {actual} bytes, not {size}; "
                             f"remove it with: ipcrm -M {key}")
        address = _LIBC.shmat(segment_id, None, _SHM_RDONLY if read_only else 0)
        if address is None or address == ctypes.c_void_p(-1).value:
            error = ctypes.get_errno()
            raise OSError(error, f"cannot attach the shared segment with key {key}: "
                                 f"{os.strerror(error)}")
        self._address: int | None = address
        self.size = size

    def close(self) -> None:
        if self._address is not None:
            _LIBC.shmdt(self._address)
            self._address = None

    def _at(self, offset: int, ctype: type) -> ctypes._SimpleCData:  # type: ignore[type-arg]
        if self._address is None:
            raise ValueError("the segment is detached")
        if not 0 <= offset <= self.size - ctypes.sizeof(ctype):
            raise IndexError(f"offset {offset} outside the segment")
        return ctype.from_address(self._address + offset)  # type: ignore[attr-defined,no-any-return]

    def u8(self, offset: int) -> int:
        return int(self._at(offset, ctypes.c_uint8).value)

    def set_u8(self, offset: int, value: int) -> None:
        self._at(offset, ctypes.c_uint8).value = value

    def i32(self, offset: int) -> int:
        return int(self._at(offset, ctypes.c_int32).value)

    def set_i32(self, offset: int, value: int) -> None:
        self._at(offset, ctypes.c_int32).value = value

    def i64(self, offset: int) -> int:
        return int(self._at(offset, ctypes.c_int64).value)

    def u64(self, offset: int) -> int:
        return int(self._at(offset, ctypes.c_uint64).value)

    def f64(self, offset: int) -> float:
        return float(self._at(offset, ctypes.c_double).value)

    def set_f64(self, offset: int, value: float) -> None:
        self._at(offset, ctypes.c_double).value = value

    def read(self, offset: int, length: int) -> bytes:
        if self._address is None:
            raise ValueError("the segment is detached")
        if not (0 <= offset and 0 <= length and offset + length <= self.size):
            raise IndexError(f"bytes {offset}..{offset + length} outside the segment")
        return ctypes.string_at(self._address + offset, length)

    def write(self, offset: int, data: bytes) -> None:
        if self._address is None:
            raise ValueError("the segment is detached")
        if not (0 <= offset and offset + len(data) <= self.size):
            raise IndexError(f"bytes {offset}..{offset + len(data)} outside the segment")
        ctypes.memmove(self._address + offset, data, len(data))

    def text(self, offset: int, capacity: int) -> str:
        raw = self.read(offset, capacity)
        return raw.split(b"\0", 1)[0].decode("utf-8", "replace")

    def set_text(self, offset: int, capacity: int, value: str) -> None:
        data = value.encode("utf-8")
        if len(data) >= capacity:
            raise ValueError(f"text of {len(data)} bytes does not fit in {capacity - 1}")
        self.write(offset, data + b"\0" * (capacity - len(data)))


def try_attach(key: int, size: int, read_only: bool = False) -> Segment | None:
    """The segment, or None when it does not exist or cannot be attached."""
    try:
        return Segment(key, size, read_only)
    except OSError:
        return None
