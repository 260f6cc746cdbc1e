# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The Framework SMM Base boot: ServiceLib's own SMM Base notification
loads its SMM copy into real SMRAM through a Framework SMM Base built over
PI SMM (smram/smmbase/).

Boots Debian's SMM-enabled OVMF with ServiceLib and both halves of the SMM
Base in its DXE volume (built by smram/tools/flash_image.py), q35 with
SMM and a secure flash, as the SMRAM lane does. Everything up to the SMM
copies' start happens during dispatch; the shell runs after the lock:

  smmbasectl                InSmm, GetSmstLocation and Register from the shell
  dh -p SMM-GUID -v         the handle of ServiceLib's SMM instance
  mm B2 015C -w 2 -IO -n    the test client's SMI: command 0x5C, data 1
  smitrigger                the same SMI (data 2) after ExitBootServices, with
                            an address of its own in 0xCF8, then power-off

The halves log "SMMBASE DXE" and "SMMBASE SMM" lines to the debug console,
the client "CLIENT" lines, the tools "CTL" and "APP" lines; the client's
callback prints on COM1 through ServiceLib's SMM instance.

Used from firmware.py: framework-boot, framework-check.
"""
import re
import sys
from pathlib import Path

import qemu_run
import smram_lane
from qemu_run import Failure, debug_lines, expect, facts, log_line, log_prefix, log_values, read

SCRIPT = ["smmbasectl", lambda known: f"dh -p {known['guids']['smm-lib-services']} -v", "mm B2 015C -w 2 -IO -n",
          "fixturectl regaccess", "smitrigger"]
# The same shell script on two images: ServiceLib with its shipped
# expression, started before SMM Base is installed, and ServiceLib held
# back by a test-only expression until SMM Base is there.
SCENARIOS = {"framework": SCRIPT, "framework-early": SCRIPT}
# Whether gLibServicesProtocolGuid existed when SMM Base was installed.
EXISTED = {"framework": "1", "framework-early": "0"}
IMAGES = ["smmbasectl.efi", "smitrigger.efi", "fixturectl.efi"]
# QEMU q35 with 256 MiB puts its 16 MiB TSEG at the top of that memory.
TSEG = (0x0F000000, 0x10000000)
EFI_UNSUPPORTED = 0x8000000000000003
ANSI = re.compile(r"\x1b\[[0-9;=]*[A-Za-z]")


def fields(line):
    return dict(re.findall(r"([\w-]+)=(\S+)", line))


def starting(lines, prefix, count=1):
    """The lines that start with prefix, count of them."""
    found = [line for line in lines if line.startswith(prefix)]
    expect(len(found) == count, f"expected {count} lines starting {prefix!r} in the debug log, found {len(found)}")
    return found


def only(lines, prefix):
    return starting(lines, prefix)[0]


def in_tseg(value):
    return TSEG[0] <= value < TSEG[1]


def registers(known, lines):
    """(path line, result line) of the three Register calls: ServiceLib's
    notification's, the client's through slot 0, then the tool's."""
    return list(zip(starting(lines, log_prefix(known, "smmbase-register-path"), 3),
                    starting(lines, log_prefix(known, "smmbase-register-file"), 3)))


def servicelib_file(out):
    """ServiceLib's file in a firmware volume, as a device path names it (upper case)."""
    return f"FVFILE({facts(out)['file-guids']['servicelib'].upper()})"


def servicelib_load(known, lines):
    return fields(registers(known, lines)[0][1])


def check_order(out):
    """The SMM half is ready before SMM Base is installed, ServiceLib is
    there by then, and its notification's Register names its file in the
    firmware volume and starts the copy in SMM."""
    known, lines = facts(out), debug_lines(out)
    ready = lines.index(only(lines, log_prefix(known, "smmbase-smm-ready")))
    installed = lines.index(only(lines, log_prefix(known, "smmbase-installed")))
    expect(ready < installed, "SMM Base was installed before the SMM half was ready")
    existed = EXISTED[read(out / "scenario").decode().strip()]
    expect(lines[installed] == log_line(known, "smmbase-installed", 0, existed),
           f"SMM Base not installed {'after' if existed == '1' else 'before'} ServiceLib: {lines[installed]}")
    register = lines.index(registers(known, lines)[0][0])
    expect(installed < register, "Register came before SMM Base was installed")
    expect(f"/{servicelib_file(out)}" in lines[register].upper(),
           f"Register's path is not ServiceLib's file in a firmware volume: {lines[register]}")
    done = servicelib_load(facts(out), lines)
    expect(done["status"] == "0" and done["entry-status"] == "0", f"the SMM copy did not start: {done}")


def check_tseg(out):
    """The SMM copy's image and its protocol table lie in TSEG, on a
    boot-services handle whose Loaded Image says so, as the shell shows."""
    known, lines = facts(out), debug_lines(out)
    done = servicelib_load(known, lines)
    base, size = int(done["base"], 16), int(done["size"], 16)
    expect(in_tseg(base) and in_tseg(base + size - 1), f"image {base:#x}+{size:#x} outside TSEG")
    # Asked for by ServiceLib's SMM copy, then by the client's.
    for line in starting(lines, log_prefix(known, "smmbase-dxe-smst"), 2):
        smst = int(log_values(known, "smmbase-dxe-smst", line)[0], 16)
        expect(in_tseg(smst), f"the Framework SMM system table at {smst:#x} is outside TSEG")
    # dh -p GUID -v: "5C: GUID(interface) LoadedImage(record)  Name...: ServiceLib", then the record.
    com1 = ANSI.sub("", read(out / "com1.bin").decode("latin-1"))
    smm_lib = known["guids"]["smm-lib-services"]
    shown = re.search(smm_lib + r"\(([0-9A-F]+)\) LoadedImage\([0-9A-F]+\)\s+Name\.*: ServiceLib\s(.*?)Unload",
                      com1, re.IGNORECASE | re.DOTALL)
    expect(shown is not None, "dh -p did not show the SMM instance's GUID beside ServiceLib's Loaded Image")
    table = int(shown.group(1), 16)
    expect(base <= table < base + size, f"dh shows the SMM instance at {table:#x}, not inside the image")
    record = dict(re.findall(r"(\w+)\.+: (\S*)", shown.group(2)))
    expect(int(record.get("ImageBase", "0"), 16) == base and int(record.get("ImageSize", "0"), 16) == size,
           f"dh shows a Loaded Image that is not the SMRAM image: {record}")
    expect(record.get("FilePath", "").upper() == servicelib_file(out) and record.get("DeviceHandle"),
           f"the Loaded Image's device and file path are not split from Register's path: {record}")


def check_refused(out):
    """After the lock a boot-services caller sees InSmm FALSE, no SMM
    system table, and Register refused with EFI_UNSUPPORTED and logged."""
    known, lines = facts(out), debug_lines(out)
    lock = lines.index(only(lines, log_line(known, "smmbase-locked")))
    expect(fields(only(lines, log_prefix(known, "smmbase-ctl", "InSmm"))) == {"status": "0", "in-smm": "0"},
           "InSmm not FALSE from the shell")
    expect(only(lines, log_prefix(known, "smmbase-ctl", "GetSmstLocation")) ==
           log_line(known, "smmbase-ctl", "GetSmstLocation", EFI_UNSUPPORTED),
           "GetSmstLocation gave a table outside SMM")
    refused = lines.index(only(lines, log_line(known, "smmbase-refused", "Register")))
    expect(lock < refused, "the refusal came before the lock")
    result = fields(only(lines, log_prefix(known, "smmbase-ctl", "Register")))
    expect(int(result["status"], 16) == EFI_UNSUPPORTED and result["handle"] == "0",
           f"Register after the lock was not refused with EFI_UNSUPPORTED: {result}")
    path, done = registers(known, lines)[2]
    expect(lines.index(path) < refused and path.lower().endswith("\\smmbasectl.efi source-buffer=0 size=0"),
           f"the tool's Register did not name its file on the disk: {path}")
    expect(int(fields(done)["status"], 16) == EFI_UNSUPPORTED, f"the DXE half did not pass the refusal on: {done}")


def check_client(out):
    """The client's DXE copy got an SMM copy through slot 0 during
    dispatch; that copy found ServiceLib's SMM instance and registered its
    callback; after the lock, the shell's SMI and the one raised after
    ExitBootServices each reached the callback once."""
    known, lines = facts(out), debug_lines(out)
    slot0 = only(lines, log_prefix(known, "client-slot0"))
    handle, smm_handle = log_values(known, "client-slot0", slot0)
    expect(smm_handle not in ("0", handle), f"slot 0 gave no SMM handle: {slot0}")
    entry = only(lines, log_prefix(known, "client-entry"))
    instance, smst, _, status = (int(value, 16) for value in log_values(known, "client-entry", entry))
    expect(status == 0 and in_tseg(smst), f"the client's SMM copy did not start: {entry}")
    done = servicelib_load(known, lines)
    base, size = int(done["base"], 16), int(done["size"], 16)
    expect(base <= instance < base + size,
           f"the client's SMM copy found an SMM instance outside ServiceLib's SMRAM image: {entry}")
    client = fields(registers(known, lines)[1][1])
    registered = only(lines, log_prefix(known, "smmbase-callback"))
    callback = int(log_values(known, "smmbase-callback", registered)[0], 16)
    expect(int(client["base"], 16) <= callback < int(client["base"], 16) + int(client["size"], 16),
           f"the callback at {callback:#x} is not inside the client's SMRAM image {client}")
    lock = lines.index(only(lines, log_line(known, "smmbase-locked")))
    shell = lines.index(only(lines, log_line(known, "client-callback", 1)))
    handed_off = lines.index(only(lines, log_prefix(known, "exit-boot-services-result", "done")))
    after = lines.index(only(lines, log_line(known, "client-callback", 2)))
    expect(lock < shell < handed_off < after, "the callbacks did not run after the lock and after ExitBootServices")
    only(lines, log_line(known, "smi-returned", "was taken"))


def check_client_com1(out):
    """Both SMIs put the same exact text on COM1 through ServiceLib's SMM
    instance: a dozen conversions, a 16-bit format, a scan from SMRAM,
    strings and the heap."""
    com1 = read(out / "com1.bin")
    blocks = re.findall(rb"<<<SMM CLIENT \d>>>.*?<<<SMM CLIENT END>>>\n\r", com1, re.DOTALL)
    expected = (Path(__file__).resolve().parent / "expected" / "framework_com1.txt").read_bytes()
    expect(b"".join(blocks) == expected.replace(b"\n", b"\n\r"),
           f"the client's COM1 text differs from expected/framework_com1.txt: {b''.join(blocks)!r}")


def check_cf8(out):
    """The SMI after ExitBootServices prints through ServiceLib's SMM copy,
    whose serial bring-up writes the LPC bridge's address to 0xCF8: the
    application's own address is there again when the SMI returns."""
    known = facts(out)
    line = only(debug_lines(out), log_prefix(known, "cf8-around-smi"))
    before, after = (int(value, 16) for value in log_values(known, "cf8-around-smi", line))
    expect(before & 0x80000000 and before != known["bring-up"]["lpc-address"],
           f"the application's address is not its own: {line}")
    expect(after == before, f"the SMI left another address in 0xCF8: {line}")


CHECKS = {
    "framework-order": check_order,
    "framework-tseg": check_tseg,
    "framework-refused": check_refused,
    "framework-client": check_client,
    "framework-client-com1": check_client_com1,
    "framework-cf8": check_cf8,
}


def demo(images, firmware, variables, out, limit):
    """The framework boot with its logs and checks shown, for scripts/demo."""
    print(f"Booting the SMM-enabled OVMF with ServiceLib, the Framework SMM Base, WdtControl and the fixture "
          f"in its DXE volume (q35, smm=on); time limit {limit} s ...", flush=True)
    try:
        elapsed = smram_lane.boot("framework", images, firmware, out, limit, scenarios=SCENARIOS, names=IMAGES,
                                  variables=variables)
    except Failure as error:
        print(f"Framework SMM Base boot FAILED: {error}")
        return 1
    (out / "scenario").write_text("framework\n")
    print(f"QEMU powered off after {elapsed:.1f} s.\n")
    print("== Debug console: the SMM Base halves, the client, the shell tools, the watchdog at hand-off")
    for line in debug_lines(out):
        if line.startswith(("SMMBASE", "CLIENT", "CTL", "APP", "RA ")):
            print(line)
    com1 = ANSI.sub("", read(out / "com1.bin").decode("latin-1")).replace("\r", "")
    shown = re.search(r"Handle dump by protocol.*?Unload[^\n]*\n", com1, re.DOTALL)
    if shown:
        print("\n== COM1: the shell's dh -p of the SMM instance")
        sys.stdout.write(shown.group())
    print("\n== COM1: the client's SMI callback through ServiceLib's SMM instance (after the lock, "
          "after ExitBootServices)")
    for block in re.findall(r"<<<SMM CLIENT \d>>>.*?<<<SMM CLIENT END>>>\n", com1, re.DOTALL):
        sys.stdout.write(block)
    return qemu_run.run_checks(qemu_run.listed_checks("framework_boot"), CHECKS, out)


def add_commands(sub):
    for p in qemu_run.add_commands(sub, "framework-", SCENARIOS, CHECKS):
        p.add_argument("--firmware", type=Path, required=True)
        p.add_argument("--limit", type=int, default=100)
        p.add_argument("--vars", type=Path, default=smram_lane.OVMF_VARS,
                       help="the variable store to start from (a copy is used)")


def run(args):
    """Runs a framework-* command; returns the exit status."""
    def boot(args):
        elapsed = smram_lane.boot(args.scenario, args.images, args.firmware, args.out, args.limit,
                                  scenarios=SCENARIOS, names=IMAGES, variables=args.vars)
        (args.out / "scenario").write_text(args.scenario + "\n")
        return f"{args.scenario}: QEMU powered off after {elapsed:.1f} s"

    return qemu_run.run(args, "framework-", CHECKS, boot,
                        lambda args: demo(args.images, args.firmware, args.vars, args.out, args.limit))
