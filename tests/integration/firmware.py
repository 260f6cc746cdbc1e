#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Boots the driver images in OVMF under QEMU and checks what they did.

  firmware.py boot SCENARIO --images DIR --out DIR   one boot; leaves com1.bin
                                                     and debug.log in --out
                           [--drivers DIR]           ServiceLib.efi and
                                                     WdtControl.efi from DIR
                                                     (built elsewhere, e.g. by
                                                     EDK2), the rest from
                                                     --images
                           [--gdb PORT]              QEMU's gdbstub on PORT,
                                                     halted until the debugger
                                                     continues
                           [--firmware FILE]         the code image to boot
                                                     (the flash boots need
                                                     build/flash's)
  firmware.py check CHECK --out DIR                  one check over those logs
  firmware.py demo --images DIR --out DIR            the demo boot, its
                                                     transcript, the register
                                                     log and every check

A boot lays out a folder with the images and a startup.nsh, which QEMU
presents read-only as a FAT disk (virtio) and the UEFI Shell runs at once:
the runner presses a key at its 5 s countdown. The fixture driver and
fixturectl (fixture/) play the platform parts OVMF lacks; their log, the
demo's progress lines and the watchdog register traffic go to the debug
console port, which QEMU writes to debug.log and which survives
ExitBootServices. COM1 is a pair of named pipes that this script reads and writes; it types the
input line only once the demo (or the probe) has asked for it, since the
firmware's own console polls COM1 too. The demo or the probe (probe/) ends every boot
with a power-off, or the shell's "reset -s" after the gnu-efi client. A
firmware exception dump on COM1 ends the boot at once as a failure, and so
does the time limit.
"""
import argparse
import itertools
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import qemu_run
import framework_lane  # the Framework SMM Base boot and its checks (framework-* commands)
import smram_lane  # the SMRAM lane's boots and checks (smram-* commands)
from qemu_run import (Failure, clear_outputs, connect, debug_lines, expect, find_qemu, make_disk, qemu_command,
                      receive, skip_countdown)

HERE = Path(__file__).resolve().parent
OVMF_CODE = Path("/usr/share/OVMF/OVMF_CODE_4M.fd")
OVMF_VARS = Path("/usr/share/OVMF/OVMF_VARS_4M.fd")
BEGIN = b"<<<DEMO BEGIN>>>\n\r"
END = b"<<<DEMO END>>>\n\r"
GNU_EFI_BEGIN = b"<<<GNU-EFI BEGIN>>>\n\r"
GNU_EFI_END = b"<<<GNU-EFI END>>>\n\r"
PROMPT = b"input> "
INPUT_LINE = b"42 -17 0x1F hello\n"
TIME_TEXT = re.compile(rb"\d\d/\d\d/\d{4}  \d\d:\d\d")
PROBE_BEGIN = b"<<<PROBE BEGIN>>>\n\r"
PROBE_END = b"<<<PROBE END>>>\n\r"
# What the firmware's exception handler prints on COM1 before it stops.
EXCEPTION = re.compile(rb"!!!! \S+ Exception Type - [^\r\n]*")
EXCEPTION_GRACE = 2  # seconds to let the rest of the dump arrive

SETUP_GUID = "ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"


def setvar_setup(timeout, nonvolatile=False):
    """The shell's own command for a 410-byte Setup variable with this timeout."""
    data = bytearray(410)
    data[332] = timeout
    return f"setvar Setup -guid {SETUP_GUID}{' -nv' if nonvolatile else ''} -bs -rt ={data.hex().upper()}"


# The demo boot: Setup timeout 30, SMM Base installed after ServiceLib (so its
# notification loads the SMM copy), register access before WdtControl.
# The hand-off boot: timeout 0, register access installed after WdtControl,
# the hook service calling the stop routine, then the hand-off.
# The stock boot: OVMF as it is, no fixture. ServiceLib has only OVMF's PI
# CPU I/O 2 protocol to use; WdtControl finds no Setup, then (once the shell
# has set it) no hook service, and must fail to load and leave nothing behind.
# The late-CPU-I/O boot: ServiceLib starts and prints before the Framework
# CPU I/O protocol exists; then the fixture brings it, and every later
# access must go through it. The planted boot: a stranger's table under the
# SMM instance's GUID before the SMM copy starts, which must never call it;
# SMM Base is installed twice, and only the first may start an SMM copy.
# The late-CPU-I/O boot's first probe also measures FormatOutput's stack.
# The gnu-efi boot: the gnu-efi client prints through ServiceLib (CPU I/O
# from the fixture), then the shell powers off.
# The interrupt boot: the fixture's CPU I/O signals the probe's notification
# (which prints and scans from memory) right after the probe's PutCharA
# opens the divisor latch, and right after its GetCharA reads the data
# register in the middle of a scan of the typed line.
SCENARIOS = {
    "demo": ["load Fixture.efi", "fixturectl setup 30", "load ServiceLib.efi", "fixturectl smmbase",
             "fixturectl regaccess", "load WdtControl.efi", "Demo.efi"],
    "handoff": ["load Fixture.efi", "fixturectl setup 0", "load ServiceLib.efi", "load WdtControl.efi",
                "fixturectl regaccess", "fixturectl hook", "Demo.efi wdt"],
    "stock": ["load ServiceLib.efi", "Probe.efi print scratch wdt cases", "load WdtControl.efi", setvar_setup(30),
              "load WdtControl.efi", "Probe.efi print scratch wdt off"],
    "latecpuio": ["load ServiceLib.efi", "Probe.efi print scratch stack", "load Fixture.efi",
                  "Probe.efi print scratch off"],
    "planted": ["load Fixture.efi", "load ServiceLib.efi", "fixturectl plant", "fixturectl smmbase",
                "fixturectl smmbase", "Probe.efi smm print scratch cases off"],
    "gnuefi": ["load Fixture.efi", "load ServiceLib.efi", "GnuEfiClient.efi", "reset -s"],
    # The flash boots: OVMF with ServiceLib, WdtControl and the fixture in
    # its DXE volume (flash/), nothing loaded from the disk. The first boot
    # finds no Setup, so WdtControl fails at its dispatch; the shell stores
    # Setup in the non-volatile store. The second boot, on that store,
    # dispatches WdtControl, which waits for register access; the shell
    # shows the drivers' loaded images, installs register access, and the
    # probe prints through ServiceLib, finds WdtControl and hands off.
    "flash-setup": ["Probe.efi print wdt", setvar_setup(30, nonvolatile=True), "reset -s"],
    "flash": ["dh -p LoadedImage", "fixturectl regaccess", "Probe.efi print scratch wdt off"],
    "interrupt": ["load Fixture.efi", "load ServiceLib.efi", "Probe.efi interrupt off"],
}
# A boot that runs on the variable store that another boot left behind.
PREVIOUS_BOOT = {"flash": "flash-setup"}
FLASH_SCENARIOS = {"flash", "flash-setup"}
FLASH_TOOL = HERE.parent.parent / "smram" / "tools" / "flash_image.py"
IMAGES = ["Fixture.efi", "fixturectl.efi", "ServiceLib.efi", "WdtControl.efi", "Demo.efi", "Probe.efi",
          "GnuEfiClient.efi"]
# A boot's disk holds the images its script names, and each must be there
# but WdtControl.efi: without it the shell reports the missing file and
# goes on; only the watchdog checks fail then.
OPTIONAL = "WdtControl.efi"
DRIVERS = ["ServiceLib.efi", "WdtControl.efi"]
STACK_BOUND = "ServiceLib.stack"  # written by the build (cmake/footprint.py)


# ---------------------------------------------------------------- booting

def find_tools():
    qemu = find_qemu()
    for path in (OVMF_CODE, OVMF_VARS):
        if not path.is_file():
            raise Failure(f"{path} not found: install the Debian package ovmf")
    return qemu


def lay_out(images, out, scenario, drivers=None, variables=OVMF_VARS):
    script = " ".join(SCENARIOS[scenario])
    files = []
    for name in (name for name in IMAGES if name.removesuffix(".efi") in script):
        source = (drivers if drivers and name in DRIVERS else images) / name
        if source.is_file():
            files.append(source)
        elif name != OPTIONAL:
            hint = " (it needs gnu-efi: install the Debian package gnu-efi)" if name == "GnuEfiClient.efi" else ""
            raise Failure(f"{source} is missing: build the images first{hint}")
    # The build's static stack bound of its ServiceLib.efi, for the stack
    # check; a ServiceLib.efi from --drivers comes without one.
    (out / STACK_BOUND).unlink(missing_ok=True)
    if not drivers and (images / STACK_BOUND).is_file():
        shutil.copy(images / STACK_BOUND, out / STACK_BOUND)
    return make_disk(out, files, SCENARIOS[scenario], variables)


def boot(scenario, images, out, limit, progress=None, drivers=None, gdb=None, firmware=None):
    qemu = find_tools()
    if scenario in FLASH_SCENARIOS:
        if firmware is None or not firmware.is_file():
            raise Failure(f"the {scenario} boot needs --firmware: the image that the target flash_firmware builds "
                          f"(build/flash/OVMF_CODE_4M.flash.fd)")
        # What the image holds, for the check that reads it.
        listing = subprocess.run([sys.executable, str(FLASH_TOOL), "--ovmf", str(firmware), "--list"],
                                 capture_output=True, text=True)
        expect(listing.returncode == 0, f"flash_image.py --list failed: {listing.stderr.strip()}")
        out.mkdir(parents=True, exist_ok=True)
        (out / "flash-list.txt").write_text(listing.stdout)
    variables, earlier = OVMF_VARS, 0.0
    if scenario in PREVIOUS_BOOT:
        previous = out / PREVIOUS_BOOT[scenario]
        earlier = boot(PREVIOUS_BOOT[scenario], images, previous, limit, progress, drivers, gdb, firmware)
        variables = previous / "vars.fd"
    sock_path = clear_outputs(out)
    fat = lay_out(images, out, scenario, drivers, variables)
    command = (["timeout", "--kill-after=5", str(limit)] +
               qemu_command(qemu, "q35,accel=tcg", firmware or OVMF_CODE, out, fat) +
               (["-gdb", f"tcp::{gdb}", "-S"] if gdb else []))
    started = time.monotonic()
    with open(out / "qemu.log", "wb") as qemu_log:
        process = subprocess.Popen(command, stdout=qemu_log, stderr=subprocess.STDOUT)
        com1 = bytearray()
        crashed = None
        try:
            conn = connect(sock_path, process)
            sent = skipped = False
            while True:
                if crashed is None and EXCEPTION.search(com1):
                    crashed = time.monotonic()
                if crashed is not None and time.monotonic() - crashed > EXCEPTION_GRACE:
                    process.terminate()  # timeout passes it on to QEMU
                    break
                if not receive(conn, com1, 0.5):
                    break
                skipped = skip_countdown(conn, com1, skipped)
                begin = max(com1.find(BEGIN), com1.find(PROBE_BEGIN))
                if not sent and begin >= 0 and com1.find(PROMPT, begin) >= 0:
                    conn.sendall(INPUT_LINE)
                    sent = True
                    if progress:
                        progress(f"typed on COM1: {INPUT_LINE.decode().strip()}")
            conn.close()
        finally:
            (out / "com1.bin").write_bytes(bytes(com1))
            status = process.wait()
    elapsed = time.monotonic() - started + earlier
    (out / "elapsed").write_text(f"{elapsed:.1f}\n")
    if crashed is not None:
        raise Failure(f"the firmware stopped with an exception after {elapsed:.0f} s: "
                      f"{EXCEPTION.search(com1).group().decode('ascii', 'replace')} (logs in {out})")
    if status == 124 or status == 137:
        raise Failure(f"QEMU did not power off within {limit} s (logs in {out})")
    if status != 0:
        raise Failure(f"QEMU failed with status {status}: {(out / 'qemu.log').read_text().strip()}")
    return elapsed


# ---------------------------------------------------------------- reading logs

def demo_bytes(out, markers=(BEGIN, END), who="the demo"):
    """A client's COM1 bytes from its begin marker to the end of its end marker."""
    com1 = (out / "com1.bin").read_bytes()
    begin = com1.find(markers[0])
    if begin < 0:
        raise Failure(f"{who}'s begin marker is not on COM1")
    end = com1.find(markers[1], begin)
    if end < 0:
        raise Failure(f"{who}'s end marker is not on COM1")
    return com1[begin:end + len(markers[1])]


def index_of(lines, prefix, start=0):
    for index in range(start, len(lines)):
        if lines[index].startswith(prefix):
            return index
    raise Failure(f"no line starting {prefix!r} in the debug log after line {start + 1}")


RA_LINE = re.compile(r"^RA ([RW]) ([0-9A-F]{2}):([0-9A-F]):([0-9A-F]{8}) (->|<-) ([0-9A-F]{2})$")


def accesses(lines):
    """Register-access lines as (kind, (type, bank, register), value)."""
    result = []
    for line in lines:
        if line.startswith("RA "):
            match = RA_LINE.match(line)
            if match is None:
                raise Failure(f"malformed or flagged register access: {line!r}")
            kind, typ, bank, reg, _, value = match.groups()
            result.append((kind, (int(typ, 16), int(bank, 16), int(reg, 16)), int(value, 16)))
    return result


def watchdog_registers(header=HERE.parent.parent / "wdtcontrol" / "registers.h"):
    """The watchdog's registers as the driver defines them: {name: (type, bank, register)}."""
    found = {name: tuple(int(value, 0) for value in values) for name, *values in re.findall(
        r"^inline constexpr REGISTER_ID k(\w+)Register\s*=\s*\{\s*(\w+),\s*(\w+),\s*(\w+)\s*\};", header.read_text(),
        re.MULTILINE)}
    missing = {"Gate", "Mode", "Control", "Timeout", "Key", "Counter"} - found.keys()
    if missing:
        raise SystemExit(f"{header}: no definition of the {', '.join(sorted(missing))} register")
    return found


REG = watchdog_registers()


def arm_steps(timeout):
    return ([("rmw", REG["Gate"], lambda v: v | 0x01), ("rmw", REG["Mode"], lambda v: v & 0xFE),
             ("rmw", REG["Control"], lambda v: v | 0x02)] +
            [("w", REG["Key"], value) for value in (0x5C, 0x23, 0x14, 0x08, 0x01)] +
            [("w", REG["Counter"], 0x00), ("w", REG["Timeout"], timeout)])


STOP_STEPS = [("rmw", REG["Gate"], lambda v: v | 0x01), ("rmw", REG["Control"], lambda v: v & 0xFC),
              ("w", REG["Timeout"], 0x00)]


def expect_sequence(found, steps, what, repeats_allowed=True):
    """found must be the steps once (or, when allowed, several times over)."""
    position, rounds = 0, 0
    while position < len(found) or rounds == 0:
        for step in steps:
            kind, register, rule = step
            if kind == "rmw":
                pair = found[position:position + 2]
                if (len(pair) != 2 or pair[0][:2] != ("R", register) or pair[1][:2] != ("W", register)
                        or pair[1][2] != rule(pair[0][2])):
                    raise Failure(f"{what}: expected a read-modify-write of {fmt_reg(register)} at access "
                                  f"{position + 1}, found {describe(pair)}")
                position += 2
            else:
                access = found[position:position + 1]
                if access != [("W", register, rule)]:
                    raise Failure(f"{what}: expected write {fmt_reg(register)} <- {rule:02X} at access "
                                  f"{position + 1}, found {describe(access)}")
                position += 1
        rounds += 1
        if not repeats_allowed:
            break
    if position != len(found):
        raise Failure(f"{what}: unexpected accesses after the sequence: {describe(found[position:])}")
    return rounds


def fmt_reg(register):
    return "(%X, %X, %X)" % register


def describe(found):
    return ", ".join(f"{kind} {fmt_reg(reg)} {value:02X}" for kind, reg, value in found) or "nothing"


def between(lines, start_prefix, end_prefix, start=0):
    first = index_of(lines, start_prefix, start)
    last = index_of(lines, end_prefix, first + 1)
    return lines[first + 1:last], last


def summary(lines):
    line = lines[index_of(lines, "FIX summary")]
    return {key: int(value) for key, value in re.findall(r"(\S+)=(\d+)", line)}


# ---------------------------------------------------------------- checks

def check_com1(out, expected_name, actual=None, markers=(BEGIN, END), who="the demo"):
    """Exact bytes between a client's markers (the demo's unless given): LF then CR, nothing else; %t masked."""
    if actual is None:
        actual = TIME_TEXT.sub(b"MM/DD/YYYY  hh:mm", demo_bytes(out, markers, who))
    expected = (HERE / "expected" / expected_name).read_bytes().replace(b"\n", b"\n\r")
    if actual != expected:
        (out / (expected_name + ".actual")).write_bytes(actual)
        a_lines, e_lines = actual.split(b"\n"), expected.split(b"\n")
        for number, (a, e) in enumerate(zip(a_lines, e_lines), 1):
            if a != e:
                raise Failure(f"COM1 line {number} differs:\n  expected {e!r}\n  actual   {a!r}")
        raise Failure(f"COM1 has {len(a_lines)} lines, expected {len(e_lines)}")


def check_demo_com1(out):
    check_com1(out, "demo_com1.txt")


def check_handoff_com1(out):
    check_com1(out, "handoff_com1.txt")


def check_gnuefi_com1(out):
    check_com1(out, "gnuefi_com1.txt", markers=(GNU_EFI_BEGIN, GNU_EFI_END), who="the gnu-efi client")


def check_smm_lifecycle(out):
    lines = debug_lines(out)
    start = index_of(lines, "CTL smmbase")
    flow, _ = between(lines, "CTL smmbase", "CTL smmbase done status=0", 0)
    register = [line for line in flow if line.startswith("SMM Register")]
    expect(len(register) == 1, f"expected one Register call when SMM Base appeared, found {register}")
    expect(re.fullmatch(r"SMM Register This=SmmBase FilePath=\S*/HD\([^)]*\)/\\ServiceLib\.efi "
                        r"SourceBuffer=0 SourceSize=0 LegacyIA32Binary=0", register[0]),
           f"Register arguments: {register[0]!r}")
    order = ["SMM Register", "SMM LoadImage status=0", "SMM InSmm This=SmmBase -> 1",
             "SMM GetSmstLocation This=SmmBase", "SMM StartImage in SMM status=0"]
    position = 0
    for prefix in order:
        position = index_of(flow, prefix, position) + 1
    expect(not any(line.startswith("SMM InSmm") for line in lines[:start]),
           "ServiceLib asked InSmm before SMM Base was installed")
    demo = index_of(lines, "APP demo")
    expect(re.fullmatch(r"SMM Register This=SmmBase FilePath=\S*\\Demo\.efi SourceBuffer=0 SourceSize=0 "
                        r"LegacyIA32Binary=0", lines[index_of(lines, "SMM Register", demo)]),
           "slot 0 of the demo: Register arguments")
    for kind in ("write", "read"):
        line = lines[index_of(lines, f"SMM SmmIo first {kind}:")]
        expect(" This=&Smst->SmmIo " in line, f"SmmIo called with another This: {line!r}")
    for name in ("boot services", "SMM"):
        expect(f"APP {name} instance: IoWrite 0x3FF status=0 IoRead 0x3FF=A5" in lines,
               f"port I/O through the {name} instance")
    counts = summary(lines)
    expect(counts["smmio.wrongthis"] == 0 and counts["cpuio.wrongthis"] == 0, f"wrong This: {counts}")
    expect(counts["smmio.writes"] > 0 and counts["smmio.reads"] > 0, f"SMM copy did no port I/O: {counts}")
    expect(counts["cpuio.writes"] > 0 and counts["cpuio.reads"] > 0, f"boot-services copy did no port I/O: {counts}")


# The fixture's register file as a previous boot left it (fixture/regaccess.cpp).
STATUS_READS = [("R", REG["Gate"], 0x41), ("R", REG["Mode"], 0x0D), ("R", REG["Control"], 0x01),
                ("R", REG["Timeout"], 0x1E)]


def check_handoff(lines, steps, what):
    segment, _ = between(lines, "APP exit boot services", "APP exit boot services done")
    rounds = expect_sequence(accesses(segment), steps, what)
    attempts = int(lines[index_of(lines, "APP exit boot services done")].rsplit("=", 1)[1])
    expect(rounds == attempts, f"{what}: {rounds} sequences for {attempts} ExitBootServices calls")
    expect(lines[-1] == "APP reset shutdown", "the demo did not end with the power-off")


def check_wdt_armed(out):
    lines = debug_lines(out)
    expect("CTL setup timeout=30 status=0" in lines, "Setup was not set with timeout 30")
    ready, _ = between(lines, "CTL after regaccess", "APP demo")
    expect(accesses(ready) == STATUS_READS, f"status reads at start: {describe(accesses(ready))}")
    expect(any(line == "HOOK register code=2 systemtable=ok image=set routine=set" for line in ready),
           "WdtControl did not register its stop routine with code 2")
    expect("APP WdtControlStatus status=0 size=2 attributes=6 value=003D" in lines, "status variable")
    expect("APP GetState status=0 enabled=1" in lines, "GetState")
    demo = index_of(lines, "APP demo")
    expect(not accesses(lines[demo:index_of(lines, "APP exit boot services")]), "register access before hand-off")
    check_handoff(lines, arm_steps(30), "arm at exit of boot services")


def check_wdt_stopped(out):
    lines = debug_lines(out)
    expect("CTL setup timeout=0 status=0" in lines, "Setup was not set with timeout 0")
    hook, _ = between(lines, "HOOK run", "HOOK run done")
    expect_sequence(accesses(hook), STOP_STEPS, "stop through the hook", repeats_allowed=False)
    start, _ = between(lines, "APP watchdog Start", "APP watchdog Start returned")
    expect(not accesses(start), f"Start with timeout 0 touched registers: {describe(accesses(start))}")
    expect("APP GetState status=0 enabled=0" in lines, "GetState")
    expect("APP Start status=8000000000000002" in lines, "Start with timeout 0 did not refuse")
    check_handoff(lines, STOP_STEPS, "stop at exit of boot services")


def check_wdt_late_regaccess(out):
    lines = debug_lines(out)
    before = index_of(lines, "CTL before regaccess")
    expect(lines[before] == "CTL before regaccess: watchdog-protocol=absent status-variable=absent",
           f"before the register-access service: {lines[before]!r}")
    expect(not accesses(lines[:before]) and not any(line.startswith("HOOK register") for line in lines[:before]),
           "WdtControl acted before the register-access service existed")
    ready, after = between(lines, "FIX install register access", "CTL after regaccess")
    expect(accesses(ready) == STATUS_READS, f"status reads when the service appeared: {describe(accesses(ready))}")
    expect(any(line.startswith("HOOK register code=2") for line in ready), "no hook registration")
    expect(lines[after] == "CTL after regaccess: watchdog-protocol=present status-variable=003D",
           f"after the register-access service: {lines[after]!r}")


# ---------------------------------------------------------------- probe checks

# Every character through PutCharA costs the serial bring-up (23 writes and
# 3 reads through the port I/O slots; the SMM copy's 24 and 4, as it reads
# 0xCF8 first and writes it back), then one write of the byte, and one more
# for the carriage return after a line feed; the line-status polls are
# direct port reads. The scratch step adds two writes and two reads.
BRING_UP = {"bs": (23, 3), "smm": (24, 4)}
SCRATCH_LINE = "APP probe scratch: write A5 status=0 read A5, write 5A status=0 read 5A"
LOAD_LINE = re.compile(rb"Image '[^']*\\([\w.]+)' (?:loaded at [0-9A-F]+ - |error in StartImage: )([^\r\n]*)\r\n")


def probe_blocks(out):
    """Each probe run's COM1 bytes, markers included, as (offset, bytes) in the order they ran."""
    com1 = (out / "com1.bin").read_bytes()
    blocks, position = [], 0
    while (begin := com1.find(PROBE_BEGIN, position)) >= 0:
        end = com1.find(PROBE_END, begin)
        expect(end >= 0, "a probe's end marker is not on COM1")
        position = end + len(PROBE_END)
        blocks.append((begin, com1[begin:position]))
    return blocks


def expected_probe_blocks(expected_name):
    """The expected file's probe runs, each with LF line ends as the probe printed them."""
    parts = (HERE / "expected" / expected_name).read_bytes().split(PROBE_BEGIN[:-1])
    return [PROBE_BEGIN[:-1] + part for part in parts[1:]]


def port_io_cost(block, copy="bs"):
    """(writes, reads) through the port I/O slots for one probe run that printed block."""
    characters = len(block)
    scratch = sum(line.startswith(b"scratch: ") for line in block.split(b"\n"))
    writes, reads = BRING_UP[copy]
    return (characters * (writes + 1) + block.count(b"\n") + 2 * scratch,
            characters * reads + 2 * scratch)


def check_probe_com1(out, expected_name):
    exception = EXCEPTION.search((out / "com1.bin").read_bytes())
    expect(exception is None, f"exception dump on COM1: {exception and exception.group()!r}")
    blocks = probe_blocks(out)
    expect(blocks, "no probe output between markers on COM1")
    check_com1(out, expected_name, b"".join(block for _, block in blocks))


def expect_counts(lines, cpuio, smmio):
    """The fixture's counters at the hand-off: (writes, reads) per protocol, no wrong This."""
    counts = summary(lines)
    wanted = {"cpuio.writes": cpuio[0], "cpuio.reads": cpuio[1], "cpuio.wrongthis": 0,
              "smmio.writes": smmio[0], "smmio.reads": smmio[1], "smmio.wrongthis": 0}
    expect(counts == wanted, f"port accesses counted by the fixture: {counts}, expected {wanted}")


def expect_scratch_and_end(lines, runs):
    found = [line for line in lines if line.startswith("APP probe scratch")]
    expect(found == [SCRATCH_LINE] * runs, f"scratch register through IoWrite/IoRead: {found}")
    expect(lines[-2].startswith("APP exit boot services done") and lines[-1] == "APP reset shutdown",
           f"the run did not end with the hand-off and the power-off: {lines[-2:]}")


def check_stock_com1(out):
    check_probe_com1(out, "stock_com1.txt")


def check_stock_port_io(out):
    expect_scratch_and_end(debug_lines(out), 2)


def check_stock_wdt(out):
    com1 = (out / "com1.bin").read_bytes()
    events = sorted([(m.start(), f"load {m.group(1).decode()}: {m.group(2).decode()}")
                     for m in LOAD_LINE.finditer(com1)] + [(begin, "probe") for begin, _ in probe_blocks(out)])
    wanted = ["load ServiceLib.efi: Success", "probe", "load WdtControl.efi: Not Found",
              "load WdtControl.efi: Not Found", "probe"]
    expect([event for _, event in events] == wanted, f"shell loads and probe runs on COM1: {events}")
    absent = "WdtControlStatus status=800000000000000E protocol status=800000000000000E images=0"
    found = [line for line in debug_lines(out) if line.startswith("APP probe wdt:")]
    expect(found == [f"APP probe wdt: Setup status=800000000000000E size=0 timeout=0 {absent}",
                     f"APP probe wdt: Setup status=0 size=410 timeout=30 {absent}"],
           f"what WdtControl left behind: {found}")


def check_latecpuio_com1(out):
    check_probe_com1(out, "latecpuio_com1.txt")


def check_latecpuio_counts(out):
    lines = debug_lines(out)
    runs = [index for index, line in enumerate(lines) if line == "APP probe done"]
    expect(len(runs) == 2 and runs[0] < index_of(lines, "FIX ready") < runs[1],
           "expected one probe run before the fixture was loaded and one after")
    expect_scratch_and_end(lines, 2)
    expect_counts(lines, port_io_cost(expected_probe_blocks("latecpuio_com1.txt")[1]), (0, 0))


def check_planted_com1(out):
    check_probe_com1(out, "planted_com1.txt")


def check_planted_smmio(out):
    lines = debug_lines(out)
    expect("SMM StartImage in SMM status=0" in lines, "the SMM copy did not start")
    expect_scratch_and_end(lines, 1)
    expect_counts(lines, (0, 0), port_io_cost(expected_probe_blocks("planted_com1.txt")[0], "smm"))


def check_planted_untouched(out):
    lines = debug_lines(out)
    expect(index_of(lines, "CTL plant done status=0") < index_of(lines, "CTL smmbase"),
           "the table was not planted before the SMM copy started")
    calls = [line for line in lines if line.startswith("PLANT")]
    expect(not calls, f"the planted table was called: {calls[:4]}")
    expect("APP probe SMM instances=2 on an image handle=1" in lines,
           "the probe did not find the planted and the real SMM instance")


def check_planted_smm_once(out):
    lines = debug_lines(out)
    installs = [index for index, line in enumerate(lines) if line == "FIX install smm base"]
    expect(len(installs) == 2, f"expected SMM Base installed twice, found {len(installs)}")
    register = [line for line in lines if line.startswith("SMM Register")]
    expect(len(register) == 1 and register[0].endswith("\\ServiceLib.efi SourceBuffer=0 SourceSize=0 "
                                                       "LegacyIA32Binary=0"),
           f"ServiceLib must register its image in SMRAM exactly once: {register}")


def check_interrupt_com1(out):
    check_probe_com1(out, "interrupt_com1.txt")


def check_interrupt_signals(out):
    """The fixture signalled once at each trigger, and the notification ran once for each."""
    lines = debug_lines(out)
    signals = [line for line in lines if line.startswith("FIX signal")]
    expect(signals == ["FIX signal after out 3FB=80", "FIX signal after in 3F8=34"],
           f"the fixture's signals: {signals}")
    notified = [line for line in lines if line.startswith("APP probe notified")]
    expect(notified == ["APP probe notified: scanned 1"] * 2, f"the probe's notification: {notified}")
    expect_scratch_and_end(lines, 0)


def check_cases(out):
    """The probe's cases step: every row of the format case table (counted in its header) and no mismatch."""
    rows = len(re.findall(r'\bRow(?:8|16) \("', (HERE.parent.parent / "testkit" / "FormatCases.h").read_text()))
    found = [line for line in debug_lines(out) if line.startswith("APP probe cases:")]
    expect(found == [f"APP probe cases: {rows} rows, 0 mismatches"], f"the format cases in firmware: {found}")


STACK_LINE = re.compile(r"APP probe stack: FormatOutput deepest (\d+) bytes")


def check_latecpuio_stack(out):
    """FormatOutput's stack high-water mark in the image: within its budget and the build's static bound."""
    lines = debug_lines(out)
    errors = [line for line in lines if line.startswith("APP probe stack error")]
    found = [int(match.group(1)) for match in map(STACK_LINE.match, lines) if match]
    expect(len(found) == 1, f"the probe did not measure FormatOutput's stack: {errors or 'no stack line'}")
    path = out / STACK_BOUND
    expect(path.is_file(), f"no static stack bound from the build beside the logs ({path})")
    line = next((line for line in path.read_text().splitlines() if line.startswith("FormatOutput ")), "")
    bound = dict(re.findall(r"(\w+)=(\d+)", line))
    expect("depth" in bound and "budget" in bound, f"no FormatOutput bound in {path}")
    measured, static, budget = found[0], int(bound["depth"]), int(bound["budget"])
    expect(measured <= budget, f"FormatOutput used {measured} bytes of stack, over its budget of {budget}")
    expect(measured <= static, f"FormatOutput used {measured} bytes of stack, more than the {static} that the "
                               f"build worked out: its call graph missed a path")


# ---------------------------------------------------------------- flash checks

ANSI = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")
LOADED_IMAGE = re.compile(r"^[0-9A-F]+: .*LoadedImage\(([^)]*)\)", re.MULTILINE)
FLASH_DRIVERS = ["ServiceLib", "WdtControl", "Fixture"]
FLASH_SETUP_WDT = ("APP probe wdt: Setup status=800000000000000E size=0 timeout=0 WdtControlStatus "
                   "status=800000000000000E protocol status=800000000000000E images=0")
FLASH_WDT = "APP probe wdt: Setup status=0 size=410 timeout=30 WdtControlStatus status=0 protocol status=0 images=1"


def check_flash_com1(out):
    """Both boots' probe runs: the first without Setup, the second finding
    WdtControl by its firmware-volume file."""
    blocks = []
    for folder in (out / PREVIOUS_BOOT["flash"], out):
        exception = EXCEPTION.search((folder / "com1.bin").read_bytes())
        expect(exception is None, f"exception dump on COM1 in {folder}: {exception and exception.group()!r}")
        blocks += [block for _, block in probe_blocks(folder)]
    check_com1(out, "flash_com1.txt", b"".join(blocks))


def loaded_drivers(out):
    """The images that the shell's `dh -p LoadedImage` lists, in the order
    they started, after checking that each flash driver started once."""
    text = ANSI.sub(b"", (out / "com1.bin").read_bytes()).decode("latin-1").replace("\r", "")
    names = LOADED_IMAGE.findall(text)
    counts = {name: names.count(name) for name in FLASH_DRIVERS}
    expect(counts == dict.fromkeys(FLASH_DRIVERS, 1), f"loaded images of the drivers: {counts}")
    return names


def check_flash_dispatch(out):
    """The drivers came from flash: the tool lists them in the image, and
    the shell's `dh -p LoadedImage` shows each started once, ServiceLib
    first of all drivers (the APRIORI list)."""
    listing = (out / "flash-list.txt").read_text()
    expect(re.search(r"APRIORI DXE\n\s+apriori: ServiceLib, ", listing),
           "the image's live APRIORI DXE file does not start with ServiceLib")
    for name in FLASH_DRIVERS:
        expect(re.search(rf" DRIVER .* DXE_DEPEX  {name}\n", listing), f"the image's listing has no DRIVER {name}")
    names = loaded_drivers(out)
    expect(names[:2] == ["DxeCore", "ServiceLib"], f"first loaded images: {names[:4]}, expected DxeCore, ServiceLib")


def check_volume_dispatch(out):
    """ServiceLib and WdtControl came from the volume that EDK2 built,
    carried whole in the FV_IMAGE file SERVICELIB: the tool lists them only
    inside that file's volume, the fixture in the DXE volume itself, and
    the shell shows each started once."""
    lines = (out / "flash-list.txt").read_text().splitlines()
    file = next((i for i, line in enumerate(lines) if re.search(r" FV_IMAGE .*  SERVICELIB$", line)), None)
    expect(file is not None, "the image's listing has no FV_IMAGE file SERVICELIB")
    depth = len(lines[file]) - len(lines[file].lstrip())
    end = file + 1 + sum(1 for _ in itertools.takewhile(lambda line: len(line) - len(line.lstrip()) > depth,
                                                          lines[file + 1:]))
    drivers = {name: [file < i < end for i, line in enumerate(lines) if re.search(rf" DRIVER .* DXE_DEPEX  {name}$", line)]
               for name in FLASH_DRIVERS}
    expect(drivers == {"ServiceLib": [True], "WdtControl": [True], "Fixture": [False]},
           f"DRIVER files, True where inside SERVICELIB's volume: {drivers}")
    loaded_drivers(out)


def check_flash_wdt_armed(out):
    """WdtControl from flash: failing without Setup, then waiting for
    register access, ready when it appears, armed with 30 at hand-off."""
    first = debug_lines(out / PREVIOUS_BOOT["flash"])
    expect(first[:2] == ["FIX start", "FIX ready: cpuio hook control"], f"first boot began with {first[:2]}")
    expect(FLASH_SETUP_WDT in first, "WdtControl left something behind when Setup was missing")
    lines = debug_lines(out)
    expect(lines[:2] == ["FIX start", "FIX ready: cpuio hook control"], f"second boot began with {lines[:2]}")
    before = index_of(lines, "CTL before regaccess")
    expect(lines[before] == "CTL before regaccess: watchdog-protocol=absent status-variable=absent",
           f"before the register-access service: {lines[before]!r}")
    ready, after = between(lines, "FIX install register access", "CTL after regaccess")
    expect(accesses(ready) == STATUS_READS, f"status reads when the service appeared: {describe(accesses(ready))}")
    expect("HOOK register code=2 systemtable=ok image=set routine=set" in ready, "no hook registration")
    expect(lines[after] == "CTL after regaccess: watchdog-protocol=present status-variable=003D",
           f"after the register-access service: {lines[after]!r}")
    expect(FLASH_WDT in lines, "the probe did not find WdtControl's status, protocol and loaded image")
    expect(not accesses(lines[after:index_of(lines, "APP exit boot services")]), "register access before hand-off")
    check_handoff(lines, arm_steps(30), "arm at exit of boot services")


def check_flash_port_io(out):
    """Every port access of ServiceLib from flash through the fixture's
    Framework CPU I/O, counted exactly from the probe's COM1 text."""
    lines = debug_lines(out)
    expect_scratch_and_end(lines, 1)
    expect_counts(lines, port_io_cost(expected_probe_blocks("flash_com1.txt")[1]), (0, 0))


def check_framework_wdt_armed(out):
    """WdtControl dispatched from the Framework SMM Base image with the
    Setup that the variable store brought: waiting for register access,
    ready when the shell installs it, armed with 30 when smitrigger calls
    ExitBootServices."""
    lines = debug_lines(out)
    expect(lines[index_of(lines, "CTL before regaccess")] ==
           "CTL before regaccess: watchdog-protocol=absent status-variable=absent",
           f"before the register-access service: {lines[index_of(lines, 'CTL before regaccess')]!r}")
    ready, after = between(lines, "FIX install register access", "CTL after regaccess")
    expect(accesses(ready) == STATUS_READS, f"status reads when the service appeared: {describe(accesses(ready))}")
    expect("HOOK register code=2 systemtable=ok image=set routine=set" in ready, "no hook registration")
    expect(lines[after] == "CTL after regaccess: watchdog-protocol=present status-variable=003D",
           f"after the register-access service: {lines[after]!r}")
    expect(not accesses(lines[after:index_of(lines, "APP exit boot services")]), "register access before hand-off")
    check_handoff(lines, arm_steps(30), "arm at exit of boot services")


# The Framework SMM Base boots' image holds WdtControl and the fixture too.
framework_lane.CHECKS["framework-wdt-armed"] = check_framework_wdt_armed

CHECKS = {
    "demo-com1": check_demo_com1,
    "smm-lifecycle": check_smm_lifecycle,
    "wdt-armed": check_wdt_armed,
    "handoff-com1": check_handoff_com1,
    "wdt-stopped": check_wdt_stopped,
    "wdt-late-regaccess": check_wdt_late_regaccess,
    "stock-com1": check_stock_com1,
    "stock-port-io": check_stock_port_io,
    "stock-wdt": check_stock_wdt,
    "stock-cases": check_cases,
    "latecpuio-com1": check_latecpuio_com1,
    "latecpuio-counts": check_latecpuio_counts,
    "latecpuio-stack": check_latecpuio_stack,
    "planted-com1": check_planted_com1,
    "planted-smmio": check_planted_smmio,
    "planted-untouched": check_planted_untouched,
    "planted-smm-once": check_planted_smm_once,
    "planted-cases": check_cases,
    "gnuefi-com1": check_gnuefi_com1,
    "flash-com1": check_flash_com1,
    "flash-dispatch": check_flash_dispatch,
    "volume-dispatch": check_volume_dispatch,
    "flash-wdt-armed": check_flash_wdt_armed,
    "flash-port-io": check_flash_port_io,
    "interrupt-com1": check_interrupt_com1,
    "interrupt-signals": check_interrupt_signals,
}
DEMO_CHECKS = ["demo-com1", "smm-lifecycle", "wdt-armed"]


# ---------------------------------------------------------------- commands

def run_demo(images, out, limit, drivers=None, gdb=None):
    print(f"Booting OVMF under QEMU (q35, 256 MiB, no display); time limit {limit} s ...", flush=True)
    elapsed = boot("demo", images, out, limit, progress=lambda text: print(f"  {text}", flush=True),
                   drivers=drivers, gdb=gdb)
    print(f"QEMU powered off after {elapsed:.1f} s.\n")
    print("== COM1: the demo's transcript (LF+CR shown as line breaks)")
    try:
        sys.stdout.write(demo_bytes(out).replace(b"\n\r", b"\n").decode("latin-1"))
    except Failure as error:
        print(f"({error}; full COM1 capture in {out / 'com1.bin'})")
    print("\n== Debug console: fixture, SMM and watchdog register log")
    sys.stdout.write((out / "debug.log").read_text("ascii", "replace"))
    print()
    failed = 0
    for name in DEMO_CHECKS:
        try:
            CHECKS[name](out)
            print(f"check {name}: ok")
        except Failure as error:
            failed += 1
            print(f"check {name}: FAILED: {error}")
    print(f"Logs: {out / 'com1.bin'} (all of COM1), {out / 'debug.log'}")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for p in qemu_run.add_commands(sub, "", SCENARIOS, CHECKS):
        p.add_argument("--drivers", type=Path)
        p.add_argument("--gdb", type=int, metavar="PORT")
        p.add_argument("--limit", type=int, default=90)
        p.add_argument("--firmware", type=Path)
    smram_lane.add_commands(sub)
    framework_lane.add_commands(sub)
    args = parser.parse_args()
    if args.command.startswith("smram-"):
        return smram_lane.run(args)
    if args.command.startswith("framework-"):
        return framework_lane.run(args)
    try:
        if args.command == "boot":
            elapsed = boot(args.scenario, args.images, args.out, args.limit, drivers=args.drivers, gdb=args.gdb,
                           firmware=args.firmware)
            print(f"{args.scenario}: QEMU powered off after {elapsed:.1f} s")
        elif args.command == "check":
            CHECKS[args.check](args.out)
        else:
            return run_demo(args.images, args.out, args.limit, args.drivers, args.gdb)
    except Failure as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
