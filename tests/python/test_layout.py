"""The package's layouts come from the C headers, and the build's check of them
catches a field the package would read at another offset than C."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import SOURCE

MAKE = SOURCE / "python" / "make_layout.py"
CXX = os.environ.get("TAVRO_CXX", "c++")


def make(tmp_path: Path, header: Path, struct: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(MAKE), str(header), struct,
                           "--python", str(tmp_path / "layout.py"),
                           "--check", str(tmp_path / "check.cpp")],
                          capture_output=True, text=True, timeout=30)


def compile_check(tmp_path: Path, include: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([CXX, "-std=c++17", "-fsyntax-only", f"-I{include}",
                           str(tmp_path / "check.cpp")], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("field", [None, "HIDMouseRequest", "InfoBuffer", "CurrentUser", "Dmin",
                                   "History", "MicData"])
def test_a_field_at_another_offset_fails_the_check(tmp_path, field):
    assert make(tmp_path, SOURCE / "core" / "SharedDeviceState.h", "SharedDeviceState").returncode == 0
    check = tmp_path / "check.cpp"
    if field is not None:
        moved, found = re.subn(rf"(offsetof\(SharedDeviceState, {field}\) == )0x([0-9A-F]+)",
                               lambda m: f"{m.group(1)}0x{int(m.group(2), 16) + 8:04X}",
                               check.read_text())
        assert found == 1
        check.write_text(moved)
    result = compile_check(tmp_path, SOURCE / "core")
    if field is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0 and f"SharedDeviceState.{field} at" in result.stderr


def test_padding_is_laid_out_as_the_compiler_does(tmp_path):
    header = tmp_path / "Padded.h"
    header.write_text("#include <stdint.h>\n#define N 3\n"
                      "typedef struct Inner {\n  uint8_t A;\n  double B;\n} Inner;\n"
                      "struct Padded {\n  uint8_t Flag;\n  Inner Pair[2];\n  uint16_t Short[N];\n"
                      "  int64_t Wide;\n  char Last;\n};\n")
    assert make(tmp_path, header, "Padded").returncode == 0
    result = compile_check(tmp_path, tmp_path)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("member, why", [
    ("uint8_t Flags : 3;", "write members as"),
    ("uint8_t* Pointer;", "write members as"),
    ("long Wide;", "unknown type long"),
    ("uint8_t Many[COUNT];", "COUNT is neither a number nor a #define"),
    ("uint32_t Aligned __attribute__((aligned(8)));", "may change the layout"),
    ("#pragma pack(push, 1)", "may change the layout"),
])
def test_a_form_it_does_not_understand_stops_it(tmp_path, member, why):
    header = tmp_path / "Odd.h"
    header.write_text(f"#define N 2\nstruct Odd {{\n    uint8_t First[N];\n    {member}\n}};\n")
    result = make(tmp_path, header, "Odd")
    assert result.returncode == 1
    assert re.fullmatch(rf"make_layout\.py: \S*Odd\.h:4: cannot lay out .*{re.escape(why)}.*\n",
                        result.stderr)
    assert not (tmp_path / "layout.py").exists()
