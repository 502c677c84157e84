"""The kit as a Python object: handsets, settings, receiver commands and a watch."""

from __future__ import annotations

import asyncio
import ctypes
import enum
import os
import time
from collections.abc import AsyncIterator, Callable, Iterator
from dataclasses import dataclass
from typing import Final

from . import _library, _record, _status
from .errors import NoAnswerError, NoDaemonError, NoDesktopError, ReceiverError, TavroError
from .settings import Settings

HANDSETS: Final = _record.HANDSETS
# How long the daemon has to take a request up (its writer looks every 50 ms).
SERVE_TIMEOUT: Final = 2.0
# How long a receiver has to report an error for a command it refused.
ERROR_WINDOW: Final = 0.15
_POLL: Final = 0.005


class Key(enum.Enum):
    """The handset's keys, by their bit in the button word (a 0 bit means held)."""

    NORTH_EAST = 0
    NORTH = 1
    NORTH_WEST = 2
    EAST = 3
    CENTER = 4
    WEST = 5
    SOUTH_EAST = 6
    SOUTH = 7
    SOUTH_WEST = 8
    MENU = 9
    B10 = 10
    B11 = 11
    B12 = 12
    B15 = 15


class PointingMode(enum.Enum):
    """How the handset drives the pointer."""

    DIRECT = "direct"  # the pointer goes where the handset aims
    SMART = "smart"    # moves are relative, stopping at the screen's edges
    GAME = "game"      # from wherever the pointer is to the aimed point


def keys_of(buttons: int) -> frozenset[Key]:
    """The keys held in an active-low button word."""
    return frozenset(k for k in Key if not (buttons >> k.value) & 1)


@dataclass(frozen=True)
class HandsetState:
    """One handset's values at one moment."""

    index: int
    x: float
    y: float
    raw: tuple[float, float]
    roll: float
    distance: float
    powers: tuple[int, int]
    buttons: frozenset[Key]


@dataclass(frozen=True)
class Snapshot:
    """Every handset's values and the active handset, read together.  `stale` is
    true when they are not live (the daemon's receiver is not connected, or no
    packet came for 2 s): they are then the last ones received, and
    `stale_reason` says why."""

    time: float  # time.monotonic() when it was read
    active: int
    handsets: tuple[HandsetState, ...]
    stale: bool = False
    stale_reason: str = ""


@dataclass(frozen=True)
class Info:
    """The receiver's and the handset's identity, as the receiver reports it."""

    handset_copyright: str
    handset_version: str
    handset_date: str
    receiver_copyright: str
    receiver_version: str
    receiver_date: str
    assignment_table: bytes


@dataclass(frozen=True)
class DaemonState:
    """What the device daemon publishes about itself."""

    running: bool
    pid: int
    receiver_connected: bool
    receiver_path: str
    output: str
    packets_decoded: int
    last_packet_age: float | None  # seconds since the newest packet, None before any
    settings_file: str
    settings_loaded_by: str
    profile: str = ""  # the key bindings' profile in use ("builtin": the kit's own keys)


@dataclass(frozen=True)
class Binding:
    """What one key does in a profile of the bindings file."""

    key: str      # "up", "down-left", "centre", ...
    trigger: str  # as the file writes it ("up hold 600", "handset 2 menu"); the key for built-in
    action: str   # as the file writes it ("key Escape"), or "builtin"
    line: int     # its line in the bindings file, 0 for the built-in behaviour


def _check_handset(index: int) -> int:
    if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < HANDSETS:
        raise ValueError(f"handset index must be 0 to {HANDSETS - 1}, not {index!r}")
    return index


def _check_int(name: str, value: int, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be a whole number from {low} to {high}, not {value!r}")
    return value


class Handset:
    """One handset's live values, read from the shared record on every access.
    Without a device daemon there are none: reading them raises NoDaemonError."""

    def __init__(self, kit: Kit, index: int) -> None:
        self._kit = kit
        self.index = _check_handset(index)

    def _get(self, name: str) -> float:
        self._kit._check_live()
        return self._read(name)

    def _read(self, name: str) -> float:
        return float(getattr(self._kit._lib, name)(self.index))

    @property
    def x(self) -> float:
        """Pointer x in screen pixels."""
        return self._get("TV_GetX")

    @property
    def y(self) -> float:
        """Pointer y in screen pixels."""
        return self._get("TV_GetY")

    @property
    def raw(self) -> tuple[float, float]:
        """The aiming point in camera pixels (centre 176, 144)."""
        return (self._get("TV_GetRawX"), self._get("TV_GetRawY"))

    @property
    def roll(self) -> float:
        """Roll in radians."""
        return self._get("TV_GetRoll")

    @property
    def distance(self) -> float:
        """Distance: D0 divided by the spots' separation in camera pixels."""
        return self._get("TV_GetDistance")

    @property
    def powers(self) -> tuple[int, int]:
        """The two spots' powers."""
        return (int(self._get("TV_GetPower1")), int(self._get("TV_GetPower2")))

    @property
    def buttons(self) -> frozenset[Key]:
        """The keys held now."""
        return keys_of(int(self._get("TV_GetButton")))

    @property
    def stabilized(self) -> bool:
        """Whether the pointer of this handset is steadied at rest (a setting)."""
        self._kit._check_open()
        return self._read("TV_GetStabilize") != 0

    @stabilized.setter
    def stabilized(self, on: bool) -> None:
        self._kit._check_open()
        self._kit._saved(self._kit._lib.TV_SetStabilize(1 if on else 0, self.index), "Stabilize")

    def state(self) -> HandsetState:
        """All of this handset's values at once."""
        self._kit._check_live()
        return self._state()

    def _state(self) -> HandsetState:
        read = self._read
        return HandsetState(self.index, read("TV_GetX"), read("TV_GetY"),
                            (read("TV_GetRawX"), read("TV_GetRawY")), read("TV_GetRoll"),
                            read("TV_GetDistance"),
                            (int(read("TV_GetPower1")), int(read("TV_GetPower2"))),
                            keys_of(int(read("TV_GetButton"))))

    def __repr__(self) -> str:
        try:
            return f"Handset({self.index}, x={self.x:.1f}, y={self.y:.1f})"
        except TavroError as error:  # shown, not raised: a repr must not fail
            return f"Handset({self.index}, {error})"


class _Ir:
    """Infrared codes through the receiver."""

    def __init__(self, kit: Kit) -> None:
        self._kit = kit

    def send(self, code: bytes) -> None:
        """Sends a code (2 to 510 bytes, an even number) out of the receiver."""
        code = bytes(code)
        if not 2 <= len(code) <= 510 or len(code) % 2:
            raise ValueError(f"an infrared code has 2 to 510 bytes, an even number; not {len(code)}")
        kit = self._kit
        kit._command("send code", "SendIRCodeRequest",
                     lambda: kit._lib.TV_SendIRCode(code, len(code)))

    def blast(self) -> None:
        """Makes the receiver send its infrared blast."""
        kit = self._kit
        kit._command("blast", "IRBlastRequest", kit._lib.TV_SendIRBlast)

    def learn(self, timeout: float = 30.0) -> bytes:
        """Waits until the receiver has read a code from a remote pointed at it and
        returns the code.  NoAnswerError when none came within `timeout` seconds."""
        if not timeout > 0:
            raise ValueError(f"timeout must be > 0 seconds, not {timeout!r}")
        kit = self._kit
        error_before = kit._request("learn", "LearnCodeRequest", kit._lib.TV_LearnCode)
        record = kit._record
        deadline = time.monotonic() + timeout
        while kit._lib.TV_GetIRActive() != 0:
            error = record.integer("LastError")
            if error != error_before:
                raise ReceiverError(f"learning failed: the receiver reported error {error}", error)
            if time.monotonic() >= deadline:
                raise NoAnswerError(f"no infrared code received within {timeout:g} s")
            time.sleep(_POLL)
        buffer = ctypes.create_string_buffer(512)
        length = ctypes.c_int()
        kit._lib.TV_GetIRCode(buffer, ctypes.byref(length))
        if not 0 < length.value <= 510:
            raise TavroError(f"the receiver returned no usable code (length {length.value})")
        return buffer.raw[:length.value]


class _Motor:
    """The handset's vibration motor."""

    def __init__(self, kit: Kit) -> None:
        self._kit = kit

    def start(self, mode: int = 50, level: int = 1134, value: int = 0) -> None:
        """Starts the motor: mode 25, 50, 75 (or other: 100), level 0 to 2268,
        value 0 to 255."""
        _check_int("level", level, 0, 2268)
        _check_int("value", value, 0, 255)
        if isinstance(mode, bool) or not isinstance(mode, int):
            raise ValueError(f"mode must be 25, 50, 75 or 100, not {mode!r}")
        kit = self._kit
        kit._command("motor start", "StartMotorRequest",
                     lambda: kit._lib.TV_StartMotor(mode, level, value))

    def stop(self) -> None:
        """Stops the motor."""
        kit = self._kit
        kit._check_daemon()
        kit._command("motor stop", "StopMotorRequest",
                     lambda: kit._record.set_integer("StopMotorRequest", 1))


class Kit:
    """The Tavro kit, attached.  Use as a context manager::

        with tavro.Kit() as kit:
            print(kit.handset(0).x, kit.active, kit.settings.StabThresh)

    Attaching neither disturbs a running device (the active handset, the pointing
    mode and pending requests are kept) nor needs one; receiver commands need the
    device daemon tavrod."""

    def __init__(self) -> None:
        self._lib = _library.load()
        if self._lib.TV_Attach() != 0:
            raise TavroError(_record_problem())
        try:
            self._record = _record.attach_record()
        except OSError as error:
            raise TavroError(f"cannot attach the kit's shared record: {error.strerror or error}") from None
        self._open = True
        self._x_display = _x_display_opens()
        self.settings = Settings(self)
        self.ir = _Ir(self)
        self.motor = _Motor(self)

    # ---- Life ----
    def close(self) -> None:
        """Detaches this object's view of the record; the kit keeps running."""
        if self._open:
            self._open = False
            self._record.close()

    def __enter__(self) -> Kit:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _check_open(self) -> None:
        if not self._open:
            raise TavroError("the kit object is closed")

    def _check_live(self) -> DaemonState:
        """The running daemon's state; NoDaemonError when none runs, as the record's
        tracking values are then not live."""
        self._check_open()
        state = _status.read()
        if not state.running:
            raise NoDaemonError(_status.no_daemon())
        return state

    # ---- Tracking ----
    def handset(self, index: int) -> Handset:
        """Handset `index` (0 to 3)."""
        self._check_open()
        return Handset(self, index)

    @property
    def active(self) -> int:
        """The handset that drives the pointer (0 to 3); NoDaemonError without a daemon."""
        self._check_live()
        return int(self._lib.TV_GetCurrentUser())

    def snapshot(self) -> Snapshot:
        """Every handset's values and the active handset, marked stale when they are
        not live; NoDaemonError without a daemon."""
        state = self._check_live()
        reason = _status.staleness(state)
        return Snapshot(time.monotonic(), int(self._lib.TV_GetCurrentUser()),
                        tuple(Handset(self, i)._state() for i in range(HANDSETS)),
                        stale=bool(reason), stale_reason=reason)

    def watch(self, interval: float = 0.03, count: int | None = None) -> Watch:
        """Snapshots every `interval` seconds, `count` of them (None: until the kit
        is closed or the device stops).  Usable with ``for`` and ``async for``.
        Snapshots whose values are not live are marked stale; when the daemon goes
        away without stopping the device (it was killed), the watch raises
        NoDaemonError."""
        if not interval > 0:
            raise ValueError(f"interval must be > 0 seconds, not {interval!r}")
        if count is not None:
            _check_int("count", count, 0, 2**62)
        return Watch(self, interval, count)

    # ---- Pointer ----
    @property
    def pointing(self) -> PointingMode:
        """The pointing mode: direct, smart or game (assignable)."""
        self._check_open()
        record = self._record
        if record.integer("DirectPoint"):
            return PointingMode.DIRECT
        if record.integer("SmartPoint"):
            return PointingMode.SMART
        return PointingMode.GAME

    @pointing.setter
    def pointing(self, mode: PointingMode | str) -> None:
        self._check_open()
        mode = PointingMode(mode)
        setter = {PointingMode.DIRECT: self._lib.TV_SetDirectPoint,
                  PointingMode.SMART: self._lib.TV_SetSmartPoint,
                  PointingMode.GAME: self._lib.TV_SetGamePoint}[mode]
        setter()

    @property
    def pointer_enabled(self) -> bool:
        """Whether the handset moves the desktop's pointer (saved in the settings)."""
        self._check_open()
        return int(self._lib.TV_GetActivateCursor()) != 0

    @pointer_enabled.setter
    def pointer_enabled(self, on: bool) -> None:
        self._check_open()
        self._saved(self._lib.TV_SetActivateCursor(1 if on else 0), "ActivateCursor")

    def send_key(self, keysym: int, mode: str = "tap") -> None:
        """Types a key given by its X key symbol (e.g. 0xff0d, Return): mode "tap",
        "press" or "release".  NoDesktopError when no route reaches a desktop."""
        self._check_open()
        modes = {"tap": 0, "press": 1, "release": 2}
        if mode not in modes:
            raise ValueError(f"mode must be one of {', '.join(modes)}, not {mode!r}")
        _check_int("keysym", keysym, 1, 0x1FFFFFFF)
        problem = self._key_route_problem()
        if problem:
            raise NoDesktopError(problem)
        if self._lib.TV_SendKeyEvent(keysym, -1, modes[mode], 0) == 0:
            raise NoDesktopError(
                f"the key {keysym:#x} was not typed: the desktop's keymap has no key for it, "
                "or no desktop read the kit's virtual keyboard (the system log says which: "
                "journalctl -t Tavro)")

    def _key_route_problem(self) -> str:
        """Why a key would reach no desktop, or "" when one of the kit's routes
        takes it: the daemon's virtual keyboard (a daemon with the uinput output),
        a virtual keyboard of this process (a Wayland session with /dev/uinput),
        or the X display this process opened."""
        state = _status.read()
        if state.running and state.output == "uinput":
            return ""
        if _wayland_session() and os.access("/dev/uinput", os.W_OK):
            return ""
        if self._x_display:
            return ""
        display = os.environ.get("DISPLAY", "")
        no_x = (f"the X display {display} could not be opened" if display
                else "DISPLAY is not set")
        daemon = (f"the device daemon's output is {state.output or 'not chosen yet'}"
                  if state.running else "no device daemon runs")
        return (f"the key was not sent: {no_x} and {daemon}, so it would reach no desktop; "
                "set DISPLAY to the desktop's display, or run tavrod --output uinput")

    # ---- Receiver commands ----
    def camera(self, threshold: int | None = None, gain: int | None = None,
               exposure: int | None = None) -> None:
        """Sets the camera's threshold (0 to 127), gain (0 to 63) and exposure
        (0 to 255); those given, in that order."""
        if threshold is None and gain is None and exposure is None:
            raise ValueError("camera() needs threshold, gain or exposure")
        if threshold is not None:
            _check_int("threshold", threshold, 0, 127)
        if gain is not None:
            _check_int("gain", gain, 0, 63)
        if exposure is not None:
            _check_int("exposure", exposure, 0, 255)
        lib = self._lib
        if threshold is not None:
            self._command("camera threshold", "SetThreshRequest", lambda: lib.TV_SetThreshold(threshold))
        if gain is not None:
            self._command("camera gain", "SetGainRequest", lambda: lib.TV_SetGain(gain))
        if exposure is not None:
            self._command("camera exposure", "SetExposureRequest", lambda: lib.TV_SetExposure(exposure))

    @property
    def channel(self) -> int:
        """The receiver's radio channel, as it last reported it (assign 0 to 255 to
        switch)."""
        self._check_open()
        return self._record.integer("PODChannel")

    @channel.setter
    def channel(self, value: int) -> None:
        _check_int("channel", value, 0, 255)
        self._command("channel", "FrequencyRequest", lambda: self._lib.TV_SetPODChannel(value))

    def info(self) -> Info:
        """Asks the receiver for its and the handset's identity."""
        texts: list[bytes] = []
        for kind in ("TV_GetHandheldCopyright", "TV_GetHandheldVersion", "TV_GetHandheldDate",
                     "TV_GetPODCopyright", "TV_GetPODVersion", "TV_GetPODDate",
                     "TV_GetHandsetAssignmentTable"):
            texts.append(self._fetch_info(kind))

        def text(data: bytes) -> str:
            return data.split(b"\0", 1)[0].decode("latin-1").strip()

        return Info(text(texts[0]), text(texts[1]), text(texts[2]), text(texts[3]),
                    text(texts[4]), text(texts[5]), assignment_table=texts[6])

    def stop(self) -> None:
        """Asks the device daemon to stop."""
        self._check_open()
        self._check_daemon()
        self._lib.TV_StopDevice()

    # ---- Key bindings ----
    @property
    def profile(self) -> str:
        """The key bindings' profile the running daemon uses (assignable: a profile of
        the bindings file, "next" or "builtin").  NoDaemonError when no daemon runs."""
        self._check_open()
        return self._check_live().profile

    @profile.setter
    def profile(self, name: str) -> None:
        self._check_open()
        before = self._check_live().profile
        if not isinstance(name, str) or not name or len(name.encode("utf-8")) >= 64:
            raise ValueError("a profile name is a word of 1 to 63 bytes")
        _status.ask_profile(name)
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            now = _status.read().profile
            if now == name or (name == "next" and now != before):
                return
            time.sleep(0.01)
        if name == "next":
            return  # one profile only: the next is the same
        raise TavroError(f"the running daemon did not switch to profile \"{name}\": the bindings "
                         "file has no profile \"" + name + "\" (see `tavro profile`, journalctl -t Tavro)")

    def bindings(self, profile: str | None = None, handset: int | None = None) -> list[Binding]:
        """What each key does in `profile` (default: the running daemon's profile, or the
        one the bindings file starts with), for `handset` (0 to 3; default: the bindings for
        every handset).  TavroError for a file with an error or an unknown profile."""
        self._check_open()
        if handset is not None:
            _check_handset(handset)
        if profile is None:
            state = _status.read()
            profile = state.profile if state.running else ""
        name = profile.encode("utf-8")
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            length = int(self._lib.TV_GetKeyBindings(name, -1 if handset is None else handset, buffer, size))
            if length < 0:
                raise TavroError(buffer.value.decode("utf-8", "replace"))
            if length < size:
                break
            size = length + 1
        result = []
        for line in buffer.value.decode("utf-8", "replace").splitlines():
            key, trigger, action, number = line.split("\t")
            result.append(Binding(key, trigger, action, int(number)))
        return result

    @property
    def daemon(self) -> DaemonState:
        """What the device daemon publishes about itself."""
        self._check_open()
        return _status.read()

    @property
    def settings_file(self) -> str:
        """This process's settings file."""
        self._check_open()
        return self._record.text("IniFileName")

    # ---- Internals ----
    def _saved(self, result: int, name: str) -> None:
        if result != 0:
            raise TavroError(f"{name} changed in the running kit, but the settings file "
                             f"{self.settings_file} could not be written (error {result})")

    def _check_daemon(self) -> None:
        state = _status.read()
        if not state.running:
            raise NoDaemonError("no device daemon runs: start tavrod (or `systemctl --user start "
                                "tavrod`) to send receiver commands")

    def _request(self, what: str, flag: str, raise_request: Callable[[], object]) -> int:
        """Raises a request and waits until the daemon took it up; returns the
        receiver error before the request.  On a time-out the request is withdrawn."""
        self._check_open()
        self._check_daemon()
        record = self._record
        error_before = record.integer("LastError")
        raise_request()
        deadline = time.monotonic() + SERVE_TIMEOUT
        while record.integer(flag) != 0:
            if time.monotonic() >= deadline:
                # Withdrawn, so that a receiver that comes back later does not get it.
                record.set_integer(flag, 0)
                state = _status.read()
                cause = ("the receiver is not connected" if state.running and not state.receiver_connected
                         else "the device daemon did not take it up")
                raise NoAnswerError(f"no answer: the {what} request was not carried out within "
                                    f"{SERVE_TIMEOUT * 1000:.0f} ms ({cause}); it was withdrawn")
            time.sleep(_POLL)
        return error_before

    def _command(self, what: str, flag: str, raise_request: Callable[[], object]) -> None:
        error_before = self._request(what, flag, raise_request)
        record = self._record
        deadline = time.monotonic() + ERROR_WINDOW
        while time.monotonic() < deadline:
            error = record.integer("LastError")
            if error != error_before:
                if error == 4:
                    raise ReceiverError(f"{what}: the command could not be written to the receiver", error)
                raise ReceiverError(f"{what}: the receiver reported error {error}", error)
            time.sleep(_POLL)

    def _fetch_info(self, function: str) -> bytes:
        # The C getter raises the request and waits 200 ms without checking that
        # anyone answered; the package checks both.
        self._check_open()
        self._check_daemon()
        record = self._record
        buffer = ctypes.create_string_buffer(128)
        start = time.monotonic()
        getattr(self._lib, function)(buffer)
        while record.integer("GetInfoRequest") != 0:
            if time.monotonic() - start >= SERVE_TIMEOUT:
                record.set_integer("GetInfoRequest", 0)
                raise NoAnswerError("no answer: the information request was not taken up within "
                                    f"{SERVE_TIMEOUT * 1000:.0f} ms; it was withdrawn")
            time.sleep(_POLL)
        return record.data("InfoBuffer", record.integer("InfoLength"))


class Watch(Iterator[Snapshot], AsyncIterator[Snapshot]):
    """Snapshots at a fixed interval; ends after `count`, when the kit is closed,
    or when the device it watched is asked to stop.  NoDaemonError when no
    daemon runs (at the start, or because it was killed)."""

    def __init__(self, kit: Kit, interval: float, count: int | None) -> None:
        self._kit = kit
        self._interval = interval
        self._left = count
        self._next = time.monotonic()
        self._taken = False

    def _done(self) -> bool:
        if self._left is not None and self._left <= 0:
            return True
        if not self._kit._open:
            return True
        # A stop request left by a daemon that ended before the watch began
        # does not end it: the first snapshot says there is no daemon.
        return self._taken and self._kit._record.integer("StopRequest") != 0

    def _take(self) -> Snapshot:
        if self._left is not None:
            self._left -= 1
        self._next = max(self._next + self._interval, time.monotonic())
        snapshot = self._kit.snapshot()
        self._taken = True
        return snapshot

    def __iter__(self) -> Watch:
        return self

    def __next__(self) -> Snapshot:
        if self._done():
            raise StopIteration
        delay = self._next - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        if self._done():
            raise StopIteration
        return self._take()

    def __aiter__(self) -> Watch:
        return self

    async def __anext__(self) -> Snapshot:
        if self._done():
            raise StopAsyncIteration
        delay = self._next - time.monotonic()
        if delay > 0:
            await asyncio.sleep(delay)
        if self._done():
            raise StopAsyncIteration
        return self._take()


def _record_problem() -> str:
    segment_id = _record.LIBC.shmget(_record.RECORD_KEY, 0, 0)
    if segment_id >= 0:
        size = _record.segment_size(segment_id)
        if size != _record.RECORD_SIZE:
            return (f"the kit's shared record (key {_record.RECORD_KEY}) has {size} bytes, not "
                    f"{_record.RECORD_SIZE}: it is stale; remove it with: ipcrm -M {_record.RECORD_KEY}")
    return (f"cannot attach the kit's shared record (key {_record.RECORD_KEY}): "
            f"{os.strerror(ctypes.get_errno()) or 'see the system log'}")


def _wayland_session() -> bool:
    """As the kit decides it: WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland"."""
    return bool(os.environ.get("WAYLAND_DISPLAY")) or os.environ.get("XDG_SESSION_TYPE") == "wayland"


_X_DISPLAY: list[bool] = []


def _x_display_opens() -> bool:
    """Whether the X display of DISPLAY opens, as the kit's object (made once per
    process, on the first attach) tried it; asked once per process."""
    if not _X_DISPLAY:
        opened = False
        if os.environ.get("DISPLAY"):
            try:
                xlib = ctypes.CDLL("libX11.so.6")
            except OSError:
                xlib = None
            if xlib is not None:
                xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
                xlib.XOpenDisplay.restype = ctypes.c_void_p
                xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
                display = xlib.XOpenDisplay(None)
                if display:
                    opened = True
                    xlib.XCloseDisplay(display)
        _X_DISPLAY.append(opened)
    return _X_DISPLAY[0]
