"""Loading libTavroDev and declaring the C functions the package calls.

The library is looked for, in this order: the file named by the environment
variable TAVRO_LIBRARY; the library directory the kit was installed into
(written into _install.py by the kit's install step); the system's library
search path (ldconfig).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import importlib
import os
from pathlib import Path
from typing import Any, Final

from .errors import TavroError

_SONAME: Final = "libTavroDev.so.1"

c_int = ctypes.c_int
c_double = ctypes.c_double
c_char_p = ctypes.c_char_p
c_void_p = ctypes.c_void_p
c_int_p = ctypes.POINTER(ctypes.c_int)
c_double_p = ctypes.POINTER(ctypes.c_double)
c_char_ptr = ctypes.POINTER(ctypes.c_char)

# Every function the package uses: name -> (result type, argument types).
_SIGNATURES: Final[dict[str, tuple[Any, list[Any]]]] = {
    "TV_Initialize": (c_int, []),
    "TV_Attach": (c_int, []),
    "TV_StopDevice": (c_int, []),
    "TV_GetLastError": (c_int, []),
    "TV_GetCurrentUser": (c_int, []),
    **{name: (c_double, [c_int]) for name in (
        "TV_GetX", "TV_GetY", "TV_GetRawX", "TV_GetRawY", "TV_GetRoll", "TV_GetDistance",
        "TV_GetThetaX")},
    **{name: (c_int, [c_int]) for name in (
        "TV_GetButton", "TV_GetXYCounter", "TV_GetPower1", "TV_GetPower2", "TV_GetStabilize")},
    **{name: (c_int, []) for name in (
        "TV_GetSleepingFactor", "TV_GetBaudRate", "TV_GetXYCounterMax",
        "TV_GetSubframeInterpolation", "TV_GetClickStill", "TV_GetActivateCursor",
        "TV_GetRotationCompensation", "TV_GetIRActive", "TV_SetDirectPoint",
        "TV_SetSmartPoint", "TV_SetGamePoint", "TV_SendIRBlast", "TV_LearnCode",
        "TV_StopMotor", "TV_ClearHAT")},
    **{name: (c_double, []) for name in (
        "TV_GetD0", "TV_GetMx", "TV_GetBx", "TV_GetMy", "TV_GetBy", "TV_GetCpixel",
        "TV_GetStabThresh")},
    "TV_GetCalScreen": (c_int, [c_int_p, c_int_p]),
    "TV_GetCalDistance": (c_int, [c_double_p]),
    "TV_GetDmin": (c_int, [c_double_p]),
    "TV_GetTavroMenu": (c_int, [c_char_ptr]),
    "TV_GetTavroMenuPath": (c_int, [c_char_ptr]),
    **{name: (c_int, [c_double]) for name in (
        "TV_SetMx", "TV_SetBx", "TV_SetMy", "TV_SetBy", "TV_SetD0", "TV_SetCpixel",
        "TV_SetDmin", "TV_SetStabThresh", "TV_SetCalDistance")},
    **{name: (c_int, [c_int]) for name in (
        "TV_SetBaudRate", "TV_SetSleepingFactor", "TV_SetClickStill",
        "TV_SetSubframeInterpolation", "TV_SetRotationCompensation", "TV_SetActivateCursor",
        "TV_SetDistanceScaling", "TV_SetXYCounterMax", "TV_SetTavroMenu", "TV_SetThreshold",
        "TV_SetGain", "TV_SetExposure", "TV_SetPODChannel", "TV_MoveAtBoundary")},
    "TV_SetCalScreen": (c_int, [c_int, c_int]),
    "TV_SetStabilize": (c_int, [c_int, c_int]),
    "TV_SetTavroMenuPath": (c_int, [c_char_p]),
    "TV_SendIRCode": (c_int, [c_char_p, c_int]),
    "TV_StartMotor": (c_int, [c_int, c_int, c_int]),
    "TV_GetIRCode": (c_int, [c_void_p, c_int_p]),
    "TV_SendKeyEvent": (c_int, [c_int, c_int, c_int, c_int]),
    "TV_GetKeyBindings": (c_int, [c_char_p, c_int, c_void_p, c_int]),
    **{name: (c_int, [c_void_p]) for name in (
        "TV_GetHandheldCopyright", "TV_GetHandheldVersion", "TV_GetHandheldDate",
        "TV_GetPODCopyright", "TV_GetPODVersion", "TV_GetPODDate",
        "TV_GetHandsetAssignmentTable", "TV_GetRFReceiveStrength", "TV_GetPODChannel")},
    "TV_GetAverageDistance": (c_double, [c_int, c_int]),
    "TV_GetAverageRoll": (c_double, [c_int, c_int]),
}


def _candidates() -> list[str]:
    found: list[str] = []
    explicit = os.environ.get("TAVRO_LIBRARY")
    if explicit:
        found.append(explicit)
    try:
        installed = importlib.import_module("._install", __package__)  # made by the install step
        found.append(str(Path(str(installed.LIBDIR)) / _SONAME))
    except ImportError:
        pass
    system = ctypes.util.find_library("TavroDev")
    if system:
        found.append(system)
    found.append(_SONAME)
    return found


def load() -> ctypes.CDLL:
    """libTavroDev with every used function declared; TavroError when it is not found."""
    reasons: list[str] = []
    for candidate in _candidates():
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            reasons.append(str(error))
            continue
        for name, (result, arguments) in _SIGNATURES.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        return library
    raise TavroError(
        "cannot load the Tavro kit's library libTavroDev.so.1 (" + "; ".join(reasons) +
        "); install the kit, or set TAVRO_LIBRARY to the library's path")
