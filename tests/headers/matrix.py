#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Compiles the public headers as clients compile them.

  matrix.py SETTING --root DIR --clang CC --clangxx CXX --gcc CC --gxx CXX
            [--gnu-efi DIR] [--edk2 WORKSPACE]

SETTING:
  alone         our own base definitions: host (clang, gcc) and the image
                target (clang, x86_64-unknown-windows)
  gnu-efi       after gnu-efi's <efi.h> and <efilib.h>, and before them;
                with and without GNU_EFI_USE_MS_ABI
  edk2          after MdePkg's <Uefi.h>, and before it, with the flags of
                EDK2's GCC and CLANGDWARF X64 toolchains
  edk2-drivers  every driver source as C++20 after an EDK2 module's
                AutoGen.h, with the same two flag sets

Each case is one compiler run (-fsyntax-only, -Wall -Wextra -Werror), as C11
and as C++20: each public header on its own, then client.c. A MISUSE case
adds one mistake to client.c and passes only when the compiler refuses it.
Exit status 0 when every case passes, 1 when one fails, 77 (skip) when the
setting needs an EDK2 workspace and none was given.
"""
import argparse
import concurrent.futures
import os
import subprocess
import sys
import tempfile
from pathlib import Path

SKIP = 77
HEADERS = ["LibServices.h", "WatchdogControl.h", "RegisterAccess.h", "HookRegistration.h"]
WARNINGS = ["-Wall", "-Wextra", "-Werror"]
LANGUAGES = {"C11": ["-x", "c", "-std=c11"], "C++20": ["-x", "c++", "-std=c++20"]}
MISUSES = ["MISUSE_SYSV_CALLBACK", "MISUSE_SYSV_VA_LIST"]

# As gnu-efi's own Make.defaults builds x86_64 applications.
GNU_EFI_FLAGS = ["-fpic", "-fshort-wchar", "-ffreestanding", "-fno-stack-protector", "-fno-strict-aliasing",
                 "-mno-red-zone"]

# tools_def.template's X64 compiler flags (GCC_ALL_CC_FLAGS and GCC_X64_CC_FLAGS for GCC;
# CLANGDWARF_ALL_CC_FLAGS and CLANGDWARF_X64 for CLANGDWARF), without -g, LTO and the
# forced AutoGen.h, which the cases bring themselves.
EDK2_COMMON = ["-Os", "-fshort-wchar", "-fno-builtin", "-fno-strict-aliasing", "-Wno-array-bounds", "-fno-common",
               "-ffunction-sections", "-fdata-sections", "-m64", "-DEFIAPI=__attribute__((ms_abi))",
               "-mno-red-zone", "-Wno-address", "-mcmodel=small", "-fpie", "-fno-asynchronous-unwind-tables"]
EDK2_GCC = EDK2_COMMON + ["-fstack-protector", "-mstack-protector-guard=global", "-maccumulate-outgoing-args",
                          "-fno-omit-frame-pointer"]
EDK2_CLANGDWARF = EDK2_COMMON + [
    "-target", "x86_64-pc-linux-gnu", "-Wno-parentheses-equality", "-Wno-empty-body", "-Wno-varargs",
    "-Wno-unknown-warning-option", "-Wno-unaligned-access", "-fno-stack-protector", "-mms-bitfields",
    "-Wno-shift-negative-value", "-Wno-unknown-pragmas", "-Wno-incompatible-library-redeclaration", "-msoft-float",
    "-mno-implicit-float", "-funsigned-char", "-fno-ms-extensions", "-Wno-null-dereference",
    "-fdirect-access-external-data"]

# What an EDK2 build forces in front of every source of a boot-service driver:
# <Uefi.h>, PcdLib and the library classes of the module's INF, all inside
# extern "C", and the GUIDs of its [Protocols] and [Guids].
AUTOGEN = """#ifdef __cplusplus
extern "C" {
#endif
#include <Uefi.h>
#include <Library/PcdLib.h>
extern EFI_GUID gEfiCpuIoProtocolGuid;
extern EFI_GUID gEfiSmmBaseProtocolGuid;
extern EFI_GUID gEfiCpuIo2ProtocolGuid;
extern EFI_GUID gWatchdogControlProtocolGuid;
extern EFI_GUID gRegisterAccessProtocolGuid;
extern EFI_GUID gHookRegistrationProtocolGuid;
extern EFI_GUID gWdtSetupVariableGuid;
#include <Library/UefiDriverEntryPoint.h>
#ifdef __cplusplus
}
#endif
"""


class Case:
    def __init__(self, name, command, expect_ok=True):
        self.name, self.command, self.expect_ok = name, command, expect_ok

    def run(self):
        result = subprocess.run(self.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if (result.returncode == 0) == self.expect_ok:
            return None
        why = "compiler refused it" if self.expect_ok else "compiled although it must not"
        return f"FAIL {self.name}: {why}\n  {' '.join(self.command)}\n{result.stdout.strip()}"


def header_cases(label, compilers, flags, includes, sdk, scratch, misuse):
    """Each header after the SDK's headers, then client.c with the SDK first and last."""
    cases = []
    client = str(HERE / "client.c")
    for lang, lang_flags in LANGUAGES.items():
        compiler = compilers[lang]
        base = [compiler, "-fsyntax-only"] + lang_flags + WARNINGS + flags + includes
        for header in HEADERS:
            source = scratch / f"{label}-{lang}-{header}.c".replace(" ", "_").replace("+", "p")
            source.write_text("".join(f"#include <{h}>\n" for h in sdk + [header]))
            cases.append(Case(f"{label} {lang} {header}", base + [str(source)]))
        sdk_macros = [f"-DSDK_HEADER=<{sdk[0]}>", f"-DSDK_HEADER_2=<{sdk[1]}>"] if sdk else []
        orders = [("SDK first", [])] + ([("SDK last", ["-DSDK_LAST"])] if sdk else [])
        for order, order_flags in orders:
            cases.append(Case(f"{label} {lang} client.c, {order}", base + sdk_macros + order_flags + [client]))
        for name in MISUSES if misuse else []:
            cases.append(Case(f"{label} {lang} {name}", base + sdk_macros + [f"-D{name}", client], False))
    return cases


def driver_cases(label, compiler, flags, includes, root, autogen):
    sources = sorted(root.glob("servicelib/**/*.cpp")) + sorted(root.glob("wdtcontrol/*.cpp"))
    cases = []
    for source in sources:
        local = [f"-I{source.parent}", f"-I{root / source.relative_to(root).parts[0]}"]
        command = ([compiler, "-fsyntax-only", "-x", "c++", "-std=c++20", "-fno-exceptions", "-fno-rtti",
                    "-ffreestanding", "-include", str(autogen)] + WARNINGS + flags + local + includes +
                   [f"-I{root / 'platform' / 'image'}", str(source)])
        cases.append(Case(f"{label} {source.relative_to(root)}", command))
    return cases


def edk2_includes(workspace, root):
    mde = workspace / "MdePkg"
    return [f"-I{mde}", f"-I{mde / 'Include'}", f"-I{mde / 'Include' / 'X64'}", f"-I{root}", f"-I{root / 'include'}"]


def build_cases(args, scratch):
    root = args.root
    clang = {"C11": args.clang, "C++20": args.clangxx}
    gcc = {"C11": args.gcc, "C++20": args.gxx}
    ours = [f"-I{root / 'include'}"]
    if args.setting == "alone":
        return (header_cases("clang host", clang, [], ours, [], scratch, True) +
                header_cases("clang image target", clang, ["--target=x86_64-unknown-windows", "-nostdinc",
                                                           "-ffreestanding"], ours, [], scratch, False) +
                header_cases("gcc host", gcc, [], ours, [], scratch, True))
    if args.setting == "gnu-efi":
        efi = [f"-I{args.gnu_efi}", f"-I{args.gnu_efi / 'x86_64'}"] + ours
        cases = []
        for family, compilers in (("clang", clang), ("gcc", gcc)):
            for abi in ([], ["-DGNU_EFI_USE_MS_ABI"]):
                label = f"{family} gnu-efi{' MS ABI' if abi else ''}"
                cases += header_cases(label, compilers, GNU_EFI_FLAGS + abi, efi, ["efi.h", "efilib.h"], scratch,
                                      True)
        return cases
    workspace = args.edk2
    toolchains = (("GCC", gcc, EDK2_GCC), ("CLANGDWARF", clang, EDK2_CLANGDWARF))
    if args.setting == "edk2":
        cases = []
        for name, compilers, flags in toolchains:
            cases += header_cases(f"{name} X64", compilers, flags, edk2_includes(workspace, root),
                                  ["Uefi.h", "Library/UefiBootServicesTableLib.h"], scratch, True)
        return cases
    autogen = scratch / "AutoGen.h"
    autogen.write_text(AUTOGEN)
    cases = []
    for name, compilers, flags in toolchains:
        cases += driver_cases(f"{name} X64", compilers["C++20"], flags, edk2_includes(workspace, root), root,
                              autogen)
    return cases


def missing_tools(args):
    """Why the setting cannot run here, or None. Returns (message, skip)."""
    if args.setting in ("edk2", "edk2-drivers"):
        if not args.edk2:
            return ("no EDK2 workspace: configure with -DEDK2_WORKSPACE=/path/to/edk2 (a tree with MdePkg) "
                    "to run the EDK2 settings", True)
        if not (args.edk2 / "MdePkg" / "Include" / "Uefi.h").is_file():
            return (f"{args.edk2} has no MdePkg/Include/Uefi.h: EDK2_WORKSPACE must name a tree with MdePkg", False)
    if args.setting == "gnu-efi" and not (args.gnu_efi and (args.gnu_efi / "efi.h").is_file()):
        return ("gnu-efi's efi.h not found: install the Debian package gnu-efi (scripts/deps does)", False)
    for tool in (args.clang, args.clangxx, args.gcc, args.gxx):
        if not tool or tool.endswith("NOTFOUND") or not os.access(tool, os.X_OK):
            return (f"compiler {tool!r} not found: install the Debian packages clang, gcc and g++ "
                    "(scripts/deps does)", False)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("setting", choices=["alone", "gnu-efi", "edk2", "edk2-drivers"])
    parser.add_argument("--root", type=Path, required=True)
    for tool in ("clang", "clangxx", "gcc", "gxx"):
        parser.add_argument(f"--{tool}", default="")
    parser.add_argument("--gnu-efi", type=lambda text: Path(text) if text else None, default=None)
    parser.add_argument("--edk2", type=lambda text: Path(text) if text else None, default=None)
    args = parser.parse_args()

    problem = missing_tools(args)
    if problem:
        message, skip = problem
        print(("skipped: " if skip else "error: ") + message)
        return SKIP if skip else 1

    with tempfile.TemporaryDirectory(prefix="header-matrix-") as scratch:
        cases = build_cases(args, Path(scratch))
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            failures = [failure for failure in pool.map(Case.run, cases) if failure]
    for failure in failures:
        print(failure, end="\n\n")
    print(f"{args.setting}: {len(cases) - len(failures)} of {len(cases)} cases passed")
    return 1 if failures else 0


HERE = Path(__file__).resolve().parent

if __name__ == "__main__":
    sys.exit(main())
