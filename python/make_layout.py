#!/usr/bin/env python3
"""Makes the Python package's view of a C struct from the header that defines it.

    make_layout.py HEADER STRUCT --python OUT.py --check OUT.cpp [--namespace NS]

Reads the integer constants of HEADER (`#define NAME <integer>` and
`constexpr TYPE NAME = <integer>;`) and the `struct` definitions
in it, lays out STRUCT with the C rules for naturally aligned members, and
writes two files:

  OUT.py    the offsets, element types and element counts of every member of
            STRUCT, its size and the header's integer macros, for the package;
  OUT.cpp   one static_assert per member (offset and type) and one for the
            size, compiled into the build, so that any difference between
            this layout and the compiler's stops the build.

Only plain members are understood: `TYPE NAME;` or `TYPE NAME[N]...;` with a
fixed-width integer, char, float, double or an earlier struct as TYPE, and a
number or a macro as N.  Anything else in a struct (bit-fields, unions,
pointers, attributes, packing) ends the run with the line it could not read,
rather than guessing a layout.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

SCALARS = {
    "char": 1, "int8_t": 1, "uint8_t": 1, "int16_t": 2, "uint16_t": 2,
    "int32_t": 4, "uint32_t": 4, "int64_t": 8, "uint64_t": 8, "float": 4, "double": 8,
}
UNDERSTOOD = ("`TYPE NAME;` or `TYPE NAME[N]...;` with TYPE one of " + ", ".join(SCALARS) +
              " or an earlier struct")

_DEFINE = re.compile(r"#\s*define\s+([A-Za-z_]\w*)\s+(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*\s*$")
_CONSTANT = re.compile(r"(?:static\s+)?constexpr\s+[A-Za-z_]\w*\s+([A-Za-z_]\w*)\s*=\s*"
                       r"(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*\s*;")
_STRUCT_START = re.compile(r"(?:typedef\s+)?struct\s+([A-Za-z_]\w*)\s*\{\s*$")
_STRUCT_END = re.compile(r"\}\s*([A-Za-z_]\w*)?\s*;\s*$")
_MEMBER = re.compile(r"([A-Za-z_]\w*)\s+([A-Za-z_]\w*)((?:\s*\[\s*[A-Za-z_0-9]+\s*\])*)\s*;\s*$")
_DIMENSION = re.compile(r"\[\s*([A-Za-z_0-9]+)\s*\]")
_PACKING = re.compile(r"#\s*pragma\s+pack")
_ATTRIBUTE = re.compile(r"__attribute__|alignas|_Alignas|__declspec|\[\[")


class LayoutError(Exception):
    """A line of the header this program does not understand."""


@dataclass(frozen=True)
class Member:
    name: str
    type: str
    dimensions: tuple[int, ...]
    offset: int

    @property
    def count(self) -> int:
        count = 1
        for dimension in self.dimensions:
            count *= dimension
        return count


@dataclass(frozen=True)
class Struct:
    name: str
    members: tuple[Member, ...]
    size: int
    alignment: int


def _strip_comments(text: str) -> str:
    # Block comments become blanks of the same lines, so line numbers stay right.
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group(0)), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def _align(value: int, alignment: int) -> int:
    return (value + alignment - 1) // alignment * alignment


def parse(path: Path) -> tuple[dict[str, tuple[int, bool]], dict[str, Struct]]:
    """The header's integer constants (with whether each is a constexpr rather
    than a macro) and its structs, laid out."""
    defines: dict[str, int] = {}
    constants: set[str] = set()
    structs: dict[str, Struct] = {}
    current: str | None = None
    members: list[Member] = []
    offset = 0
    alignment = 1

    def fail(number: int, line: str, why: str) -> LayoutError:
        return LayoutError(f"{path}:{number}: cannot lay out `{line.strip()}`: {why}")

    for number, line in enumerate(_strip_comments(path.read_text()).splitlines(), 1):
        stripped = line.strip()
        if not stripped:
            continue
        if _PACKING.search(stripped) or (current is not None and _ATTRIBUTE.search(stripped)):
            raise fail(number, line, "it may change the layout; write members as " + UNDERSTOOD)
        found = _DEFINE.match(stripped) or (_CONSTANT.match(stripped) if current is None else None)
        if found:
            defines[found.group(1)] = int(found.group(2), 0)
            if found.re is _CONSTANT:
                # Checked in the struct's namespace; macros unqualified.
                constants.add(found.group(1))
            continue
        if current is None:
            start = _STRUCT_START.match(stripped)
            if start:
                current, members, offset, alignment = start.group(1), [], 0, 1
            continue
        end = _STRUCT_END.match(stripped)
        if end:
            if end.group(1) not in (None, current):
                raise fail(number, line, f"the typedef name differs from the struct's, {current}")
            structs[current] = Struct(current, tuple(members), _align(offset, alignment), alignment)
            current = None
            continue
        if stripped.startswith("#"):
            raise fail(number, line, "preprocessor lines inside a struct are not followed")
        member = _MEMBER.match(stripped)
        if not member:
            raise fail(number, line, "write members as " + UNDERSTOOD)
        type_name, name, brackets = member.groups()
        if type_name in SCALARS:
            size = member_alignment = SCALARS[type_name]
        elif type_name in structs:
            size, member_alignment = structs[type_name].size, structs[type_name].alignment
        else:
            raise fail(number, line, f"unknown type {type_name}; write members as " + UNDERSTOOD)
        dimensions = []
        for text in _DIMENSION.findall(brackets):
            if text.isdigit():
                dimensions.append(int(text))
            elif text in defines:
                dimensions.append(defines[text])
            else:
                raise fail(number, line, f"{text} is neither a number nor a #define of this header")
        offset = _align(offset, member_alignment)
        placed = Member(name, type_name, tuple(dimensions), offset)
        members.append(placed)
        offset += size * placed.count
        alignment = max(alignment, member_alignment)
    if current is not None:
        raise LayoutError(f"{path}: the struct {current} does not end")
    return {name: (value, name in constants) for name, value in defines.items()}, structs


def python_module(header: str, struct: Struct, defines: dict[str, tuple[int, bool]]) -> str:
    lines = [
        f'"""The layout of {struct.name}, made from {header} when the kit is built.',
        "",
        "Made by make_layout.py; do not edit.  FIELDS maps each member to its byte",
        "offset, its element type and its number of elements; the build checks every",
        'offset and type against the C compiler\'s."""',
        "",
        "from typing import Final",
        "",
    ]
    for name, (value, _) in defines.items():
        lines.append(f"{name}: Final = {value}")
    lines += [
        f"SIZE: Final = {struct.size}",
        "",
        "FIELDS: Final[dict[str, tuple[int, str, int]]] = {",
    ]
    for member in struct.members:
        lines.append(f'    "{member.name}": (0x{member.offset:04X}, "{member.type}", {member.count}),')
    lines += ["}", ""]
    return "\n".join(lines)


def check_source(header: str, struct: Struct, defines: dict[str, tuple[int, bool]],
                 namespace: str) -> str:
    qualified = f"{namespace}::{struct.name}" if namespace else struct.name
    scope = f"{namespace}::" if namespace else ""
    lines = [
        f"// Made from {header} by make_layout.py when the kit is built; do not edit.",
        "// Fails to compile when the layout the Python package was given differs",
        "// from the compiler's.",
        f'#include "{Path(header).name}"',
        "",
        "#include <cstddef>",
        "#include <cstdint>",
        "#include <type_traits>",
        "",
        f"static_assert(sizeof({qualified}) == {struct.size}, "
        f'"{struct.name} is not {struct.size} bytes, as the Python package was told");',
    ]
    for name, (value, constexpr) in defines.items():
        lines.append(f"static_assert({scope if constexpr else ''}{name} == {value}, "
                     f'"the Python package has {name} as {value}");')
    for member in struct.members:
        element = member.type if member.type in SCALARS else scope + member.type
        declared = element + "".join(f"[{d}]" for d in member.dimensions)
        lines.append(
            f"static_assert(offsetof({qualified}, {member.name}) == 0x{member.offset:04X}, "
            f'"the Python package has {struct.name}.{member.name} at 0x{member.offset:04X}, '
            f'the compiler elsewhere");')
        lines.append(
            f"static_assert(std::is_same_v<decltype({qualified}::{member.name}), {declared}>, "
            f'"the Python package has {struct.name}.{member.name} as {declared}");')
    lines.append("")
    return "\n".join(lines)


def _write(path: Path, text: str) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("header", type=Path)
    parser.add_argument("struct")
    parser.add_argument("--python", type=Path, required=True, help="the Python module to write")
    parser.add_argument("--check", type=Path, required=True, help="the C++ check to write")
    parser.add_argument("--namespace", default="", help="the C++ namespace of the struct")
    arguments = parser.parse_args(argv)
    try:
        defines, structs = parse(arguments.header)
    except (LayoutError, OSError) as error:
        print(f"make_layout.py: {error}", file=sys.stderr)
        return 1
    if arguments.struct not in structs:
        found = ", ".join(structs) or "none"
        print(f"make_layout.py: {arguments.header} defines no struct {arguments.struct} "
              f"(structs found: {found})", file=sys.stderr)
        return 1
    struct = structs[arguments.struct]
    _write(arguments.python, python_module(arguments.header.name, struct, defines))
    _write(arguments.check, check_source(str(arguments.header), struct, defines,
                                         arguments.namespace))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
