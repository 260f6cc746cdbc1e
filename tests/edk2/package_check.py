#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The EDK2 package files agree with the sources and with each other.

  package_check.py ROOT VERSION

- every GUID of ServiceLibPkg.dec has the value of its macro in include/;
- each module INF lists every source file of its driver, and each file it
  lists exists;
- a driver's source and binary INFs agree (name, file GUID, dependencies);
- a driver's file GUID, where the docs and the image tool's usage write it
  out, is its INF's (the build reads it from the binary INF);
- the release version is the same everywhere: VERSION (the images' header
  version), CHANGELOG.md's latest release, the .dec, the .dsc and every INF.
"""
import re
import sys
from pathlib import Path

ROOT = Path(sys.argv[1]).resolve()
VERSION = sys.argv[2]
DEC_MACROS = {
    "gLibServicesProtocolGuid": "LIB_SERVICES_PROTOCOL_GUID",
    "gSmmLibServicesProtocolGuid": "SMM_LIB_SERVICES_PROTOCOL_GUID",
    "gWatchdogControlProtocolGuid": "WATCHDOG_CONTROL_PROTOCOL_GUID",
    "gWdtSetupVariableGuid": "WDT_SETUP_VARIABLE_GUID",
    "gRegisterAccessProtocolGuid": "REGISTER_ACCESS_PROTOCOL_GUID",
    "gHookRegistrationProtocolGuid": "HOOK_REGISTRATION_PROTOCOL_GUID",
    "gEfiCpuIoProtocolGuid": "EFI_CPU_IO_PROTOCOL_GUID",
    "gEfiSmmBaseProtocolGuid": "EFI_SMM_BASE_PROTOCOL_GUID",
}
# Module INF -> (its binary INF, the folders whose sources it builds); each
# image also compiles its own copy of common/ and the image's mem.cpp.
DRIVERS = {
    "servicelib/ServiceLib.inf": ("binary/ServiceLib.inf", ["servicelib", "common"]),
    "wdtcontrol/WdtControl.inf": ("binary/WdtControl.inf", ["wdtcontrol", "common"]),
}
SHARED = ["platform/image/mem.cpp"]
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)


def section(path, name):
    lines, inside = [], False
    for line in (ROOT / path).read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if line.startswith("["):
            inside = line.strip("[]").split(".")[0].lower() == name.lower()
        elif inside and line:
            lines.append(line)
    return lines


def define(path, key):
    for line in section(path, "Defines"):
        name, _, value = line.partition("=")
        if name.strip() == key:
            return value.strip()
    return None


def numbers(text):
    return [int(n, 16) for n in re.findall(r"0x[0-9a-fA-F]+", text)]


headers = "\n".join(p.read_text() for p in (ROOT / "include").rglob("*.h"))
declared = {}
for line in section("ServiceLibPkg.dec", "Guids") + section("ServiceLibPkg.dec", "Protocols"):
    name, _, value = line.partition("=")
    declared[name.strip()] = numbers(value)
expect(set(declared) == set(DEC_MACROS), f"ServiceLibPkg.dec declares {sorted(declared)}")
for name, macro in DEC_MACROS.items():
    match = re.search(r"#define\s+" + macro + r"\s*\\?\s*(\{[^;]*?\}\s*\})", headers)
    expect(match is not None, f"no {macro} in include/")
    if match and name in declared:
        expect(numbers(match.group(1)) == declared[name], f"{name} in ServiceLibPkg.dec differs from {macro}")

for inf, (binary, folders) in DRIVERS.items():
    base = (ROOT / inf).parent
    listed = {(base / line.split("|")[0]).resolve() for line in section(inf, "Sources")}
    present = {p.resolve() for folder in folders for p in (ROOT / folder).rglob("*")
               if p.suffix in (".cpp", ".h")} | {(ROOT / p).resolve() for p in SHARED}
    for path in sorted(present - listed):
        failures.append(f"{inf} does not list {path.relative_to(ROOT)}")
    for path in sorted(listed - present):
        failures.append(f"{inf} lists {path}, which is missing or not a driver source")
    for key in ("BASE_NAME", "FILE_GUID", "MODULE_TYPE", "VERSION_STRING"):
        expect(define(inf, key) == define(binary, key), f"{key} differs between {inf} and {binary}")
    expect(section(inf, "Depex") == section(binary, "Depex"), f"[Depex] differs between {inf} and {binary}")

# The examples that write a driver's file GUID out: "dxe:NAME:GUID:" of the
# image tool, "FvFile(GUID)" of a device path, and the shell's shortened
# "..TAIL)) LoadedImage(NAME)".
file_guids = {define(binary, "BASE_NAME"): define(binary, "FILE_GUID").upper() for binary, _ in DRIVERS.values()}
GUID = r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}"
for path in sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md", ROOT / "smram/tools/flash_image.py"]:
    text, where = path.read_text(), path.relative_to(ROOT)
    for name, guid in re.findall(rf"dxe:(\w+):({GUID}):", text):
        expect(file_guids.get(name, guid.upper()) == guid.upper(), f"{where}: {name}'s file GUID is not its INF's")
    for guid in re.findall(rf"FvFile\(({GUID})\)", text):
        expect(guid.upper() in file_guids.values(), f"{where}: FvFile({guid}) is no driver's file GUID")
    for tail, name in re.findall(r"\.\.([0-9A-Fa-f-]{27})\)\) LoadedImage\((\w+)\)", text):
        expect(file_guids.get(name, tail.upper()).endswith(tail.upper()), f"{where}: {name}'s file GUID is not its INF's")

# The latest release's entry; changes made since sit above it under "Unreleased".
changelog = re.search(r"^## (?!Unreleased\b)(\S+)", (ROOT / "CHANGELOG.md").read_text(), re.M)
versions = {"CHANGELOG.md": changelog.group(1) if changelog else None,
            "ServiceLibPkg.dec": define("ServiceLibPkg.dec", "PACKAGE_VERSION"),
            "ServiceLibPkg.dsc": define("ServiceLibPkg.dsc", "PLATFORM_VERSION")}
for inf, (binary, _) in DRIVERS.items():
    versions[inf] = define(inf, "VERSION_STRING")
    versions[binary] = define(binary, "VERSION_STRING")
for where, version in versions.items():
    expect(version == VERSION, f"{where} says version {version}, the images {VERSION}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
