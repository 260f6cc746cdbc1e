#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Image sizes and the worst-case stack depth of the format engine.

  footprint.py --objdump TOOL --undname TOOL --images DIR --image NAME...
               --bound FILE --objects OBJ...

Prints the size of each image NAME in DIR, then the deepest stack that
FormatOutput (and, for information, ScanInput) can use in the ServiceLib
image built from OBJ..., with the path that reaches it, counted from the
caller's stack pointer at the call: every frame with its return address.
Exits with status 1, after saying why, when FormatOutput can use more than
1 KiB, or when the depth cannot be known for sure. On success it writes
the depths to FILE for the firmware test that measures the same depth in
the running image.

No routine's name is needed to find the calls: the call graph is read
from the objects themselves. Frame sizes come from the compiler's
stack-usage file beside each object (.su for .obj). The calls come from
the relocations in the code, each placed on its instruction by the
disassembler: a call or jump to a routine is an edge (a jump is a tail
call), any other use of a routine's address takes that address. Every
routine must sit in a section of its own (-ffunction-sections), so that no
call between two routines can do without a relocation.

The depth cannot be known, and the check fails, when a routine on a path
has no frame size or a frame of run-time size, when a call on a path
reaches something that is no routine compiled into the image, when a path
is a cycle (other than the one nested run below), or when something
happens that the lists below do not account for: a routine whose address
is taken, or a routine on a path that calls through a pointer. A list
entry that no longer matches the code fails the check as well, so the
lists stay true.
"""
import argparse
import struct
import subprocess
import sys
from pathlib import Path

BUDGET = 1024
ROOTS = ["FormatOutput", "ScanInput"]  # the first one is held to BUDGET
RETURN_ADDRESS = 8
POINTER_CALL = "(through a routine pointer)"

# Routines whose address the image's own code takes (for anything but a
# direct call or jump), by name. A call through a pointer may reach each
# OUTPUT_ROUTINES entry, whose frame then counts there; NEVER_FROM_ENGINE
# entries are handed to the firmware and never reach the engine.
OUTPUT_ROUTINES = {
    "BufferPutChar",  # the output routine of the nested run that builds a %g %G %t %r text
}
NEVER_FROM_ENGINE = {
    "SmmBaseNotify",  # protocol notification functions: the firmware calls
    "CpuIoNotify",    # them at TPL_CALLBACK, outside any engine call
}
# Data whose routine addresses leave the image: the protocol instances.
# A client calls these routines; the engine reaches one only as the
# caller's own output routine, which the count leaves out.
HANDED_OUT = {"mLibServicesBs", "mLibServicesSmm"}

# Source files whose routines call through a pointer only to the caller's
# own routine (the output or input routine they were handed) or to one of
# OUTPUT_ROUTINES: the two engines, which never call the firmware. Such a
# call counts the deepest of those, the caller's own routine being counted
# as the return address it pushes. A routine from any other file that
# calls through a pointer on a measured path fails the check: it may call
# into the firmware, whose frames this count cannot know.
POINTER_CALLERS = {
    "servicelib/console/format.cpp",       # the output routine
    "servicelib/console/fieldwriter.cpp",  # the output routine
    "servicelib/scan/scan.cpp",            # the input routine
    "servicelib/scan/scanint.cpp",         # the input routine
}

# Calls that start the nested engine run building the text of %g, %G, %t
# or %r. Its formats are the fixed integer formats of those texts, so a
# nested run never builds a text itself: a path takes one of these calls
# at most, and every other cycle fails the check.
NESTED_RUNS = {
    ("GuidText", "FormatEngine<char>"),
    ("TimeText", "FormatEngine<char>"),
    ("StatusText", "FormatEngine<char>"),
    ("BufferPrint", "FormatEngine<char>"),
}

# Sections whose routine addresses are for the tools, not for any code.
TOOL_SECTIONS = (".debug", ".llvm_addrsig", ".pdata", ".xdata")

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_LNK_NRELOC_OVFL = 0x01000000
IMAGE_SYM_DTYPE_FUNCTION = 0x20
IMAGE_SYM_CLASS_STATIC = 3


# ---------------------------------------------------------------- objects

class Symbol:
    def __init__(self, name, section, value, function, static):
        self.name, self.section, self.value = name, section, value
        self.function, self.static = function, static


class CoffObject:
    """Sections (name, code?, relocations) and symbols of one x64 COFF object."""

    def __init__(self, path):
        self.path = path
        data = path.read_bytes()
        machine, nsections, _, symtab, nsymbols, opthdr, _ = struct.unpack_from("<HHIIIHH", data)
        if machine != IMAGE_FILE_MACHINE_AMD64:
            raise SystemExit(f"footprint: {path.name} is not an x64 COFF object")
        strings = symtab + 18 * nsymbols

        def string_at(offset):
            return data[strings + offset:data.index(b"\0", strings + offset)].decode()

        self.sections = {}
        for number in range(1, nsections + 1):
            header = 20 + opthdr + 40 * (number - 1)
            name = data[header:header + 8].rstrip(b"\0").decode()
            if name.startswith("/"):
                name = string_at(int(name[1:]))
            relocs_at, = struct.unpack_from("<I", data, header + 24)
            count, = struct.unpack_from("<H", data, header + 32)
            flags, = struct.unpack_from("<I", data, header + 36)
            first = 0
            if flags & IMAGE_SCN_LNK_NRELOC_OVFL:
                (count,), first = struct.unpack_from("<I", data, relocs_at), 1
            relocs = [struct.unpack_from("<II", data, relocs_at + 10 * index) for index in range(first, count)]
            self.sections[number] = (name, bool(flags & IMAGE_SCN_CNT_CODE), relocs)

        self.symbols = {}
        index = 0
        while index < nsymbols:
            at = symtab + 18 * index
            raw = data[at:at + 8]
            name = string_at(struct.unpack_from("<I", raw, 4)[0]) if raw[:4] == b"\0\0\0\0" else \
                raw.rstrip(b"\0").decode()
            value, section, kind, storage, aux = struct.unpack_from("<IhHBB", data, at + 8)
            self.symbols[index] = Symbol(name, section, value, kind == IMAGE_SYM_DTYPE_FUNCTION,
                                         storage == IMAGE_SYM_CLASS_STATIC)
            index += 1 + aux

    def functions(self):
        return [s for s in self.symbols.values() if s.function and s.section > 0]

    def named_in(self, section):
        """The named symbols of a section (not its section symbol), by address."""
        return sorted((s for s in self.symbols.values()
                       if s.section == section and s.name[:1] not in (".", "$")), key=lambda s: s.value)


def instructions(objdump, path):
    """{routine: [(offset, mnemonic, operands)]} from the disassembler."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", str(path)], check=True,
                          capture_output=True, text=True).stdout
    result, current = {}, None
    for line in text.splitlines():
        if line.endswith(">:") and " <" in line:
            current = result.setdefault(line[line.index(" <") + 2:-2], [])
        elif current is not None and line[:1].isspace() and ":" in line:
            offset, _, rest = line.partition(":")
            words = rest.split()
            while words and words[0] in ("rep", "repe", "repne", "lock", "notrack", "data16"):
                words = words[1:]
            if offset.strip() and words:
                current.append((int(offset, 16), words[0], " ".join(words[1:])))
    return result


def is_branch(mnemonic):
    return mnemonic.startswith(("call", "j", "ljmp"))


def read_frames(path):
    """{symbol: (bytes, qualifier, source file)} from a stack-usage file
    ("file:line:symbol<TAB>bytes<TAB>qualifier")."""
    frames = {}
    if path.is_file():
        for line in path.read_text().splitlines():
            where, size, qualifier = line.rsplit("\t", 2)
            source, _, symbol = where.rsplit(":", 2)
            frames[symbol] = (int(size), qualifier, source)
    return frames


def short_names(undname, names):
    """{symbol: name without types}: 'FormatEngine<char>', 'BufferPutChar'."""
    mangled = sorted(name for name in names if name.startswith("?"))
    result = {name: name for name in names}
    if mangled:
        out = iter(subprocess.run([undname], input="\n".join(mangled) + "\n", capture_output=True,
                                  text=True).stdout.splitlines())
        for line in out:
            if line in result:
                text = next(out, "")
                if text and not text.startswith("error"):
                    result[line] = text
    for symbol, text in result.items():
        text = text.replace("`anonymous namespace'::", "")
        if "__cdecl " in text:  # a routine: "<result> __cdecl <name>(<parameters>)"
            text, depth = text.split("__cdecl ", 1)[1], 0
            for index, ch in enumerate(text):
                depth += (ch == "<") - (ch == ">")
                if ch == "(" and depth == 0:
                    text = text[:index]
                    break
        elif text.split():    # a variable: "<type> <name>"
            text = text.split()[-1]
        result[symbol] = text
    return result


# ---------------------------------------------------------------- call graph

class Routine:
    def __init__(self, obj, symbol, frame):
        self.obj, self.symbol, self.frame = obj, symbol, frame
        self.name = symbol.name
        self.calls, self.tail_calls = set(), set()
        self.unresolved = set()  # called symbols that are no compiled routine
        self.pointer_calls = False


def read_graph(objdump, paths, problems):
    """{(object, symbol): Routine} with their calls, and {Routine: {(kind, holder)}} for taken addresses."""
    objects = [CoffObject(path) for path in paths]
    routines, external = {}, {}
    for obj in objects:
        frames = read_frames(obj.path.with_suffix(".su"))
        for symbol in obj.functions():
            shared = [s.name for s in obj.named_in(symbol.section) if s is not symbol and s.function]
            if shared:
                problems.add(f"{symbol.name} shares a section with {shared[0]} in {obj.path.name}: a call "
                             f"between them needs no relocation; compile with -ffunction-sections")
            routine = Routine(obj, symbol, frames.get(symbol.name))
            routines[(obj.path, symbol.name)] = routine
            if not symbol.static:
                external.setdefault(symbol.name, []).append(routine)  # COMDAT copies may repeat

    def resolve(obj, name):
        local = routines.get((obj.path, name))
        return [local] if local else external.get(name, [])

    taken = {}
    for obj in objects:
        listing = instructions(objdump, obj.path)
        for symbol in obj.functions():
            insns = listing.get(symbol.name)
            if insns is None:
                problems.add(f"the disassembler shows no code for {symbol.name} in {obj.path.name}")
            # A jump table's bytes may read as a jump through a pointer too:
            # that only makes the count larger.
            elif any(is_branch(m) and ops.startswith("*") for _, m, ops in insns):
                routines[(obj.path, symbol.name)].pointer_calls = True
        for number, (section_name, code, relocs) in obj.sections.items():
            if section_name.startswith(TOOL_SECTIONS):
                continue
            owners = obj.named_in(number)
            for offset, index in relocs:
                target = obj.symbols[index]
                targets = resolve(obj, target.name)
                owner = next((s for s in reversed(owners) if s.value <= offset), None)
                holder = owner.name if owner else section_name
                if not code:
                    for routine in targets:
                        taken.setdefault(routine, set()).add(("data", holder))
                    continue
                caller = routines.get((obj.path, holder))
                if caller is None:
                    problems.add(f"code outside any routine in {obj.path.name} refers to {target.name}")
                    continue
                at = next((i for i in reversed(listing.get(caller.name, []))
                           if i[0] <= offset - caller.symbol.value), None)
                if at and is_branch(at[1]) and not at[2].startswith("*"):
                    if not targets:
                        caller.unresolved.add(target.name)
                    for routine in targets:
                        (caller.calls if at[1].startswith("call") else caller.tail_calls).add(routine)
                else:
                    for routine in targets:
                        taken.setdefault(routine, set()).add(("code", caller.name))
    return routines, taken


def check_taken(taken, names, problems):
    """The OUTPUT_ROUTINES found, after every taken address is accounted for."""
    outputs, seen, tables = [], set(), set()
    for routine, places in taken.items():
        name = names[routine.name]
        holders = {(kind, names[holder]) for kind, holder in places}
        seen.add(name)
        tables |= {holder for kind, holder in holders if kind == "data"} & HANDED_OUT
        if name in OUTPUT_ROUTINES:
            outputs.append(routine)
        elif name not in NEVER_FROM_ENGINE and not all(kind == "data" and holder in HANDED_OUT
                                                       for kind, holder in holders):
            where = ", ".join(f"{kind} of {holder}" for kind, holder in sorted(holders))
            problems.add(f"the address of {name} is taken ({where}): list it in OUTPUT_ROUTINES if the "
                         f"engine may call it, or in NEVER_FROM_ENGINE")
    for name in sorted((OUTPUT_ROUTINES | NEVER_FROM_ENGINE) - seen):
        problems.add(f"{name} is listed, but nothing takes its address: update the list")
    for name in sorted(HANDED_OUT - tables):
        problems.add(f"HANDED_OUT lists {name}, which holds no routine address: update the list")
    return outputs


class Depths:
    """The deepest stack below a call of each (routine, inside the nested run) node."""

    def __init__(self, names, outputs, problems):
        self.names, self.outputs, self.problems = names, outputs, problems
        self.memo, self.active, self.pointer_callers = {}, [], set()

    def label(self, routine):
        return self.names[routine.name]

    def frame(self, routine):
        if routine.frame is None:
            self.problems.add(f"{self.label(routine)} has no frame size in "
                              f"{routine.obj.path.with_suffix('.su').name}")
            return 0
        size, qualifier, _ = routine.frame
        if qualifier != "static":
            self.problems.add(f"{self.label(routine)} has a {qualifier} frame: its depth has no bound")
        return size

    def edges(self, routine, nested):
        """(callee or None for a pointer call, nested, tail) for each call, in a fixed order."""
        for name in sorted(routine.unresolved):
            self.problems.add(f"{self.label(routine)} calls {name}, which is no routine compiled into the "
                              f"image: its frame size cannot be known")
        calls = sorted([(self.label(c), False, c) for c in routine.calls] +
                       [(self.label(c), True, c) for c in routine.tail_calls], key=lambda e: e[:2])
        for name, tail, callee in calls:
            if (self.label(routine), name) not in NESTED_RUNS:
                yield callee, nested, tail
            elif not nested:
                yield callee, True, tail
        if routine.pointer_calls:
            source = routine.frame[2] if routine.frame else routine.obj.path.name
            if source in POINTER_CALLERS:
                self.pointer_callers.add(source)
            else:
                self.problems.add(f"{self.label(routine)} ({source}) calls through a pointer: a call into the "
                                  f"firmware has no depth that can be known here; if the pointer is always "
                                  f"the caller's routine, list the file in POINTER_CALLERS")
            yield None, nested, False
            for callee in sorted(self.outputs, key=self.label):
                yield callee, nested, False

    def depth(self, routine, nested=False):
        """(bytes below the caller's stack pointer, [(name, bytes)]) for a call of routine."""
        if routine is None:
            return RETURN_ADDRESS, [(POINTER_CALL, RETURN_ADDRESS)]
        key = (routine, nested)
        if key in self.memo:
            return self.memo[key]
        if key in self.active:
            cycle = [self.label(r) for r, _ in self.active[self.active.index(key):]] + [self.label(routine)]
            self.problems.add(f"recursive cycle: {' > '.join(cycle)}")
            return 0, []
        self.active.append(key)
        own = self.frame(routine)
        best = (RETURN_ADDRESS + own, [(self.label(routine), RETURN_ADDRESS + own)])
        for callee, callee_nested, tail in self.edges(routine, nested):
            below, path = self.depth(callee, callee_nested)
            # A tail call reuses the return address. The frame is counted as
            # if it were still there: exact for a routine without one (as
            # FormatOutput is), and never too little.
            total = own + below if tail else RETURN_ADDRESS + own + below
            if total > best[0]:
                if callee_nested and not nested:
                    path = [("nested run: " + path[0][0], path[0][1])] + path[1:]
                best = (total, [(self.label(routine) + (" (tail call)" if tail else ""), total - below)] + path)
        self.active.pop()
        self.memo[key] = best
        return best


# ---------------------------------------------------------------- main

class Problems(list):
    def add(self, text):
        if text not in self:
            self.append(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--undname", required=True)
    parser.add_argument("--images", type=Path, required=True)
    parser.add_argument("--image", nargs="+", default=[])
    parser.add_argument("--bound", type=Path, required=True)
    parser.add_argument("--objects", nargs="+", type=Path, required=True)
    args = parser.parse_args()

    for image in args.image:
        path = args.images / f"{image}.efi"
        if path.is_file():
            print(f"{image}.efi: {path.stat().st_size} bytes")

    problems = Problems()
    routines, taken = read_graph(args.objdump, args.objects, problems)
    names = short_names(args.undname, {r.name for r in routines.values()} |
                        {holder for places in taken.values() for _, holder in places})
    outputs = check_taken(taken, names, problems)
    for caller, callee in sorted(NESTED_RUNS):
        if not any(names[r.name] == caller and callee in {names[c.name] for c in r.calls | r.tail_calls}
                   for r in routines.values()):
            problems.add(f"NESTED_RUNS lists {caller} > {callee}, a call that the image does not make")

    depths, results = Depths(names, outputs, problems), []
    for root in ROOTS:
        found = [r for r in routines.values() if r.name == root]
        if not found:
            problems.add(f"no routine {root} in the objects")
            continue
        total, path = depths.depth(found[0])
        results.append(f"{root} depth={total}" + (f" budget={BUDGET}" if root == ROOTS[0] else ""))
        print(f"{root} worst-case stack: {total}" + (f" of {BUDGET}" if root == ROOTS[0] else "") + " bytes")
        print("  deepest path (frame + return address): " + " > ".join(f"{n} {b}" for n, b in path))
        if root == ROOTS[0] and total > BUDGET:
            problems.add(f"{root} can use {total} bytes of stack, over its budget of {BUDGET}")
    for name in sorted(POINTER_CALLERS - depths.pointer_callers):
        problems.add(f"POINTER_CALLERS lists {name}, whose routines call through no pointer on these "
                     f"paths: update it")

    if problems:
        args.bound.unlink(missing_ok=True)
        for problem in problems:
            print(f"footprint: error: {problem}", file=sys.stderr)
        return 1
    args.bound.write_text("".join(line + "\n" for line in results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
