"""The kit's settings with their real types and the ranges the `tavro` client accepts.

Every change is stored in the shared record, so the running device uses it at
once, and saved in the settings file (~/.QuorVel/Tavro.xml) the way the C
setters do: the whole file is rewritten from the record.
"""

from __future__ import annotations

import ctypes
import math
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Final, Union

from .errors import TavroError

if TYPE_CHECKING:
    from .kit import Kit

Value = Union[float, int, bool, str]

_BAUD_RATES: Final = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800,
                      500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000,
                      3000000, 3500000, 4000000)


@dataclass(frozen=True)
class Setting:
    """One key of the settings file: its type, what it accepts and what it means."""

    name: str
    type: type
    accepts: str
    check: Callable[[Any], bool]
    meaning: str


def _number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _whole(low: int, high: int) -> Callable[[Any], bool]:
    return lambda v: isinstance(v, int) and not isinstance(v, bool) and low <= v <= high


def _text(limit: int, absolute: bool = False) -> Callable[[Any], bool]:
    def check(v: Any) -> bool:
        if not isinstance(v, str) or not v or v != v.strip() or "\0" in v:
            return False
        if len(v.encode("utf-8")) > limit:
            return False
        return not absolute or v.startswith("/")
    return check


_ANY: Final = _number
_POSITIVE: Final = lambda v: _number(v) and v > 0  # noqa: E731
_NON_NEGATIVE: Final = lambda v: _number(v) and v >= 0  # noqa: E731
_NON_ZERO: Final = lambda v: _number(v) and v != 0  # noqa: E731
_FLAG: Final = lambda v: isinstance(v, bool) or v in (0, 1)  # noqa: E731

# In the order of the settings file.
SETTINGS: Final[tuple[Setting, ...]] = (
    Setting("D0", float, "a number > 0", _POSITIVE, "distance constant: D0 / spot separation"),
    Setting("Mx", float, "a number, not 0", _NON_ZERO, "calibration: screen x = Mx * aim + Bx"),
    Setting("Bx", float, "a number", _ANY, "calibration offset in x"),
    Setting("My", float, "a number, not 0", _NON_ZERO, "calibration: screen y = My * aim + By"),
    Setting("By", float, "a number", _ANY, "calibration offset in y"),
    Setting("CPixel", float, "a number > 0", _POSITIVE, "camera pixel scale"),
    Setting("DistanceThresh", float, "a number >= 0", _NON_NEGATIVE,
            "distance change that counts as moving closer or away"),
    Setting("StabThresh", float, "a number >= 0 (camera pixels)", _NON_NEGATIVE,
            "motion below which the pointer is held steady"),
    Setting("CThetaX", float, "a number", _ANY, "roll angle constant"),
    Setting("CalDistance", float, "a number > 0", _POSITIVE, "distance of the calibration"),
    Setting("Dmin", float, "a number >= 0", _NON_NEGATIVE, "smallest distance used for scaling"),
    Setting("DistanceCounterMax", float, "a number > 0", _POSITIVE,
            "packets over which distance changes are counted"),
    Setting("XYCounterMax", int, "1 to 60 (packets averaged at rest)", _whole(1, 60),
            "packets averaged while the pointer rests"),
    Setting("RollCounterMax", int, "a whole number >= 0", _whole(0, 2**31 - 1),
            "packets over which roll is counted"),
    Setting("SubframeInterpolation", int, "0 to 10 (pointer steps per packet)", _whole(0, 10),
            "pointer steps per packet"),
    Setting("RotationCompensation", bool, "0 or 1", _FLAG, "compensate the handset's roll"),
    Setting("TavroMenu", bool, "0 or 1", _FLAG, "show the kit's menu"),
    Setting("Sleepingfactor", int, "0 to 1000 (milliseconds per packet step)", _whole(0, 1000),
            "milliseconds a packet's pointer steps take"),
    Setting("PowerThresh", int, "0 to 65535", _whole(0, 65535),
            "spot power below which a spot is ignored"),
    Setting("ClickStill", int, "0 to 1000 (packets)", _whole(0, 1000),
            "packets the pointer is held still around a click"),
    Setting("XcalScreen", int, "1 to 32767 (pixels)", _whole(1, 32767),
            "width of the calibration screen"),
    Setting("YcalScreen", int, "1 to 32767 (pixels)", _whole(1, 32767),
            "height of the calibration screen"),
    Setting("BaudRate", int, "a serial speed: 9600, 19200, 38400, 57600, 115200, 230400, ...",
            lambda v: isinstance(v, int) and not isinstance(v, bool) and v in _BAUD_RATES,
            "the receiver's serial speed"),
    Setting("DistanceScaling", bool, "0 or 1", _FLAG, "scale motion with the distance"),
    Setting("DeviceName", str, "an absolute path of at most 127 characters",
            _text(127, absolute=True), "the receiver's tty"),
    Setting("TavroMenuPath", str, "a text of 1 to 255 characters, no blanks at the ends",
            _text(255), "the kit's menu program"),
)
BY_NAME: Final = {s.name: s for s in SETTINGS}

# Keys the C API has no setter for: stored in the record by offset, then the
# file is rewritten from the record.
_RECORD_DOUBLES: Final = ("DistanceThresh", "CThetaX", "DistanceCounterMax")
_RECORD_INTS: Final = ("RollCounterMax", "PowerThresh")


class Settings(Mapping[str, Value]):
    """The settings as a mapping (``kit.settings["Mx"]``) and as attributes
    (``kit.settings.Mx``).  Assigning validates the value, stores it and saves the
    file; a value out of range raises ValueError, an unknown key KeyError, a file
    that cannot be written TavroError."""

    _kit: Kit

    def __init__(self, kit: Kit) -> None:
        object.__setattr__(self, "_kit", kit)

    # ---- Mapping ----
    def __getitem__(self, name: str) -> Value:
        setting = self._setting(name)
        kit = self._kit
        lib = kit._lib
        record = kit._record
        if name in _RECORD_DOUBLES:
            return record.real(name)
        if name in _RECORD_INTS:
            return record.integer(name)
        if name == "DeviceName":
            return record.text("DeviceName")
        if name == "TavroMenuPath":
            buffer = ctypes.create_string_buffer(256)
            lib.TV_GetTavroMenuPath(buffer)
            return buffer.value.decode("utf-8", "replace")
        if name in ("XcalScreen", "YcalScreen"):
            width, height = ctypes.c_int(), ctypes.c_int()
            lib.TV_GetCalScreen(ctypes.byref(width), ctypes.byref(height))
            return width.value if name == "XcalScreen" else height.value
        if name in ("CalDistance", "Dmin"):
            real = ctypes.c_double()
            getattr(lib, f"TV_Get{name}")(ctypes.byref(real))
            return float(real.value)
        if name == "TavroMenu":
            byte = ctypes.create_string_buffer(1)
            lib.TV_GetTavroMenu(byte)
            return byte.raw[0] != 0
        if name == "DistanceScaling":
            return record.integer("DistanceScaling") != 0
        getter = {"CPixel": "TV_GetCpixel", "Sleepingfactor": "TV_GetSleepingFactor"}.get(
            name, f"TV_Get{name}")
        value = getattr(lib, getter)()
        if setting.type is bool:
            return bool(value)
        return float(value) if setting.type is float else int(value)

    def __iter__(self) -> Iterator[str]:
        return iter(BY_NAME)

    def __len__(self) -> int:
        return len(SETTINGS)

    def __setitem__(self, name: str, value: Value) -> None:
        setting = self._setting(name)
        if not setting.check(value):
            raise ValueError(f"{name} takes {setting.accepts}; {value!r} is not accepted")
        self._store(name, value)

    # ---- Attributes ----
    def __getattr__(self, name: str) -> Value:
        if name in BY_NAME:
            return self[name]
        raise AttributeError(f"no setting named {name!r}; the settings are: {', '.join(BY_NAME)}")

    def __setattr__(self, name: str, value: Value) -> None:
        if name not in BY_NAME:
            raise AttributeError(f"no setting named {name!r}; the settings are: {', '.join(BY_NAME)}")
        self[name] = value

    def __dir__(self) -> list[str]:
        return sorted(BY_NAME)

    def __repr__(self) -> str:
        return "Settings(" + ", ".join(f"{k}={self[k]!r}" for k in BY_NAME) + ")"

    # ---- Internals ----
    @staticmethod
    def _setting(name: str) -> Setting:
        try:
            return BY_NAME[name]
        except KeyError:
            raise KeyError(f"no setting named {name!r}; the settings are: {', '.join(BY_NAME)}") from None

    def _store(self, name: str, value: Value) -> None:
        kit = self._kit
        kit._check_open()
        lib = kit._lib
        record = kit._record
        if isinstance(value, bool):
            value = int(value)
        result: int
        if name in _RECORD_DOUBLES or name in _RECORD_INTS or name == "DeviceName":
            if name == "DeviceName":
                record.set_text(name, str(value))
            elif name in _RECORD_INTS:
                record.set_integer(name, int(value))
            else:
                record.set_real(name, float(value))
            # Any persistent setter rewrites the whole file from the record.
            result = lib.TV_SetStabThresh(lib.TV_GetStabThresh())
        elif name == "TavroMenuPath":
            lib.TV_SetTavroMenuPath(str(value).encode("utf-8"))
            result = lib.TV_SetStabThresh(lib.TV_GetStabThresh())
        elif name in ("XcalScreen", "YcalScreen"):
            width, height = self["XcalScreen"], self["YcalScreen"]
            if name == "XcalScreen":
                width = value
            else:
                height = value
            result = lib.TV_SetCalScreen(int(width), int(height))
        elif name == "CalDistance":
            lib.TV_SetCalDistance(float(value))
            result = lib.TV_SetStabThresh(lib.TV_GetStabThresh())
        elif name in ("XYCounterMax", "TavroMenu"):
            getattr(lib, f"TV_Set{name}")(int(value))
            result = lib.TV_SetStabThresh(lib.TV_GetStabThresh())
        else:
            setter = {"CPixel": "TV_SetCpixel", "Sleepingfactor": "TV_SetSleepingFactor"}.get(
                name, f"TV_Set{name}")
            setting = BY_NAME[name]
            argument = float(value) if setting.type is float else int(value)
            result = getattr(lib, setter)(argument)
        if result != 0:
            raise TavroError(f"{name} is {value!r} in the running kit, but the settings file "
                             f"{kit.settings_file} could not be written (error {result})")
