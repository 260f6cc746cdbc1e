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
  firmware.py self-check                             boots.json and the runners
                                                     agree (see self_check)
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
from qemu_run import (Failure, clear_outputs, connect, debug_lines, expect, facts, find_qemu, keep_facts, log_line,
                      log_pattern, log_prefix, log_values, make_disk, qemu_command, receive, skip_countdown)

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


def setvar_setup(timeout, nonvolatile=False):
    """The shell's own command for a Setup variable with this timeout, as
    WdtControl reads it (GUID, size and offset from the build's facts):
    a script line that lay_out writes once it has those facts."""
    def line(known):
        setup = known["setup"]
        data = bytearray(setup["size"])
        data[setup["timeout-offset"]] = timeout
        return f"setvar Setup -guid {setup['guid']}{' -nv' if nonvolatile else ''} -bs -rt ={data.hex().upper()}"
    return line


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
    known = keep_facts(images, out)
    if known is None and any(callable(line) for line in SCENARIOS[scenario]):
        raise Failure(f"{images / qemu_run.FACTS} is missing: build the target firmware_facts_json first")
    lines = [line(known) if callable(line) else line for line in SCENARIOS[scenario]]
    script = " ".join(lines)
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
    return make_disk(out, files, lines, variables)


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


def accesses(known, lines):
    """Register-access lines as (kind, (type, bank, register), value)."""
    prefix, pattern = log_prefix(known, "register-access"), log_pattern(known, "register-access")
    result = []
    for line in lines:
        if line.startswith(prefix):
            match = pattern.match(line)
            if match is None or match.group(7):
                raise Failure(f"malformed or flagged register access: {line!r}")
            kind, typ, bank, reg, _, value, _ = match.groups()
            result.append((kind, (int(typ, 16), int(bank, 16), int(reg, 16)), int(value, 16)))
    return result


def watchdog_registers(known):
    """The watchdog's registers as the driver defines them: {name: (type, bank, register)}."""
    return {name: tuple(register) for name, register in known["watchdog-registers"].items()}


def arm_steps(known, timeout):
    reg = watchdog_registers(known)
    return ([("rmw", reg["Gate"], lambda v: v | 0x01), ("rmw", reg["Mode"], lambda v: v & 0xFE),
             ("rmw", reg["Control"], lambda v: v | 0x02)] +
            [("w", reg["Key"], value) for value in (0x5C, 0x23, 0x14, 0x08, 0x01)] +
            [("w", reg["Counter"], 0x00), ("w", reg["Timeout"], timeout)])


def stop_steps(known):
    reg = watchdog_registers(known)
    return [("rmw", reg["Gate"], lambda v: v | 0x01), ("rmw", reg["Control"], lambda v: v & 0xFC),
            ("w", reg["Timeout"], 0x00)]


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


def summary(known, lines):
    """The fixture's port-access counters at the hand-off, by the keys it writes."""
    line = lines[index_of(lines, log_prefix(known, "fixture-summary"))]
    return {key: int(value) for key, value in re.findall(r"(\S+)=(\d+)", line)}


def watchdog_state(known, when):
    """The start of fixturectl's line on what WdtControl has published,
    the same whether its protocol is there or not."""
    return log_prefix(known, "watchdog-absent", when)


def smm_register(known, line, path):
    """Whether line is the fixture's Register, called through its own SMM
    Base with a file path that path (a pattern) matches whole, no source
    buffer, not a 32-bit image."""
    match = log_pattern(known, "smm-register").match(line)
    return (match is not None and match.group(1) == "SmmBase" and re.fullmatch(path, match.group(2)) is not None
            and match.groups()[2:] == ("0", "0", "0"))


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
    known, lines = facts(out), debug_lines(out)
    command = log_line(known, "ctl-command", "smmbase")
    start = index_of(lines, command)
    flow, _ = between(lines, command, log_line(known, "ctl-status", "smmbase done", 0), 0)
    register = [line for line in flow if line.startswith(log_prefix(known, "smm-register"))]
    expect(len(register) == 1, f"expected one Register call when SMM Base appeared, found {register}")
    expect(smm_register(known, register[0], r"\S*/HD\([^)]*\)/\\ServiceLib\.efi"),
           f"Register arguments: {register[0]!r}")
    order = [log_prefix(known, "smm-register"), log_line(known, "smm-load-image", 0),
             log_line(known, "smm-in-smm", "SmmBase", 1), log_line(known, "smm-get-smst-location", "SmmBase"),
             log_line(known, "smm-start-image", 0)]
    position = 0
    for prefix in order:
        position = index_of(flow, prefix, position) + 1
    expect(not any(line.startswith(log_prefix(known, "smm-in-smm")) for line in lines[:start]),
           "ServiceLib asked InSmm before SMM Base was installed")
    demo = index_of(lines, log_line(known, "demo-begin"))
    expect(smm_register(known, lines[index_of(lines, log_prefix(known, "smm-register"), demo)], r"\S*\\Demo\.efi"),
           "slot 0 of the demo: Register arguments")
    for kind in ("write", "read"):
        line = lines[index_of(lines, log_prefix(known, "smm-io-first", kind))]
        expect(log_values(known, "smm-io-first", line)[1] == "&Smst->SmmIo",
               f"SmmIo called with another This: {line!r}")
    for name in ("boot services", "SMM"):
        expect(log_line(known, "demo-port-io", name, 0, 0xA5) in lines, f"port I/O through the {name} instance")
    counts = summary(known, lines)
    expect(counts["smmio.wrongthis"] == 0 and counts["cpuio.wrongthis"] == 0, f"wrong This: {counts}")
    expect(counts["smmio.writes"] > 0 and counts["smmio.reads"] > 0, f"SMM copy did no port I/O: {counts}")
    expect(counts["cpuio.writes"] > 0 and counts["cpuio.reads"] > 0, f"boot-services copy did no port I/O: {counts}")


def status_reads(known):
    """WdtControl's reads of its status registers, finding the values that
    the fixture's register file starts with (fixture/RegisterSeeds.h)."""
    reg = watchdog_registers(known)
    seeds = {tuple(seed["register"]): seed["value"] for seed in known["register-seeds"]}
    return [("R", reg[name], seeds.get(reg[name], 0)) for name in ("Gate", "Mode", "Control", "Timeout")]


def check_handoff(known, lines, steps, what):
    done = log_prefix(known, "exit-boot-services-result", "done")
    segment, last = between(lines, log_line(known, "exit-boot-services"), done)
    rounds = expect_sequence(accesses(known, segment), steps, what)
    attempts = int(log_values(known, "exit-boot-services-result", lines[last])[1])
    expect(rounds == attempts, f"{what}: {rounds} sequences for {attempts} ExitBootServices calls")
    expect(lines[-1] == log_line(known, "reset-shutdown"), "the demo did not end with the power-off")


def hook_registered(known):
    return log_line(known, "hook-register", 2, "ok", "set", "set")


def check_wdt_armed(out):
    known, lines = facts(out), debug_lines(out)
    expect(log_line(known, "setup", 30, 0) in lines, "Setup was not set with timeout 30")
    ready, _ = between(lines, watchdog_state(known, "after regaccess"), log_line(known, "demo-begin"))
    expect(accesses(known, ready) == status_reads(known), f"status reads at start: {describe(accesses(known, ready))}")
    expect(hook_registered(known) in ready, "WdtControl did not register its stop routine with code 2")
    expect(log_line(known, "demo-status-variable", 0, 2, EFI_VARIABLE_BS_RT, 0x3D) in lines, "status variable")
    expect(log_line(known, "demo-get-state", 0, 1) in lines, "GetState")
    expect_armed_at_handoff(known, lines, index_of(lines, log_line(known, "demo-begin")))


def check_wdt_stopped(out):
    known, lines = facts(out), debug_lines(out)
    expect(log_line(known, "setup", 0, 0) in lines, "Setup was not set with timeout 0")
    hook, _ = between(lines, log_line(known, "hook-run"), log_line(known, "hook-run-done"))
    expect_sequence(accesses(known, hook), stop_steps(known), "stop through the hook", repeats_allowed=False)
    start, _ = between(lines, log_line(known, "demo-start-call"), log_line(known, "demo-start-returned"))
    expect(not accesses(known, start), f"Start with timeout 0 touched registers: {describe(accesses(known, start))}")
    expect(log_line(known, "demo-get-state", 0, 0) in lines, "GetState")
    expect(log_line(known, "demo-start", EFI_INVALID_PARAMETER) in lines, "Start with timeout 0 did not refuse")
    check_handoff(known, lines, stop_steps(known), "stop at exit of boot services")


def expect_ready_on_regaccess(known, lines):
    """WdtControl waited for the register-access service, then read its
    status registers, registered its stop routine and published its
    protocol and status variable when the service appeared; returns the
    index of the line after."""
    before = index_of(lines, watchdog_state(known, "before regaccess"))
    expect(lines[before] == log_line(known, "watchdog-absent", "before regaccess", "absent"),
           f"before the register-access service: {lines[before]!r}")
    ready, after = between(lines, log_line(known, "fixture-install-register-access"),
                           watchdog_state(known, "after regaccess"))
    expect(accesses(known, ready) == status_reads(known),
           f"status reads when the service appeared: {describe(accesses(known, ready))}")
    expect(hook_registered(known) in ready, "no hook registration")
    expect(lines[after] == log_line(known, "watchdog-present", "after regaccess", "present", 0x3D),
           f"after the register-access service: {lines[after]!r}")
    return before, after


def expect_armed_at_handoff(known, lines, after):
    """Nothing touched the watchdog after it was ready, until the hand-off armed it with 30."""
    expect(not accesses(known, lines[after:index_of(lines, log_line(known, "exit-boot-services"))]),
           "register access before hand-off")
    check_handoff(known, lines, arm_steps(known, 30), "arm at exit of boot services")


def check_wdt_late_regaccess(out):
    known, lines = facts(out), debug_lines(out)
    before, _ = expect_ready_on_regaccess(known, lines)
    hook = log_prefix(known, "hook-register")
    expect(not accesses(known, lines[:before]) and not any(line.startswith(hook) for line in lines[:before]),
           "WdtControl acted before the register-access service existed")


# ---------------------------------------------------------------- probe checks

# Every character through PutCharA costs the serial bring-up (the writes
# and reads through the port I/O slots that the build counted on the
# simulated firmware, facts.json "bring-up"; the SMM copy's are one more
# each, as it reads 0xCF8 first and writes it back), then one write of the
# byte, and one more for the carriage return after a line feed; the
# line-status polls are direct port reads. The scratch step adds two
# writes and two reads.
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


def port_io_cost(known, block, copy="bs"):
    """(writes, reads) through the port I/O slots for one probe run that printed block."""
    characters = len(block)
    scratch = sum(line.startswith(b"scratch: ") for line in block.split(b"\n"))
    writes, reads = known["bring-up"][copy]
    return (characters * (writes + 1) + block.count(b"\n") + 2 * scratch,
            characters * reads + 2 * scratch)


def check_probe_com1(out, expected_name):
    exception = EXCEPTION.search((out / "com1.bin").read_bytes())
    expect(exception is None, f"exception dump on COM1: {exception and exception.group()!r}")
    blocks = probe_blocks(out)
    expect(blocks, "no probe output between markers on COM1")
    check_com1(out, expected_name, b"".join(block for _, block in blocks))


def expect_counts(known, lines, cpuio, smmio):
    """The fixture's counters at the hand-off: (writes, reads) per protocol, no wrong This."""
    counts = summary(known, lines)
    wanted = {"cpuio.writes": cpuio[0], "cpuio.reads": cpuio[1], "cpuio.wrongthis": 0,
              "smmio.writes": smmio[0], "smmio.reads": smmio[1], "smmio.wrongthis": 0}
    expect(counts == wanted, f"port accesses counted by the fixture: {counts}, expected {wanted}")


def expect_scratch_and_end(known, lines, runs):
    found = [line for line in lines if line.startswith(log_prefix(known, "probe-scratch"))]
    wanted = log_line(known, "probe-scratch", 0xA5, 0, 0xA5, 0x5A, 0, 0x5A)
    expect(found == [wanted] * runs, f"scratch register through IoWrite/IoRead: {found}")
    expect(lines[-2].startswith(log_prefix(known, "exit-boot-services-result", "done")) and
           lines[-1] == log_line(known, "reset-shutdown"),
           f"the run did not end with the hand-off and the power-off: {lines[-2:]}")


EFI_INVALID_PARAMETER = 0x8000000000000002
EFI_NOT_FOUND = 0x800000000000000E
EFI_VARIABLE_BS_RT = 0x6  # boot-service and runtime access


def probe_wdt(known, setup, driver):
    """The probe's line when it finds Setup with timeout 30 (or none), and
    WdtControl's status variable, protocol and one loaded image (or none)."""
    size = known["setup"]["size"] if setup else 0
    found = 0 if driver else EFI_NOT_FOUND
    return log_line(known, "probe-wdt", 0 if setup else EFI_NOT_FOUND, size, 30 if setup else 0, found, found,
                    1 if driver else 0)


def check_stock_com1(out):
    check_probe_com1(out, "stock_com1.txt")


def check_stock_port_io(out):
    expect_scratch_and_end(facts(out), debug_lines(out), 2)


def check_stock_wdt(out):
    com1 = (out / "com1.bin").read_bytes()
    events = sorted([(m.start(), f"load {m.group(1).decode()}: {m.group(2).decode()}")
                     for m in LOAD_LINE.finditer(com1)] + [(begin, "probe") for begin, _ in probe_blocks(out)])
    wanted = ["load ServiceLib.efi: Success", "probe", "load WdtControl.efi: Not Found",
              "load WdtControl.efi: Not Found", "probe"]
    expect([event for _, event in events] == wanted, f"shell loads and probe runs on COM1: {events}")
    known = facts(out)
    found = [line for line in debug_lines(out) if line.startswith(log_prefix(known, "probe-wdt"))]
    expect(found == [probe_wdt(known, setup=False, driver=False), probe_wdt(known, setup=True, driver=False)],
           f"what WdtControl left behind: {found}")


def check_latecpuio_com1(out):
    check_probe_com1(out, "latecpuio_com1.txt")


def check_latecpuio_counts(out):
    known, lines = facts(out), debug_lines(out)
    runs = [index for index, line in enumerate(lines) if line == log_line(known, "probe-done")]
    expect(len(runs) == 2 and runs[0] < index_of(lines, log_line(known, "fixture-ready")) < runs[1],
           "expected one probe run before the fixture was loaded and one after")
    expect_scratch_and_end(known, lines, 2)
    expect_counts(known, lines, port_io_cost(known, expected_probe_blocks("latecpuio_com1.txt")[1]), (0, 0))


def check_planted_com1(out):
    check_probe_com1(out, "planted_com1.txt")


def check_planted_smmio(out):
    lines = debug_lines(out)
    known = facts(out)
    expect(log_line(known, "smm-start-image", 0) in lines, "the SMM copy did not start")
    expect_scratch_and_end(known, lines, 1)
    expect_counts(known, lines, (0, 0), port_io_cost(known, expected_probe_blocks("planted_com1.txt")[0], "smm"))


def check_planted_untouched(out):
    known, lines = facts(out), debug_lines(out)
    expect(index_of(lines, log_line(known, "ctl-status", "plant done", 0)) <
           index_of(lines, log_line(known, "ctl-command", "smmbase")),
           "the table was not planted before the SMM copy started")
    calls = [line for line in lines if line.startswith(log_prefix(known, "planted-call"))]
    expect(not calls, f"the planted table was called: {calls[:4]}")
    expect(log_line(known, "probe-smm-instances", 2, 1) in lines,
           "the probe did not find the planted and the real SMM instance")


def check_planted_smm_once(out):
    known, lines = facts(out), debug_lines(out)
    installs = [index for index, line in enumerate(lines) if line == log_line(known, "fixture-install-smm-base")]
    expect(len(installs) == 2, f"expected SMM Base installed twice, found {len(installs)}")
    register = [line for line in lines if line.startswith(log_prefix(known, "smm-register"))]
    expect(len(register) == 1 and smm_register(known, register[0], r".*\\ServiceLib\.efi"),
           f"ServiceLib must register its image in SMRAM exactly once: {register}")


def check_interrupt_com1(out):
    check_probe_com1(out, "interrupt_com1.txt")


def check_interrupt_signals(out):
    """The fixture signalled once at each trigger, and the notification ran once for each."""
    known, lines = facts(out), debug_lines(out)
    signals = [line for line in lines if line.startswith(log_prefix(known, "fixture-signal"))]
    expect(signals == [log_line(known, "fixture-signal", "out", 0x3FB, 0x80),
                       log_line(known, "fixture-signal", "in", 0x3F8, INPUT_LINE[0])],
           f"the fixture's signals: {signals}")
    notified = [line for line in lines if line.startswith(log_prefix(known, "probe-notified"))]
    expect(notified == [log_line(known, "probe-notified", 1)] * 2, f"the probe's notification: {notified}")
    expect_scratch_and_end(known, lines, 0)


def check_cases(out):
    """The probe's cases step: every row of the format case table and no mismatch."""
    known = facts(out)
    found = [line for line in debug_lines(out) if line.startswith(log_prefix(known, "probe-cases"))]
    expect(found == [log_line(known, "probe-cases", known["format-cases"], 0)], f"the format cases in firmware: {found}")


def check_latecpuio_stack(out):
    """FormatOutput's stack high-water mark in the image: within its budget and the build's static bound."""
    known, lines = facts(out), debug_lines(out)
    errors = [line for line in lines if line.startswith(log_prefix(known, "probe-stack-error"))]
    stack = log_pattern(known, "probe-stack", whole=False)
    found = [int(match.group(1)) for match in map(stack.match, lines) if match]
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
    known = facts(out)
    first = debug_lines(out / PREVIOUS_BOOT["flash"])
    started = [log_line(known, "fixture-start"), log_line(known, "fixture-ready")]
    expect(first[:2] == started, f"first boot began with {first[:2]}")
    expect(probe_wdt(known, setup=False, driver=False) in first,
           "WdtControl left something behind when Setup was missing")
    lines = debug_lines(out)
    expect(lines[:2] == started, f"second boot began with {lines[:2]}")
    _, after = expect_ready_on_regaccess(known, lines)
    expect(probe_wdt(known, setup=True, driver=True) in lines,
           "the probe did not find WdtControl's status, protocol and loaded image")
    expect_armed_at_handoff(known, lines, after)


def check_flash_port_io(out):
    """Every port access of ServiceLib from flash through the fixture's
    Framework CPU I/O, counted exactly from the probe's COM1 text."""
    known, lines = facts(out), debug_lines(out)
    expect_scratch_and_end(known, lines, 1)
    expect_counts(known, lines, port_io_cost(known, expected_probe_blocks("flash_com1.txt")[1]), (0, 0))


def check_framework_wdt_armed(out):
    """WdtControl dispatched from the Framework SMM Base image with the
    Setup that the variable store brought: waiting for register access,
    ready when the shell installs it, armed with 30 when smitrigger calls
    ExitBootServices."""
    known, lines = facts(out), debug_lines(out)
    _, after = expect_ready_on_regaccess(known, lines)
    expect_armed_at_handoff(known, lines, after)


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
    status = qemu_run.run_checks(qemu_run.listed_checks("firmware_boot_demo"), CHECKS, out)
    print(f"Logs: {out / 'com1.bin'} (all of COM1), {out / 'debug.log'}")
    return status


# Each boot command of boots.json, with the scenarios and the checks of its runner.
RUNNERS = {
    "boot": (SCENARIOS, "check", CHECKS),
    "smram-boot": (smram_lane.SCENARIOS, "smram-check", smram_lane.CHECKS),
    "framework-boot": (framework_lane.SCENARIOS, "framework-check", framework_lane.CHECKS),
}


def line_name_problems(root):
    """What the debug-console line formats' names disagree on, read from
    the sources: LogLines.h's constants, facts.cpp's list of names, and
    the names the runners pass to log_line, log_prefix, log_pattern and
    log_values."""
    formats = set(re.findall(r"constexpr char (kLog\w+)\[\]", (root / "testkit/LogLines.h").read_text()))
    named = re.findall(r'\{"([\w-]+)", (kLog\w+)\}', (HERE / "facts.cpp").read_text())
    names = {name for name, _ in named}
    exported = [constant for _, constant in named]
    problems = [f"{constant} of testkit/LogLines.h is not in facts.cpp's kLines"
                for constant in sorted(formats - set(exported))]
    problems += [f"{constant} is in facts.cpp's kLines more than once"
                 for constant in sorted(set(exported)) if exported.count(constant) > 1]
    for path in sorted(HERE.glob("*.py")):
        asked = re.findall(r'log_(?:line|prefix|pattern|values)\((?:known|facts\(out\)), "([\w-]+)"', path.read_text())
        for name in asked:
            if name not in names:
                problems.append(f"{path.name} asks for the line {name!r}, which facts.cpp does not write")
    return problems


def self_check():
    """boots.json and the runners agree: each boot's command is a runner's
    and its scenario one of that runner's, each listed check is a function
    of the runner that its lane's check command names, each check function
    and each scenario is listed (or, for a scenario, booted before another),
    the README's boot table names the boots of the firmware and flash
    lanes, a CMakeLists.txt makes the tests of each lane, and each format
    of testkit/LogLines.h goes into facts.json under a name (facts.cpp)
    that is the only one it has, and each name a runner asks for is one
    of those. Returns the list of disagreements."""
    listing = qemu_run.boot_list()
    lanes, boots = listing["lanes"], listing["boots"]
    problems, used_checks, used_scenarios = [], {}, set()
    tests = [boot["test"] for boot in boots]
    problems += [f"boot test {name} is listed twice" for name in sorted(set(tests)) if tests.count(name) > 1]
    for boot in boots:
        command, scenario = boot["command"][:2]
        if boot.get("lane") not in lanes:
            problems.append(f"{boot['test']}: no lane {boot.get('lane')!r}")
            continue
        if command not in RUNNERS:
            problems.append(f"{boot['test']}: no runner has the command {command!r}")
            continue
        scenarios, check_command, checks = RUNNERS[command]
        used_scenarios.add((command, scenario))
        if scenario not in scenarios:
            problems.append(f"{boot['test']}: {command} has no scenario {scenario!r}")
        if lanes[boot["lane"]]["check_command"] != check_command:
            problems.append(f"{boot['test']}: the checks of a {command} boot run with {check_command}")
        try:
            listed = qemu_run.listed_checks(boot["test"], boots)
        except Failure as error:
            problems.append(f"{boot['test']}: {error}")
            continue
        for check in listed:
            used_checks.setdefault(check_command, set()).add(check)
            if check not in checks:
                problems.append(f"{boot['test']}: check {check!r} has no function in the {check_command} runner")
    for command, (scenarios, check_command, checks) in RUNNERS.items():
        for check in sorted(set(checks) - used_checks.get(check_command, set())):
            problems.append(f"check function {check!r} ({check_command}) is listed for no boot in boots.json")
        for scenario in sorted(set(scenarios) - {name for runner, name in used_scenarios if runner == command}):
            if command != "boot" or scenario not in PREVIOUS_BOOT.values():
                problems.append(f"scenario {scenario!r} ({command}) is booted by no entry of boots.json")
    root = HERE.parent.parent
    made = {lane for path in root.glob("**/CMakeLists.txt") if not path.is_relative_to(root / "build")
            for lane in re.findall(r"^\s*fw_boot_tests\(([\w-]+)\)", path.read_text(), re.MULTILINE)}
    problems += [f"lane {lane!r}: no CMakeLists.txt calls fw_boot_tests({lane})" for lane in sorted(set(lanes) - made)]
    problems += line_name_problems(root)
    readme = (root / "README.md").read_text()
    table = re.search(r"^\| Boot \| Shell script \|.*?\n\n", readme, re.MULTILINE | re.DOTALL)
    named = re.findall(r"^\| `([\w-]+)` ", table.group() if table else "", re.MULTILINE)
    wanted = [boot["command"][1] for boot in boots if boot.get("lane") in ("firmware", "flash")]
    if sorted(named) != sorted(wanted):
        problems.append(f"README.md's boot table names {sorted(named)}, boots.json's firmware and flash lanes "
                        f"{sorted(wanted)}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    for p in qemu_run.add_commands(sub, "", SCENARIOS, CHECKS):
        p.add_argument("--drivers", type=Path)
        p.add_argument("--gdb", type=int, metavar="PORT")
        p.add_argument("--limit", type=int, default=90)
        p.add_argument("--firmware", type=Path)
    sub.add_parser("self-check")
    smram_lane.add_commands(sub)
    framework_lane.add_commands(sub)
    args = parser.parse_args()
    if args.command == "self-check":
        problems = self_check()
        for problem in problems:
            print(f"error: {problem}", file=sys.stderr)
        return 1 if problems else 0
    if args.command.startswith("smram-"):
        return smram_lane.run(args)
    if args.command.startswith("framework-"):
        return framework_lane.run(args)

    def boot_command(args):
        elapsed = boot(args.scenario, args.images, args.out, args.limit, drivers=args.drivers, gdb=args.gdb,
                       firmware=args.firmware)
        return f"{args.scenario}: QEMU powered off after {elapsed:.1f} s"

    return qemu_run.run(args, "", CHECKS, boot_command,
                        lambda args: run_demo(args.images, args.out, args.limit, args.drivers, args.gdb))


if __name__ == "__main__":
    sys.exit(main())
