#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Writes a driver's DXE dependency expression from its binary INF.

  depex.py [--and NAME] DRIVER.inf PACKAGE.dec OUT.depex

A firmware-volume build takes a prebuilt driver's DXE_DEPEX section from a
file listed in the binary INF; the expression in the INF's [Depex] section
is only read for source modules. This writes that file from the [Depex]
section itself, so the two cannot disagree. GUID names come from the .dec
and from the few MdePkg names below. The encoding is the DXE dependency
expression's: PUSH (0x02) and a 16-byte GUID per operand, AND 0x03, OR
0x04, NOT 0x05, TRUE 0x06, FALSE 0x07, END 0x08, in postfix order, with
operators grouped as EDK2's build groups them (AND and OR bind equally and
from the right, NOT tighter), so the bytes match a source build's.

--and NAME writes the INF's expression AND the GUID NAME instead: a
test-only expression that holds a driver back until one more protocol is
installed, without a second INF to keep in step with the first.
"""
import re
import sys
import uuid

# MdePkg GUIDs that the drivers' expressions name.
MDEPKG = {
    "gEfiCpuIo2ProtocolGuid": "ad61f191-ae5f-4c0e-b9fa-e869d288c64f",
    "gEfiVariableArchProtocolGuid": "1e5668e2-8481-11d4-bcf1-0080c73c8881",
    "gEfiVariableWriteArchProtocolGuid": "6441f818-6362-4e44-b570-7dba31dd2453",
}
OPCODES = {"AND": 0x03, "OR": 0x04, "NOT": 0x05, "TRUE": 0x06, "FALSE": 0x07}
PRIORITY = {"AND": 1, "OR": 1, "NOT": 2}


def section_text(path, name):
    """The lines of one INF/DEC section, comments removed."""
    lines, inside = [], False
    for line in open(path, encoding="utf-8"):
        line = line.split("#", 1)[0].strip()
        if line.startswith("["):
            inside = any(part.strip().split(".")[0].lower() == name.lower()
                         for part in line.strip("[]").split(","))
        elif inside and line:
            lines.append(line)
    return lines


def dec_guids(path):
    guids = {}
    for section in ("Guids", "Protocols", "Ppis"):
        for line in section_text(path, section):
            match = re.match(r"(\w+)\s*=\s*\{(.*)\}$", line)
            if match:
                numbers = [int(n, 16) for n in re.findall(r"0x[0-9a-fA-F]+", match.group(2))]
                guids[match.group(1)] = uuid.UUID(fields=(numbers[0], numbers[1], numbers[2], numbers[3],
                                                          numbers[4], int.from_bytes(bytes(numbers[5:]), "big")))
    for name, text in MDEPKG.items():
        guids.setdefault(name, uuid.UUID(text))
    return guids


def postfix(tokens):
    out, stack = [], []
    for token in tokens:
        if token == "(":
            stack.append(token)
        elif token == ")":
            while stack[-1] != "(":
                out.append(stack.pop())
            stack.pop()
        elif token in PRIORITY:
            while stack and stack[-1] != "(" and PRIORITY[token] < PRIORITY[stack[-1]]:
                out.append(stack.pop())
            stack.append(token)
        else:
            out.append(token)
    return out + stack[::-1]


def main():
    arguments = sys.argv[1:]
    also = []
    if arguments[:1] == ["--and"]:
        also, arguments = [")", "AND", arguments[1]], arguments[2:]
    inf, dec, target = arguments[:3]
    guids = dec_guids(dec)
    tokens = re.findall(r"\(|\)|\w+", " ".join(section_text(inf, "Depex")))
    if not tokens:
        sys.exit(f"{inf}: no [Depex] section")
    if also:
        tokens = ["("] + tokens + also
    data = bytearray()
    for token in postfix(tokens):
        if token in OPCODES:
            data.append(OPCODES[token])
        elif token in guids:
            data += b"\x02" + guids[token].bytes_le
        else:
            sys.exit(f"{inf}: unknown GUID name {token} in [Depex]")
    data.append(0x08)
    with open(target, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    main()
