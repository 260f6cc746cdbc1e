# SPDX-License-Identifier: BSD-2-Clause-Patent
"""What every OVMF boot of the tests shares: the QEMU command line, COM1,
the key that skips the shell's countdown, the log files a boot leaves and
the failure that ends a check.

Each boot runs q35 under TCG with 256 MiB and no display, network or
monitor, the firmware code image read-only and a fresh copy of the variable
store, a read-only FAT folder as a virtio disk, COM1 on two named pipes that
the runner reads and writes, and the debug console port 0xE9 written to
debug.log.

Why pipes and not a socket: QEMU's UART hands each byte to its back end
with a write of its own, and a unix stream socket charges every such write
a whole buffer (some hundred bytes), so a few hundred unread characters
fill it. The UART then keeps its transmitter busy until the reader drains
the socket, and the firmware's serial driver gives up on a character after
its 1 s write timeout: the shell's text of that moment is lost (ServiceLib's
own output waits without limit, so it arrives whole). A runner held off the
processor for a second, as under a loaded CI machine, lost the tail of a
`dh` dump that way. A pipe counts bytes, and the runner makes it 1 MiB,
more than a whole boot prints, so QEMU never waits for the runner.
"""
import fcntl
import json
import os
import re
import select
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
BOOT_LIST = HERE / "boots.json"
FACTS = "facts.json"  # written beside the images by the build (facts.cpp)


def add_commands(sub, prefix, scenarios, checks):
    """A runner's PREFIXboot SCENARIO, PREFIXcheck CHECK and PREFIXdemo commands,
    each with --out, the two that boot with --images; returns those two."""
    p_boot = sub.add_parser(prefix + "boot")
    p_boot.add_argument("scenario", choices=sorted(scenarios))
    p_check = sub.add_parser(prefix + "check")
    p_check.add_argument("check", choices=sorted(checks))
    p_demo = sub.add_parser(prefix + "demo")
    for p in (p_boot, p_check, p_demo):
        p.add_argument("--out", type=Path, required=True)
    for p in (p_boot, p_demo):
        p.add_argument("--images", type=Path, required=True)
    return p_boot, p_demo


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def run(args, prefix, checks, boot, demo):
    """Runs a runner's PREFIXboot (boot(args) gives the line to print),
    PREFIXcheck or PREFIXdemo (demo(args) gives the exit status) command;
    returns the exit status."""
    try:
        if args.command == prefix + "boot":
            print(boot(args))
        elif args.command == prefix + "check":
            checks[args.check](args.out)
        else:
            return demo(args)
    except Failure as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


# ---------------------------------------------------------------- the boot list

def boot_list():
    return json.loads(BOOT_LIST.read_text())


def listed_checks(test, boots=None):
    """The checks that boots.json lists for the boot whose ctest name is test."""
    boots = boot_list()["boots"] if boots is None else boots
    for boot in boots:
        if boot["test"] == test:
            return listed_checks(boot["checks_of"], boots) if "checks_of" in boot else boot["checks"]
    raise Failure(f"{BOOT_LIST} has no boot {test}")


def run_checks(names, checks, out):
    """Runs the named checks over out's logs, each with its result on a line; returns the exit status."""
    failed = 0
    for name in names:
        try:
            checks[name](out)
            print(f"check {name}: ok")
        except Failure as error:
            failed += 1
            print(f"check {name}: FAILED: {error}")
    return 1 if failed else 0


# ---------------------------------------------------------------- facts of the C++ side

def keep_facts(images, out):
    """The build's facts beside a boot's logs, for its checks; None when
    the build wrote none (its checks then say so)."""
    out.mkdir(parents=True, exist_ok=True)
    (out / FACTS).unlink(missing_ok=True)
    if not (images / FACTS).is_file():
        return None
    shutil.copy(images / FACTS, out / FACTS)
    return facts(out)


def facts(out):
    path = out / FACTS
    expect(path.is_file(), f"no {FACTS} beside the logs ({path}): build the target firmware_facts_json")
    return json.loads(path.read_text())


def log_line(known, name, *values):
    """The debug-console line name (testkit/LogLines.h) with values in its fields."""
    return known["lines"][name].format(*values)


FIELD = re.compile(r"\{(?::0?(\d*)X)?\}")


def log_prefix(known, name, *values):
    """The start of the line name up to its first field, or, with values,
    with them in its first fields, up to the next: the fixed start of a
    line whose other fields vary or follow as key=value pairs."""
    text = known["lines"][name]
    fields = list(FIELD.finditer(text))
    end = fields[len(values)].start() if len(values) < len(fields) else len(text)
    return text[:end].format(*values)


def log_pattern(known, name, whole=True):
    """A pattern that matches the line name (whole, or its start), a group
    for each field: {} any text, {:X} hexadecimal digits, {:0NX} at least
    N of them."""
    text, pattern, position = known["lines"][name], "", 0
    for field in FIELD.finditer(text):
        pattern += re.escape(text[position:field.start()])
        if field.group(0) == "{}":
            pattern += r"(.*?)"
        else:
            pattern += rf"([0-9A-F]{{{field.group(1) or 1},}})"
        position = field.end()
    return re.compile(pattern + re.escape(text[position:]) + ("$" if whole else ""))


def log_values(known, name, line):
    """The texts in the fields of line, which must be the whole line name."""
    match = log_pattern(known, name).match(line)
    expect(match is not None, f"not a {name!r} line ({known['lines'][name]!r}): {line!r}")
    return match.groups()


def find_qemu():
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        raise Failure("qemu-system-x86_64 not found: install the Debian package qemu-system-x86")
    return qemu


def clear_outputs(out):
    """Removes what an earlier boot left in out and makes COM1's two pipes
    (out/com1.in, out/com1.out); returns their common path, out/com1."""
    out.mkdir(parents=True, exist_ok=True)
    for name in ("com1.bin", "debug.log", "qemu.log", "com1.sock", "com1.in", "com1.out"):
        (out / name).unlink(missing_ok=True)
    for name in ("com1.in", "com1.out"):
        os.mkfifo(out / name)
    return out / "com1"


def make_disk(out, files, script, variables):
    """A fresh out/fat holding files (paths) and a startup.nsh that runs the
    script's lines from the disk; a copy of variables becomes out/vars.fd."""
    fat = out / "fat"
    if fat.exists():
        shutil.rmtree(fat)
    fat.mkdir(parents=True)
    for path in files:
        shutil.copy(path, fat / path.name)
    lines = ["@echo -off", "fs0:"] + script
    (fat / "startup.nsh").write_bytes("".join(line + "\r\n" for line in lines).encode())
    shutil.copy(variables, out / "vars.fd")
    return fat


def qemu_command(qemu, machine, code, out, fat):
    """QEMU booting code with out/vars.fd as its variable store and fat as its disk."""
    return [
        qemu, "-machine", machine, "-m", "256", "-display", "none", "-no-reboot", "-nic", "none",
        "-monitor", "none",
        "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,file={out / 'vars.fd'}",
        "-drive", f"if=none,id=fat,format=raw,file=fat:{fat},readonly=on",
        "-device", "virtio-blk-pci,drive=fat",
        "-chardev", f"pipe,id=com1,path={out / 'com1'}", "-serial", "chardev:com1",
        "-chardev", f"file,id=dbg,path={out / 'debug.log'}", "-device", "isa-debugcon,iobase=0xe9,chardev=dbg",
    ]


F_SETPIPE_SZ = 1031  # fcntl.F_SETPIPE_SZ from Python 3.10 on
COM1_PIPE_SIZE = 1 << 20


class Com1:
    """COM1 of a running QEMU: out/com1.out brings what the firmware
    sends, out/com1.in takes what the runner types. Both are opened read
    and write, so that neither open waits for QEMU, and what QEMU writes
    before the runner reads stays in the pipe."""

    def __init__(self, path, process):
        self.process = process
        self.output = os.open(f"{path}.out", os.O_RDWR | os.O_NONBLOCK)
        self.input = os.open(f"{path}.in", os.O_RDWR | os.O_NONBLOCK)
        try:
            fcntl.fcntl(self.output, F_SETPIPE_SZ, COM1_PIPE_SIZE)
        except OSError:
            pass  # over the system's limit: the default 64 KiB still holds a boot's text

    def drain(self, com1):
        while True:
            try:
                data = os.read(self.output, 65536)
            except BlockingIOError:
                return
            if not data:
                return
            com1 += data

    def sendall(self, data):
        os.write(self.input, data)

    def close(self):
        os.close(self.output)
        os.close(self.input)


def connect(path, process):
    """COM1 of the QEMU process started with qemu_command."""
    return Com1(path, process)


def receive(conn, com1, wait):
    """Appends to com1 what COM1 brings within wait seconds; False once QEMU
    has ended and everything it sent has been read."""
    ended = conn.process.poll() is not None
    ready, _, _ = select.select([conn.output], [], [], 0 if ended else wait)
    if ready:
        conn.drain(com1)
    return not ended


# The UEFI Shell counts down 5 s before it runs startup.nsh; any key but ESC
# starts the script at once, and the shell takes that key for itself.
COUNTDOWN = b"seconds to skip"


def skip_countdown(conn, com1, pressed):
    """Presses a key on COM1 once the shell's countdown shows there, only
    once; returns whether the key has been pressed."""
    if not pressed and COUNTDOWN in com1:
        conn.sendall(b"\r")
        return True
    return pressed


def read(path):
    try:
        return path.read_bytes()
    except FileNotFoundError:
        return b""


def debug_lines(out):
    return read(out / "debug.log").decode("ascii", "replace").splitlines()
