# SPDX-License-Identifier: BSD-2-Clause-Patent
"""What every OVMF boot of the tests shares: the QEMU command line, the COM1
socket, the key that skips the shell's countdown, the log files a boot
leaves and the failure that ends a check.

Each boot runs q35 under TCG with 256 MiB and no display, network or
monitor, the firmware code image read-only and a fresh copy of the variable
store, a read-only FAT folder as a virtio disk, COM1 on a unix socket that
the runner reads, and the debug console port 0xE9 written to debug.log.
"""
import select
import shutil
import socket
import time
from pathlib import Path


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


def find_qemu():
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        raise Failure("qemu-system-x86_64 not found: install the Debian package qemu-system-x86")
    return qemu


def clear_outputs(out):
    """Removes what an earlier boot left in out; returns the COM1 socket's path."""
    out.mkdir(parents=True, exist_ok=True)
    for name in ("com1.bin", "debug.log", "qemu.log", "com1.sock"):
        (out / name).unlink(missing_ok=True)
    return out / "com1.sock"


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
        "-chardev", f"socket,id=com1,path={out / 'com1.sock'},server=on,wait=on", "-serial", "chardev:com1",
        "-chardev", f"file,id=dbg,path={out / 'debug.log'}", "-device", "isa-debugcon,iobase=0xe9,chardev=dbg",
    ]


def connect(path, process):
    """The COM1 socket, once QEMU has opened it."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Failure(f"QEMU ended at start-up with status {process.returncode}")
        conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            conn.connect(str(path))
            return conn
        except OSError:
            conn.close()
            time.sleep(0.05)
    process.kill()
    raise Failure("QEMU did not open its COM1 socket")


def receive(conn, com1, wait):
    """Appends to com1 what COM1 brings within wait seconds; False once QEMU has closed it."""
    ready, _, _ = select.select([conn], [], [], wait)
    if ready:
        try:
            data = conn.recv(65536)
        except ConnectionResetError:
            # QEMU closed COM1 with typed bytes still unread.
            data = b""
        if not data:
            return False
        com1 += data
    return True


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
