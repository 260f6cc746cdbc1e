#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Writes non-volatile variables into a copy of an empty OVMF variable store
(OVMF_VARS_4M.fd), so that a firmware boots with them already there, as
after a `setvar -nv` in an earlier boot.

  nv_vars.py --vars /usr/share/OVMF/OVMF_VARS_4M.fd --out seeded.fd \\
             [--setup FACTS TIMEOUT] [NAME:GUID:ATTRIBUTES:HEXDATA ...]

--setup writes WdtControl's Setup variable with the watchdog timeout
TIMEOUT, laid out as the build's facts.json says (its GUID, size and
timeout offset, which the build takes from the public header).

The store is the firmware volume at the start of the file: its header, then
the authenticated variable store header (signature GUID, size, format 0x5A,
state 0xFE healthy), then the variables, each 4-byte aligned:

  StartId 0x55AA, State 0x3F (added), Reserved, Attributes (UINT32),
  MonotonicCount (UINT64), TimeStamp (EFI_TIME, 16 bytes), PubKeyIndex,
  NameSize, DataSize (UINT32 each), VendorGuid, then the UCS-2 name with
  its terminator, padding to 4 bytes, and the data.

A plain (not time-authenticated) variable has a zero count, time stamp and
key index. The tool writes only into a store that holds no variable yet
(all 0xFF after the store header), and checks everything it relies on.
"""
import argparse
import json
import struct
import sys
import uuid
from pathlib import Path

FV_SIGNATURE = b"_FVH"
AUTH_STORE_GUID = uuid.UUID("aaf32c78-947b-439a-a180-2e144ec37792")
STORE_HEADER = struct.Struct("<16sIBBHI")  # Signature, Size, Format, State, Reserved, Reserved1
VARIABLE_HEADER = struct.Struct("<HBBIQ16sIII16s")
START_ID, VAR_ADDED = 0x55AA, 0x3F
# Non-volatile, boot-service and runtime access, as a platform's Setup is.
SETUP_ATTRIBUTES = 0x7


def align4(value):
    return (value + 3) & ~3


def variable(name, guid, attributes, data):
    encoded = (name + "\0").encode("utf-16-le")
    header = VARIABLE_HEADER.pack(START_ID, VAR_ADDED, 0, attributes, 0, bytes(16), 0, len(encoded), len(data),
                                  guid.bytes_le)
    body = header + encoded
    body += b"\xff" * (align4(len(body)) - len(body)) + data
    return body + b"\xff" * (align4(len(body)) - len(body))


def seed(image, variables):
    """image with variables [(name, guid, attributes, data)] written into its empty store."""
    image = bytearray(image)
    if image[40:44] != FV_SIGNATURE:
        raise SystemExit("no firmware volume at the start of the variable file")
    fv_length, header_length = struct.unpack_from("<Q", image, 32)[0], struct.unpack_from("<H", image, 48)[0]
    signature, size, store_format, state, _, _ = STORE_HEADER.unpack_from(image, header_length)
    if uuid.UUID(bytes_le=signature) != AUTH_STORE_GUID or store_format != 0x5A or state != 0xFE:
        raise SystemExit("the variable file's store is not an authenticated, formatted and healthy store")
    start = align4(header_length + STORE_HEADER.size)
    end = header_length + size
    if end > fv_length or any(byte != 0xFF for byte in image[start:end]):
        raise SystemExit("the variable store is not empty: start from the firmware package's OVMF_VARS_4M.fd")
    written = b"".join(variable(*entry) for entry in variables)
    if start + len(written) > end:
        raise SystemExit("the variables do not fit into the store")
    image[start:start + len(written)] = written
    return bytes(image)


def parse(argument):
    name, guid, attributes, data = argument.split(":")
    return name, uuid.UUID(guid), int(attributes, 0), bytes.fromhex(data)


def setup_variable(facts, timeout):
    """Setup with the watchdog timeout in its byte, the rest zero."""
    setup = json.loads(Path(facts).read_text())["setup"]
    if not 0 <= timeout <= 0xFF or setup["timeout-offset"] >= setup["size"]:
        raise SystemExit(f"the timeout {timeout} does not fit Setup as facts.json lays it out: {setup}")
    data = bytearray(setup["size"])
    data[setup["timeout-offset"]] = timeout
    return "Setup", uuid.UUID(setup["guid"]), SETUP_ATTRIBUTES, bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--vars", type=Path, required=True, help="an empty variable file (OVMF_VARS_4M.fd)")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--setup", nargs=2, metavar=("FACTS", "TIMEOUT"),
                        help="also WdtControl's Setup with this timeout, laid out as facts.json says")
    parser.add_argument("variables", nargs="*", metavar="NAME:GUID:ATTRIBUTES:HEXDATA")
    args = parser.parse_args()
    variables = [parse(argument) for argument in args.variables]
    if args.setup:
        variables.append(setup_variable(args.setup[0], int(args.setup[1], 0)))
    if not variables:
        parser.error("no variable to write")
    args.out.write_bytes(seed(args.vars.read_bytes(), variables))
    return 0


if __name__ == "__main__":
    sys.exit(main())
