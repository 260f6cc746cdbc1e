# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The SMRAM lane: ServiceLib's SMM copy in real SMRAM.

Boots Debian's SMM-enabled OVMF code image with the SMRAM probe added to its
DXE volume (built by smram/tools/flash_image.py), q35 with SMM and a secure
flash, and runs from the shell:

  load Fixture.efi                 Framework CPU I/O for the boot-services copy
  load ServiceLib.efi              the boot-services copy
  smramctl load ServiceLib.efi     the probe loads the same file into SMRAM
                                   after the lock and runs its entry in SMM
  smramctl calls                   SMI-time calls on the SMRAM copy, each next
                                   to the same call on the boot-services copy

COM1 is a pair of named pipes that the runner reads; it presses a key at the shell's
5 s countdown so that startup.nsh runs at once. smramctl writes "CTL"
lines to the debug console, and the probe's log ring
arrives with each reply as "SMM" lines. A fault inside SMM stops the machine
with an exception dump on COM1: the boot then fails, naming the last SMI
command sent. The fault scenario makes such a fault on purpose (a boot
service called through the SMRAM copy's system table at SMI time) and
passes only when the boot fails that way.

Used from firmware.py: smram-boot, smram-check and smram-demo.
"""
import re
import subprocess
import sys
import time
from pathlib import Path

import qemu_run
from qemu_run import (Failure, clear_outputs, connect, debug_lines, expect, facts, find_qemu, log_line, log_pattern,
                      log_prefix, make_disk, qemu_command, read, receive)

OVMF_VARS = Path("/usr/share/OVMF/OVMF_VARS_4M.fd")
EXCEPTION = b"!!!! X64 Exception"
COM1_BEGIN = b"<<<SMRAM COM1>>>\n\r"
COM1_END = b"<<<SMRAM COM1 END>>>\n\r"

SCENARIOS = {
    "calls": ["load Fixture.efi", "load ServiceLib.efi", "smramctl load ServiceLib.efi", "smramctl calls"],
    # The image linked with the other section alignment, then a stray
    # boot-service call at SMI time.
    "fault": ["smramctl load ServiceLibAlt.efi", "smramctl fault"],
}
IMAGES = ["Fixture.efi", "ServiceLib.efi", "ServiceLibAlt.efi", "smramctl.efi"]
FAULT_COMMAND = "fault"


# ---------------------------------------------------------------- booting

def lay_out(images, out, script, names, variables=OVMF_VARS):
    """The disk with the images among names that the script mentions, as a
    file or as a command. A line of the script may be a routine that
    writes it from the build's facts."""
    known = qemu_run.keep_facts(images, out)
    if known is None:
        raise Failure(f"{images / qemu_run.FACTS} is missing: build the target firmware_facts_json first")
    script = [line(known) if callable(line) else line for line in script]
    files = []
    for name in names:
        if any(name in line.split() or name.removesuffix(".efi") in line.split() for line in script):
            if not (images / name).is_file():
                raise Failure(f"{images / name} is missing: build the images first")
            files.append(images / name)
    if not Path(variables).is_file():
        raise Failure(f"{variables} not found: install the Debian package ovmf, or build the target that writes it")
    return make_disk(out, files, script + ["reset -s"], variables)


def last_smi(out):
    prefix = log_prefix(facts(out), "smram-smi")
    sent = [line[len(prefix):] for line in debug_lines(out) if line.startswith(prefix)]
    return sent[-1] if sent else None


def boot(scenario, images, firmware, out, limit, scenarios=SCENARIOS, names=IMAGES, variables=OVMF_VARS):
    """Boots once (the scenario's script from scenarios, with the images
    among names that it mentions); returns the seconds it took. A machine
    stopped by a fault in SMM, or still running at the limit, is a Failure
    that names the last SMI command sent."""
    qemu = find_qemu()
    if not Path(firmware).is_file():
        raise Failure(f"{firmware} is missing: build the target smram_firmware first")
    sock_path = clear_outputs(out)
    fat = lay_out(images, out, scenarios[scenario], names, variables)
    command = qemu_command(qemu, "q35,smm=on,accel=tcg", firmware, out, fat) + [
        "-global", "driver=cfi.pflash01,property=secure,value=on"]
    started = time.monotonic()
    com1 = bytearray()
    fault_seen = None
    with open(out / "qemu.log", "wb") as qemu_log:
        process = subprocess.Popen(command, stdout=qemu_log, stderr=subprocess.STDOUT)
        try:
            conn = connect(sock_path, process)
            skipped = False
            while True:
                now = time.monotonic()
                # The dump is complete well within a second; the machine
                # never comes back from it.
                if (fault_seen is not None and now - fault_seen > 1.5) or now - started > limit:
                    break
                if not receive(conn, com1, 0.2):
                    break
                skipped = qemu_run.skip_countdown(conn, com1, skipped)
                if fault_seen is None and EXCEPTION in com1:
                    fault_seen = time.monotonic()
            conn.close()
        finally:
            (out / "com1.bin").write_bytes(bytes(com1))
            try:
                # QEMU closes COM1 a moment before it exits.
                status = process.wait(timeout=0 if fault_seen is not None else 10)
            except subprocess.TimeoutExpired:
                process.kill()
                status = process.wait()
    elapsed = time.monotonic() - started
    (out / "elapsed").write_text(f"{elapsed:.1f}\n")
    if fault_seen is not None:
        dump = read(out / "com1.bin")
        first = dump[dump.find(EXCEPTION):].split(b"\n")[0].decode("ascii", "replace").strip()
        raise Failure(f"fault in SMM after SMI command '{last_smi(out)}': {first} "
                      f"(exception dump in {out / 'com1.bin'})")
    if status != 0:
        raise Failure(f"QEMU did not power off within {limit} s; last SMI command sent: '{last_smi(out)}' "
                      f"(logs in {out})")
    return elapsed


# ---------------------------------------------------------------- reading logs

FIELD = re.compile(r'(\S+?)=("(?:[^"\\]|\\.)*"|\S+)')


def fields(line):
    return {key: value for key, value in FIELD.findall(line)}


def ctl(lines, prefix):
    """Fields of the one line that starts with prefix."""
    found = [line for line in lines if line.startswith(prefix)]
    if len(found) != 1:
        raise Failure(f"expected one line starting {prefix!r} in the debug log, found {len(found)}")
    return fields(found[0])


def calls(known, lines):
    """name -> list of field dicts, in log order."""
    prefix, result = log_prefix(known, "smram-call"), {}
    for line in lines:
        if line.startswith(prefix):
            name, _, rest = line[len(prefix):].partition(" ")
            result.setdefault(name, []).append(fields(rest))
    return result


def call(all_calls, name, index=0):
    entries = all_calls.get(name, [])
    if len(entries) <= index:
        raise Failure(f"no result line for call {name!r}")
    return entries[index]


def num(text):
    return int(text.split("@")[0], 16)


def smram_span(known, lines):
    ranges = [fields(line) for line in lines if line.startswith(log_prefix(known, "smram-range"))]
    expect(ranges, "SMM Access 2 reported no SMRAM ranges")
    return min(num(r["base"]) for r in ranges), max(num(r["base"]) + num(r["size"]) for r in ranges)


def com1_calls(out):
    """COM1 between the markers around the SMRAM calls, or None without them."""
    com1 = read(out / "com1.bin")
    begin, end = com1.find(COM1_BEGIN), com1.find(COM1_END)
    return com1[begin + len(COM1_BEGIN):end] if 0 <= begin < end else None


def unsigned_text(value):
    return value.encode().decode("unicode_escape") if "\\u" in value else value


# ---------------------------------------------------------------- checks

def check_placement(out):
    """Image, protocol table and heap block of the SMM copy lie in SMRAM,
    inside the loaded image, and read as all ones from DXE."""
    known, lines = facts(out), debug_lines(out)
    low, high = smram_span(known, lines)
    lock = ctl(lines, log_prefix(known, "smram-lock-state"))
    expect(lines.count(log_line(known, "smram-lock-state", 1, 0)) == 1, f"SMRAM not locked and closed: {lock}")
    mch = ctl(lines, log_prefix(known, "smram-mch"))
    expect(int(mch["smramc"], 16) & 0x10, f"SMRAMC does not have D_LCK set: {mch}")
    expect(ctl(lines, log_prefix(known, "smram-status"))["locked"] == "1",
           "the probe had not seen ready-to-lock before the load")
    load = ctl(lines, log_prefix(known, "smram-load"))
    base, size = num(load["base"]), num(load["size"])
    expect(load["status"] == "0", f"the load failed: {load}")
    expect(low <= base and base + size <= high, f"image {base:#x}+{size:#x} outside SMRAM {low:#x}-{high:#x}")
    interface = num(ctl(lines, log_prefix(known, "smram-load-entry"))["interface"])
    heap = num(call(calls(known, lines), "heap-alloc-a")["smm"])
    for what, address in (("protocol table", interface), ("heap block", heap)):
        expect(base <= address < base + size, f"{what} at {address:#x} is not inside the SMRAM image")
    for what in ("probe-handler", "image-base", "protocol", "heap-block"):
        read_back = ctl(lines, log_prefix(known, "smram-dxe-read", what))
        expect(read_back["8"] == "FF" and read_back["32"] == "FFFFFFFF",
               f"DXE read of the {what} in SMRAM did not give all ones: {read_back}")
    table = known["lib-services"]
    expect(log_line(known, "smram-smm-read-protocol", table["revision"], table["size"], 0) in lines,
           f"the protocol table read inside SMM is not revision {table['revision']}, size {table['size']}")
    expect(ctl(lines, log_prefix(known, "smram-smm-read-image"))["first-bytes"] == "5A4D",
           "no MZ at the image base inside SMM")
    attributes = ctl(lines, log_prefix(known, "smram-load-attributes"))
    expect(num(attributes["clear-status"]) == 0 and not num(attributes["attributes-after"]) & 0x4000,
           f"the image pages stayed non-executable: {attributes}")


# The probe's lines about the entry point it started (testkit/LogLines.h).
ENTRY_LINES = ["smram-entry-locate", "smram-entry-install", "smram-entry-in-smm", "smram-entry-smst",
               "smram-entry-unserved", "smram-entry-returned"]


def entry_calls(known, lines):
    """The probe's lines about the entry point, in order, each as (name, its field texts)."""
    patterns = [(name, log_pattern(known, name)) for name in ENTRY_LINES]
    return [(name, match.groups()) for line in lines for name, pattern in patterns
            for match in [pattern.match(line)] if match]


def entry_order(known, load):
    """The entry point's calls in the order it must make them: a line's
    name and the texts its fields must have (None: any), the interface,
    handle and system table those that smramctl reported; the probe logs
    GUIDs in upper case."""
    smm_base, smm_lib = known["guids"]["smm-base"].upper(), known["guids"]["smm-lib-services"].upper()
    return [
        ("smram-entry-locate", (smm_base, "0", None)),
        ("smram-entry-in-smm", ("SmmBase",)),
        ("smram-entry-install", ("InstallMultipleProtocolInterfaces", smm_lib, load["interface"], load["handle"], "0")),
        ("smram-entry-locate", (smm_lib, "0", load["interface"])),
        ("smram-entry-smst", ("SmmBase", load["fw-smst"])),
        ("smram-entry-returned", ("0",)),
    ]


def check_entry(out):
    """The entry point ran in SMM: InSmm, the SMM instance installed on the
    image's handle and located, the SMRAM system table from
    GetSmstLocation, EFI_SUCCESS."""
    known, lines = facts(out), debug_lines(out)
    load = ctl(lines, log_prefix(known, "smram-load-entry"))
    expect(load["entry-status"] == "0", f"the entry point returned {load['entry-status']}")
    entry = entry_calls(known, lines)
    position = 0
    for name, wanted in entry_order(known, load):
        while position < len(entry) and not (entry[position][0] == name and
                                             all(w in (None, v) for w, v in zip(wanted, entry[position][1]))):
            position += 1
        expect(position < len(entry), f"no {name} line with fields {wanted} in order: {entry}")
        position += 1
    lib = known["guids"]["lib-services"].upper()
    expect(not any(name == "smram-entry-unserved" or lib in values for name, values in entry),
           f"the entry point asked for more than the SMM copy needs: {entry}")


def smm_calls(all_calls):
    return [(name, entry) for name, entries in all_calls.items() for entry in entries if "smm" in entry]


def check_port_io(out):
    """IoWrite/IoRead round trips through SmmIo, with This = &Smst->SmmIo on
    every access of every SMI-time call, all after the lock."""
    known, lines = facts(out), debug_lines(out)
    all_calls = calls(known, lines)
    for name, entry in smm_calls(all_calls):
        expect(entry["status"] == "0" and entry["locked"] == "1", f"{name}: {entry}")
        expect(entry["io"].split("/")[2] == "0", f"{name}: SmmIo called with another This ({entry['io']})")
    wrong_this = log_pattern(known, "smram-wrong-this")
    expect(not any(wrong_this.match(line) for line in lines), "SmmIo called with another This")
    expected = {
        "io-write8": ("0", None, "0/1/0"), "io-read8": ("5A", "5A", "1/0/0"),
        "io-read8-after-bs": ("A5", None, "1/0/0"), "io-write32": ("0", "0", "0/1/0"),
        "io-read32": ("8000F8A8", "8000F8A8", "1/0/0"),
    }
    for name, (smm, bs, io) in expected.items():
        entry = call(all_calls, name)
        expect(entry["smm"] == smm and entry.get("bs") == bs and entry["io"] == io,
               f"{name}: expected smm={smm} bs={bs} io={io}, got {entry}")


def check_com1(out):
    """PutCharA and FormatOutput through PutCharA, called in SMM, put exact
    bytes on COM1, the same as the boot-services copy's."""
    text = com1_calls(out)
    expect(text is not None, "the COM1 markers of the SMRAM calls are missing")
    expected = b"SMM:\n\rfrom SMRAM -42 beef !\n\rfrom SMRAM -42 beef !\n\r"
    expect(text == expected, f"COM1 between the markers: {text!r}, expected {expected!r}")
    all_calls = calls(facts(out), debug_lines(out))
    for entry in all_calls.get("com1-putchar", []):
        expect(int(entry["io"].split("/")[1]) > 0, f"PutCharA in SMM wrote no port: {entry}")
    formatted = call(all_calls, "com1-format")
    expect(formatted["smm"] == formatted["bs"] == "16" and formatted["same"] == "1", f"com1-format: {formatted}")


FORMAT8 = ("-12345|77|4000000000|beef|BEEF|10|101|     042|abc   |Z|12345678|18446744073709551615|"
           "0000000000001234|87999fb1-d18c-4de9-b4b6-a130e6beed76|Success|Not Found|12/08/2026  23:59|   xy|%|")
EXPECTED_CALLS = {
    # name: (result, shown output or bytes)
    "format8": (f"{len(FORMAT8):X}", FORMAT8),
    "format16": ("39", "wide|S16|   -7|\u263a|87999FB1-D18C-4DE9-B4B6-A130E6BEED76|abc"),
    "format-max": ("7", "123456-"),
    "format-count": ("9", None),
    # d = -42, x = 0x1f, o = 0777, c = 'Z', s = "hello"
    "scan8": ("5", "D6FFFFFFFFFFFFFF" "1F00000000000000" "FF01000000000000" "5A00000000000000"
                   "68656C6C6F0000000000000000000000"),
    # h = 123, l = 0x456, n = 12 characters read
    "scan-modifiers": ("2", "7B000000" "56040000" "0C000000" "00000000"),
    "copy8": ("0@data", "534D52414D20636F7079" + "00" * 14),
    "copy16": ("0@data", "5700690064006500" + "00" * 8),
    "compare-fold": ("FFFFFFFFFFFFFFFF", None),
    "compare-exact": ("19", None),
    "compare-unbounded": ("FFFFFFFFFFFFFFFF", None),
    "compare16": ("0", None),
}


def check_calls(names):
    def check(out):
        all_calls = calls(facts(out), debug_lines(out))
        for name in names:
            result, shown = EXPECTED_CALLS[name]
            entry = call(all_calls, name)
            expect(entry["smm"] == result and entry["bs"] == result and entry["same"] == "1",
                   f"{name}: expected {result} from both copies with identical data, got {entry}")
            if shown is not None:
                actual = unsigned_text(entry["out"][1:-1]) if "out" in entry else entry["bytes"]
                expect(actual == shown, f"{name}: produced {actual!r}, expected {shown!r}")
    return check


def check_heap(out):
    """Allocate and free in the SMM copy's own arena, with the same pattern
    of blocks as in the boot-services copy's."""
    known, lines = facts(out), debug_lines(out)
    all_calls = calls(known, lines)
    load = ctl(lines, log_prefix(known, "smram-load"))
    base, size = num(load["base"]), num(load["size"])

    def both(name):
        entries = all_calls.get(name, [])
        smm = [num(e["smm"]) for e in entries if "smm" in e]
        bs = [num(e["bs"]) for e in entries if "bs" in e]
        expect(len(smm) == 1 and len(bs) == 1, f"{name}: expected one result from each copy, got {entries}")
        return smm[0], bs[0]

    a, b, c = both("heap-alloc-a"), both("heap-alloc-b"), both("heap-alloc-c")
    for copy, label in ((0, "SMM"), (1, "boot-services")):
        expect(a[copy] != 0 and b[copy] != 0, f"{label} copy: allocation failed")
        expect(both("heap-free-a")[copy] == a[copy], f"{label} copy: freeing a block did not return it")
        expect(both("heap-free-a-again")[copy] == 0, f"{label} copy: a double free was not refused")
        expect(c[copy] == a[copy], f"{label} copy: the freed block was not reused first")
        expect(both("heap-free-b")[copy] == b[copy] and both("heap-free-c")[copy] == c[copy],
               f"{label} copy: freeing the last blocks")
    expect(b[0] - a[0] == b[1] - a[1], f"block spacing differs: SMM {b[0] - a[0]:#x}, boot services {b[1] - a[1]:#x}")
    expect(base <= a[0] < base + size and base <= b[0] < base + size, "SMM heap blocks outside the SMRAM image")


def check_fault_boot(images, firmware, out, limit):
    """The fault scenario must fail, naming the fault command, after a
    clean load of the other-alignment image."""
    try:
        boot("fault", images, firmware, out, limit)
    except Failure as error:
        text = str(error)
        expect(f"after SMI command '{FAULT_COMMAND}'" in text and "Exception" in text,
               f"the stray call was not reported as an SMM fault naming its command: {text}")
        known, lines = facts(out), debug_lines(out)
        load = ctl(lines, log_prefix(known, "smram-load"))
        expect(load["status"] == "0" and ctl(lines, log_prefix(known, "smram-load-entry"))["entry-status"] == "0",
               f"the other-alignment image did not load and start: {load}")
        return f"{text}; image section alignment {load['section-alignment']}"
    raise Failure("a boot service called at SMI time did not stop the machine")


CHECKS = {
    "smram-placement": check_placement,
    "smram-entry": check_entry,
    "smram-port-io": check_port_io,
    "smram-com1": check_com1,
    "smram-format": check_calls(["format8", "format16", "format-max", "format-count"]),
    "smram-scan": check_calls(["scan8", "scan-modifiers"]),
    "smram-strings": check_calls(["copy8", "copy16", "compare-fold", "compare-exact", "compare-unbounded",
                                  "compare16"]),
    "smram-heap": check_heap,
}


# ---------------------------------------------------------------- commands

def add_commands(sub):
    for p in qemu_run.add_commands(sub, "smram-", SCENARIOS, CHECKS):
        p.add_argument("--firmware", type=Path, required=True)
        p.add_argument("--limit", type=int, default=100)


def run(args):
    """Runs an smram-* command; returns the exit status."""
    def boot_command(args):
        if args.scenario == "fault":
            return f"fault: {check_fault_boot(args.images, args.firmware, args.out, args.limit)}"
        elapsed = boot(args.scenario, args.images, args.firmware, args.out, args.limit)
        return f"{args.scenario}: QEMU powered off after {elapsed:.1f} s"

    return qemu_run.run(args, "smram-", CHECKS, boot_command,
                        lambda args: demo(args.images, args.firmware, args.out, args.limit))


def demo(images, firmware, out, limit):
    print(f"Booting the SMM-enabled OVMF with the SMRAM probe (q35, smm=on); time limit {limit} s ...", flush=True)
    try:
        elapsed = boot("calls", images, firmware, out, limit)
    except Failure as error:
        print(f"SMRAM boot FAILED: {error}")
        return 1
    print(f"QEMU powered off after {elapsed:.1f} s.\n")
    print("== Debug console: the SMRAM probe and smramctl")
    for line in debug_lines(out):
        if line.startswith(("CTL", "SMM")):
            print(line)
    text = com1_calls(out)
    if text is not None:
        print("\n== COM1 between the markers (SMM copy first, then the boot-services copy)")
        sys.stdout.write(text.replace(b"\n\r", b"\n").decode("latin-1"))
    return qemu_run.run_checks(qemu_run.listed_checks("smram_boot_calls"), CHECKS, out)
