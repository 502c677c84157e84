"""Every setting's type, range and persistence."""

from __future__ import annotations

import math
import re
from pathlib import Path

import pytest
import tavro

# A value inside each key's range, and values outside it (or of the wrong type).
GOOD_AND_BAD = {
    "D0": (65.5, [0, -1.0, "70", math.nan]),
    "Mx": (4.5, [0, 0.0, None]),
    "Bx": (-200.0, [math.inf, "x"]),
    "My": (3.5, [0]),
    "By": (-100.25, [math.nan]),
    "CPixel": (1.5, [0, -2]),
    "DistanceThresh": (0.05, [-0.01]),
    "StabThresh": (6.0, [-1]),
    "CThetaX": (-1.25, [math.inf]),
    "CalDistance": (2.5, [0]),
    "Dmin": (1.5, [-3]),
    "DistanceCounterMax": (10.0, [0]),
    "XYCounterMax": (10, [0, 61, 2.0]),
    "RollCounterMax": (7, [-1, 1.5]),
    "SubframeInterpolation": (5, [11, -1]),
    "RotationCompensation": (False, [2, "1"]),
    "TavroMenu": (True, [5]),
    "Sleepingfactor": (40, [1001, -1]),
    "PowerThresh": (20, [65536, -1]),
    "ClickStill": (20, [1001]),
    "XcalScreen": (1920, [0, 32768]),
    "YcalScreen": (1080, [0, -5]),
    "BaudRate": (57600, [12345, 0]),
    "DistanceScaling": (True, [3]),
    "DeviceName": ("/dev/ttyACM0", ["ttyUSB0", "", "/dev/" + "x" * 130]),
    "TavroMenuPath": ("menu-program", ["", " padded ", "x" * 256]),
}


def test_every_key_is_covered():
    assert set(GOOD_AND_BAD) == {s.name for s in tavro.SETTINGS}
    assert len(tavro.SETTINGS) == 26


def file_value(kit: tavro.Kit, name: str) -> str:
    text = Path(kit.settings_file).read_text(encoding="utf-8-sig")
    match = re.search(rf"<{name}>(.*?)</{name}>", text)
    assert match, f"{name} missing from the settings file"
    return match.group(1)


@pytest.mark.parametrize("name", sorted(GOOD_AND_BAD))
def test_setting_type_range_and_file(kit, name):
    good, bad = GOOD_AND_BAD[name]
    setting = next(s for s in tavro.SETTINGS if s.name == name)
    before = kit.settings[name]
    assert isinstance(before, setting.type)
    for value in bad:
        with pytest.raises(ValueError, match=re.escape(name) + " takes"):
            kit.settings[name] = value
        assert kit.settings[name] == before
    setattr(kit.settings, name, good)
    assert kit.settings[name] == good
    assert getattr(kit.settings, name) == good
    saved = file_value(kit, name)
    if setting.type is float:
        assert float(saved) == pytest.approx(good)
    elif setting.type is bool:
        assert saved == str(int(good))
    else:
        assert saved == str(good)
    # A second kit object (another program) sees the value.
    with tavro.Kit() as other:
        assert other.settings[name] == good


def test_unknown_key(kit):
    with pytest.raises(KeyError, match="no setting named 'Mz'"):
        kit.settings["Mz"]
    with pytest.raises(AttributeError, match="no setting named 'Mz'"):
        kit.settings.Mz = 1.0
    assert "Mx" in kit.settings and len(kit.settings) == 26


def test_unwritable_settings_file_raises(kit):
    # A directory where the file should be: no write can replace it, even as root.
    path = Path(kit.settings_file)
    path.unlink()
    path.mkdir()
    try:
        with pytest.raises(tavro.TavroError, match="could not be written"):
            kit.settings.StabThresh = 4.0
    finally:
        path.rmdir()
        kit.settings.StabThresh = 4.0
    assert file_value(kit, "StabThresh").startswith("4.0")
