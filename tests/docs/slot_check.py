#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The slot order of LIB_SERVICES_PROTOCOL is written in the header only;
the prose that repeats it agrees with the header.

  slot_check.py ROOT

- the header's members after Revision and Size are the slots, in order;
  each member's "// slot N" comment and its offset assertion name its index;
- every Markdown table of README.md and docs/ with a Slot and a Member
  column lists each slot once, with the header's number for each member
  ("| 2, 3, 5 | `PutCharA`, `PutCharB`, `PutCharC` |");
- every "`Member` (slot N" in README.md and docs/ has the header's number.

The driver's own table (servicelib/protocol.cpp) names its members, and
smram/SlotCall.h asserts its indices against the header's offsets: the
compiler checks those two.
"""
import re
import sys
from pathlib import Path

ROOT = Path(sys.argv[1]).resolve()
HEADER = "include/LibServices.h"
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


header = (ROOT / HEADER).read_text()
body = re.search(r"struct _LIB_SERVICES_PROTOCOL \{(.*?)\};", header, re.S)
expect(body is not None, f"no struct _LIB_SERVICES_PROTOCOL in {HEADER}")
members = re.findall(r"^\s*(\w+)\s+(\w+);(.*)$", body.group(1) if body else "", re.M)
names = [name for _, name, _ in members]
expect(names[:2] == ["Revision", "Size"], f"{HEADER}: the table starts with {names[:2]}")
slots = {name: index for index, name in enumerate(names[2:])}
expect(len(slots) == 13, f"{HEADER}: {len(slots)} slots")
for _, name, comment in members[2:]:
    said = re.search(r"slot (\d+)", comment)
    expect(said is not None and int(said.group(1)) == slots[name],
           f"{HEADER}: {name} is slot {slots[name]}, its comment says {comment.strip()!r}")
for name, offset, label in re.findall(
        r"EFI_OFFSET_OF \(LIB_SERVICES_PROTOCOL, (\w+)\) == (\d+), \"([^\"]*)\"", header):
    if name in slots:
        expect(int(offset) == 8 + 8 * slots[name] and label == f"slot {slots[name]}",
               f"{HEADER}: the offset assertion of {name} says {offset}, {label!r}")

documents = [ROOT / "README.md"] + sorted((ROOT / "docs").rglob("*.md"))
tables = 0
for path in documents:
    where = path.relative_to(ROOT)
    lines = path.read_text().splitlines()
    for number, line in enumerate(lines):
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if not line.startswith("|") or cells[:2] != ["Slot", "Member"]:
            continue
        tables += 1
        listed = []
        for row in lines[number + 2:]:
            if not row.startswith("|"):
                break
            cells = [cell.strip() for cell in row.strip().strip("|").split("|")]
            indices = [int(n) for n in re.findall(r"\d+", cells[0])]
            named = re.findall(r"`(\w+)`", cells[1])
            expect(len(indices) == len(named), f"{where}: row {cells[0]!r} pairs {indices} with {named}")
            for index, name in zip(indices, named):
                expect(slots.get(name) == index,
                       f"{where}: slot {index} is {name} in the table, {HEADER} has {slots.get(name)}")
            listed += named
        expect(sorted(listed) == sorted(slots), f"{where}: the slot table lists {listed}")
    for name, index in re.findall(r"`(\w+)` \(slot (\d+)", path.read_text()):
        expect(slots.get(name) == int(index), f"{where}: says {name} is slot {index}, {HEADER} has {slots.get(name)}")
expect(tables > 0, "README.md has no slot table")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
