"""The kit's shared record and other System V segments, read and written in place.

The record's layout comes from _layout, which the build makes from the C
header that defines the record and checks against the compiler; fields are
addressed by name and read with the type the header gives them.  The package
reads most values through libTavroDev's getters and uses the record directly
only for what the C API does not expose: request flags (to see whether the
daemon took a command up, and to withdraw one that timed out) and a few
settings without a C setter.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
from typing import Any, Final, TypeAlias

try:
    from . import _layout
except ImportError:
    raise ImportError(
        "tavro._layout is missing: it is made from the kit's record header when the kit is "
        "built; import the package from the build tree (build/python/site) or install the kit"
    ) from None

RECORD_KEY: Final = _layout.TAVRO_SHARED_MEMORY_KEY
RECORD_SIZE: Final = _layout.SIZE
HANDSETS: Final = _layout.TAVRO_HANDSETS

_Scalar: TypeAlias = "type[ctypes._SimpleCData[Any]]"
_INTEGERS: Final[dict[str, _Scalar]] = {
    "int8_t": ctypes.c_int8, "uint8_t": ctypes.c_uint8, "int16_t": ctypes.c_int16,
    "uint16_t": ctypes.c_uint16, "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32,
    "int64_t": ctypes.c_int64, "uint64_t": ctypes.c_uint64,
}
_REALS: Final[dict[str, _Scalar]] = {"float": ctypes.c_float, "double": ctypes.c_double}

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
    libc.semget.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
    libc.semget.restype = ctypes.c_int
    libc.semctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
    libc.semctl.restype = ctypes.c_int
    return libc


LIBC: Final = _libc()


def segment_size(segment_id: int) -> int:
    """The size of a segment, from IPC_STAT (struct shmid_ds: shm_segsz follows ipc_perm)."""
    buffer = ctypes.create_string_buffer(256)
    if LIBC.shmctl(segment_id, _IPC_STAT, buffer) != 0:
        return -1
    # struct ipc_perm is 48 bytes on 64-bit Linux; shm_segsz comes next.
    size: int = struct.unpack_from("=Q", buffer.raw, 48)[0]
    return size


class Segment:
    """One attachment of a System V segment, with typed access by offset."""

    def __init__(self, key: int, size: int, read_only: bool = False) -> None:
        segment_id = LIBC.shmget(key, 0, 0)
        if segment_id < 0:
            error = ctypes.get_errno()
            raise OSError(error, f"no shared segment with key {key}: {os.strerror(error)}")
        actual = segment_size(segment_id)
        if actual < size:
            raise OSError(0, f"the shared segment with key {key} has {actual} bytes, not {size}; "
                             f"remove it with: ipcrm -M {key}")
        address = LIBC.shmat(segment_id, None, _SHM_RDONLY if read_only else 0)
        if address is None or address == ctypes.c_void_p(-1).value:
            error = ctypes.get_errno()
            raise OSError(error, f"cannot attach the shared segment with key {key}: "
                                 f"{os.strerror(error)}")
        self._address: int | None = int(address)
        self.size = size

    def close(self) -> None:
        if self._address is not None:
            LIBC.shmdt(self._address)
            self._address = None

    def _base(self, offset: int, length: int) -> int:
        if self._address is None:
            raise ValueError("the segment is detached")
        if not (0 <= offset and 0 <= length and offset + length <= self.size):
            raise IndexError(f"bytes {offset}..{offset + length} outside the segment")
        return self._address + offset

    def scalar(self, offset: int, ctype: _Scalar) -> ctypes._SimpleCData[Any]:
        return ctype.from_address(self._base(offset, ctypes.sizeof(ctype)))

    def i32(self, offset: int) -> int:
        return int(self.scalar(offset, ctypes.c_int32).value)

    def i64(self, offset: int) -> int:
        return int(self.scalar(offset, ctypes.c_int64).value)

    def u64(self, offset: int) -> int:
        return int(self.scalar(offset, ctypes.c_uint64).value)

    def read(self, offset: int, length: int) -> bytes:
        return ctypes.string_at(self._base(offset, length), length)

    def write(self, offset: int, data: bytes) -> None:
        ctypes.memmove(self._base(offset, len(data)), data, len(data))

    def text(self, offset: int, capacity: int) -> str:
        raw = self.read(offset, capacity)
        return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


Layout: TypeAlias = "dict[str, tuple[int, str, int]]"


class Fields:
    """A segment whose fields are addressed by name, with the types of a made layout."""

    def __init__(self, segment: Segment, layout: Layout) -> None:
        self._segment = segment
        self._layout = layout

    def close(self) -> None:
        self._segment.close()

    def _field(self, name: str, index: int, kinds: dict[str, _Scalar]) -> tuple[int, _Scalar]:
        offset, type_name, count = self._layout[name]
        if type_name not in kinds:
            raise TypeError(f"the field {name} is {type_name}, not one of {', '.join(kinds)}")
        if not 0 <= index < count:
            raise IndexError(f"the field {name} has {count} elements, not {index + 1}")
        ctype = kinds[type_name]
        return offset + index * ctypes.sizeof(ctype), ctype

    def _bytes(self, name: str) -> tuple[int, int]:
        offset, type_name, count = self._layout[name]
        if type_name not in ("uint8_t", "char"):
            raise TypeError(f"the field {name} is {type_name}, not bytes or text")
        return offset, count

    def integer(self, name: str, index: int = 0) -> int:
        return int(self._segment.scalar(*self._field(name, index, _INTEGERS)).value)

    def set_integer(self, name: str, value: int, index: int = 0) -> None:
        self._segment.scalar(*self._field(name, index, _INTEGERS)).value = value

    def real(self, name: str, index: int = 0) -> float:
        return float(self._segment.scalar(*self._field(name, index, _REALS)).value)

    def set_real(self, name: str, value: float, index: int = 0) -> None:
        self._segment.scalar(*self._field(name, index, _REALS)).value = value

    def data(self, name: str, length: int) -> bytes:
        """The first `length` bytes of a byte array (clamped to its size)."""
        offset, count = self._bytes(name)
        return self._segment.read(offset, max(0, min(length, count)))

    def text(self, name: str) -> str:
        return self._segment.text(*self._bytes(name))

    def set_text(self, name: str, value: str) -> None:
        offset, count = self._bytes(name)
        data = value.encode("utf-8")
        if len(data) >= count:
            raise ValueError(f"text of {len(data)} bytes does not fit in {count - 1}")
        self._segment.write(offset, data + b"\0" * (count - len(data)))


def attach_record() -> Fields:
    """The kit's shared record; OSError when it cannot be attached."""
    return Fields(Segment(RECORD_KEY, RECORD_SIZE), _layout.FIELDS)


def try_attach(key: int, size: int, read_only: bool = False) -> Segment | None:
    """The segment, or None when it does not exist or cannot be attached."""
    try:
        return Segment(key, size, read_only)
    except OSError:
        return None
