#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Adds DXE and SMM drivers to a copy of Debian's SMM-enabled OVMF code image,
for the Framework SMM Base boot:

  flash_drivers.py --ovmf OVMF_CODE_4M.secboot.fd --out OUT.fd TYPE:NAME:GUID:IMAGE[:DEPEX] ...

TYPE is dxe or smm; DEPEX is a file holding a dependency expression or TRUE
(an SMM file needs one, or the SMM core never dispatches it). Each file
holds the expression of its type, the PE32 image and its user-interface
name, in the order EDK2's volume tools write them. The volume handling is
smram_image.py's: the files go into the erased tail of the DXE volume and
the volume's section is compressed again with lzma_alone.
"""
import argparse
import struct
import sys
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import ffs  # noqa: E402
import smram_image  # noqa: E402

FILE_DRIVER = 0x07
SECTION_DXE_DEPEX = 0x13
TYPES = {"dxe": (FILE_DRIVER, SECTION_DXE_DEPEX), "smm": (ffs.FILE_SMM, ffs.SECTION_SMM_DEPEX)}
ALWAYS = bytes([ffs.DEPEX_TRUE, ffs.DEPEX_END])


def driver_file(text):
    fields = text.split(":")
    if len(fields) not in (4, 5) or fields[0] not in TYPES:
        raise smram_image.LayoutError(f"{text!r}: expected dxe|smm:NAME:GUID:IMAGE[:DEPEX]")
    (kind, depex_kind), name, guid, image = TYPES[fields[0]], fields[1], uuid.UUID(fields[2]), Path(fields[3])
    sections = []
    if len(fields) == 5:
        depex = ALWAYS if fields[4] == "TRUE" else Path(fields[4]).read_bytes()
        if not depex or depex[-1] != ffs.DEPEX_END:
            raise smram_image.LayoutError(f"{fields[4]}: a dependency expression ends with END (0x08)")
        sections.append(ffs.section(depex_kind, depex))
    elif kind == ffs.FILE_SMM:
        raise smram_image.LayoutError(f"{text!r}: an SMM file needs a dependency expression")
    sections += [ffs.section(ffs.SECTION_PE32, image.read_bytes()),
                 ffs.section(ffs.SECTION_USER_INTERFACE, (name + "\0").encode("utf-16-le"))]
    body = b""
    for part in sections:
        body += b"\0" * (ffs.align(len(body), 4) - len(body)) + part
    header = bytearray(guid.bytes_le) + bytes([0, 0, kind, 0]) + (24 + len(body)).to_bytes(3, "little") + b"\0"
    header[16] = ffs.checksum8(header)  # State and the file checksum count as zero
    header[17] = ffs.NO_FILE_CHECKSUM
    header[23] = ffs.FILE_STATE_CONSTRUCTION_VALID
    return name, bytes(header) + body


def build(ovmf, drivers, out, tool):
    data = bytearray(smram_image.read_image(ovmf))
    outer, where, packed, raw = smram_image.compressed_volume_file(data, ovmf)
    dictionary = struct.unpack_from("<I", packed, 1)[0]
    placed = []
    for text in drivers:
        name, new_file = driver_file(text)
        _, dxe = smram_image.inner_volumes(raw, ovmf)  # walked again: raw grows with each file
        raw, at = smram_image.append_file(raw, dxe, new_file)
        placed.append(f"{name} ({len(new_file)} bytes) at {at:#x}")
    repacked = smram_image.lzma_alone_compress(raw, dictionary.bit_length() - 1, tool)
    smram_image.replace_section(data, outer, where, repacked)
    tmp = Path(str(out) + ".tmp")
    tmp.write_bytes(data)
    tmp.replace(out)
    return placed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ovmf", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--lzma-alone", default="lzma_alone")
    parser.add_argument("drivers", nargs="+", metavar="TYPE:NAME:GUID:IMAGE[:DEPEX]")
    args = parser.parse_args()
    started = time.monotonic()
    try:
        placed = build(args.ovmf, args.drivers, args.out, args.lzma_alone)
    except (smram_image.LayoutError, OSError, ValueError) as error:
        print(f"flash_drivers: error: {error}", file=sys.stderr)
        return 1
    print(f"flash_drivers: DXE volume gets {'; '.join(placed)}; {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
