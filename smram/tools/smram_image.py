#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Builds the firmware image of the SMRAM lane: a copy of Debian's
SMM-enabled OVMF code image with one more SMM driver in its DXE volume.

  smram_image.py --ovmf OVMF_CODE_4M.secboot.fd --driver SmramProbe.efi \\
                 --guid FILE-GUID --name SmramProbe --out smram-code.fd

The code image keeps the DXE volume LZMA-compressed inside one FV_IMAGE
file of its first volume. SEC decompresses that section and copies the PEI
and DXE volumes to fixed places with fixed sizes, so the DXE volume keeps
its length: the new file goes into its erased tail. The section is then
compressed again with lzma_alone (Debian's lzma-alone), which writes the
uncompressed size into the header and no end marker, as the firmware's
decoder needs. Python's own LZMA encoder always ends the stream with a
marker, and an image built with it does not boot.
"""
import argparse
import lzma
import os
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import ffs  # noqa: E402

# What this lane was made on: Debian's ovmf 2022.11, whose 4 MiB code image
# carries the SMM core and the SMM CPU driver in its DXE volume.
MADE_FOR = "2022.11"
IMAGE_SIZE = 0x37C000
SMM_CORE_NAME = "PiSmmCore"
REQUIRED_SMM_DRIVERS = ("PiSmmCpuDxeSmm", "CpuIo2Smm")


class LayoutError(Exception):
    pass


def ovmf_version():
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "ovmf"], capture_output=True, text=True)
        return out.stdout.strip() or "not installed"
    except OSError:
        return "unknown (no dpkg-query)"


def layout_error(path, reason):
    return LayoutError(f"{path}: {reason}. The SMRAM lane was made on the layout of Debian's ovmf {MADE_FOR} "
                       f"(installed: ovmf {ovmf_version()}); see docs/smram.md")


def compressed_volume_file(data, path):
    """The first volume, the place of its FV_IMAGE file and LZMA section,
    and that section's compressed and decompressed bytes."""
    if len(data) != IMAGE_SIZE:
        raise layout_error(path, f"size {len(data):#x}, expected {IMAGE_SIZE:#x}")
    try:
        outer = ffs.Volume(data, 0)
    except ValueError:
        raise layout_error(path, "no firmware volume at offset 0") from None
    found = []
    for position, size, _, kind, header_length in outer.files():
        if kind != ffs.FILE_FV_IMAGE:
            continue
        for sec, sec_size, sec_kind, sec_header in ffs.sections(data, position + header_length, position + size):
            if sec_kind == ffs.SECTION_GUID_DEFINED:
                guid = uuid.UUID(bytes_le=bytes(data[sec + sec_header:sec + sec_header + 16]))
                if guid == ffs.LZMA_SECTION_GUID:
                    found.append((position, size, header_length, sec, sec_size, sec_header))
    if len(found) != 1:
        raise layout_error(path, f"{len(found)} LZMA-compressed volume files in the first volume, expected 1")
    _, _, _, sec, sec_size, sec_header = found[0]
    data_offset, = struct.unpack_from("<H", data, sec + sec_header + 16)
    packed = bytes(data[sec + data_offset:sec + sec_size])
    return outer, found[0], packed, lzma.decompress(packed, format=lzma.FORMAT_ALONE)


def inner_volumes(raw, path):
    volumes = [ffs.Volume(raw, sec + header)
               for sec, _, kind, header in ffs.sections(raw, 0, len(raw)) if kind == ffs.SECTION_FV_IMAGE]
    if len(volumes) != 2:
        raise layout_error(path, f"{len(volumes)} volumes in the compressed section, expected PEI and DXE")
    dxe = volumes[1]
    names = {ffs.ui_name(raw, pos + hl, pos + size): kind for pos, size, _, kind, hl in dxe.files()}
    if names.get(SMM_CORE_NAME) != ffs.FILE_SMM_CORE:
        raise layout_error(path, "the DXE volume has no SMM core (use OVMF_CODE_4M.secboot.fd)")
    missing = [name for name in REQUIRED_SMM_DRIVERS if names.get(name) != ffs.FILE_SMM]
    if missing:
        raise layout_error(path, f"the DXE volume lacks {', '.join(missing)}")
    return volumes


def append_file(raw, volume, new_file):
    guid = uuid.UUID(bytes_le=bytes(new_file[:16]))
    if any(name == guid for _, _, name, _, _ in volume.files()):
        raise LayoutError(f"file {guid} is already in the DXE volume")
    position = ffs.align(volume.used_end(), 8)
    end = position + len(new_file)
    if end > volume.end:
        raise LayoutError(f"the DXE volume has {volume.end - position} free bytes, the file needs {len(new_file)}")
    if bytes(raw[position:end]) != b"\xff" * len(new_file):
        raise LayoutError("the free space of the DXE volume is not erased")
    file = bytearray(new_file)
    if volume.erase_polarity:
        file[23] ^= 0xFF
    out = bytearray(raw)
    out[position:end] = file
    return bytes(out), position - volume.offset


def lzma_alone_compress(raw, dictionary_log2, tool):
    with tempfile.TemporaryDirectory() as tmp:
        source, target = Path(tmp) / "in", Path(tmp) / "out"
        source.write_bytes(raw)
        try:
            subprocess.run([tool, "e", str(source), str(target), f"-d{dictionary_log2}"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        except FileNotFoundError:
            raise LayoutError(f"{tool} not found: install the Debian package lzma-alone") from None
        packed = target.read_bytes()
    if lzma.decompress(packed, format=lzma.FORMAT_ALONE) != raw:
        raise LayoutError("lzma_alone's output does not decompress to its input")
    if struct.unpack_from("<Q", packed, 5)[0] != len(raw):
        raise LayoutError("lzma_alone did not record the uncompressed size")
    return packed


def replace_section(data, outer, where, packed):
    """Rewrites the FV_IMAGE file around a new compressed section."""
    position, size, header_length, sec, sec_size, sec_header = where
    if header_length != 24 or sec_header != 4:
        raise LayoutError("large-file headers in the first volume are not handled")
    guid_header = bytes(data[sec + 4:sec + 4 + 16])
    _, attributes = struct.unpack_from("<HH", data, sec + 4 + 16)
    body = guid_header + struct.pack("<HH", 4 + 20, attributes) + packed
    new_section = ffs.section(ffs.SECTION_GUID_DEFINED, body)
    content = bytes(data[position + 24:sec]) + new_section
    new_size = 24 + len(content)
    old_end, new_end = position + size, position + new_size
    if new_end > outer.end:
        raise LayoutError("the recompressed volume file does not fit the first volume")
    if new_end > old_end and bytes(data[old_end:new_end]).strip(b"\xff"):
        raise LayoutError("the space after the volume file is not free")
    header = bytearray(data[position:position + 24])
    state = header[23]
    header[20:23] = new_size.to_bytes(3, "little")
    header[16] = header[17] = header[23] = 0
    header[16] = ffs.checksum8(header)
    header[17] = ffs.checksum8(content) if header[19] & ffs.FILE_ATTRIB_CHECKSUM else ffs.NO_FILE_CHECKSUM
    header[23] = state
    data[position:new_end] = bytes(header) + content
    if new_end < old_end:
        data[new_end:old_end] = b"\xff" * (old_end - new_end)
    return size, new_size


def read_image(path):
    if not Path(path).is_file():
        raise LayoutError(f"{path} not found: install the Debian package ovmf")
    return Path(path).read_bytes()


def build(ovmf, driver, guid, name, out, tool):
    data = bytearray(read_image(ovmf))
    outer, where, packed, raw = compressed_volume_file(data, ovmf)
    dictionary = struct.unpack_from("<I", packed, 1)[0]
    _, dxe = inner_volumes(raw, ovmf)
    new_file = ffs.smm_driver_file(Path(driver).read_bytes(), guid, name)
    raw, at = append_file(raw, dxe, new_file)
    repacked = lzma_alone_compress(raw, dictionary.bit_length() - 1, tool)
    old, new = replace_section(data, outer, where, repacked)
    tmp = Path(str(out) + ".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, out)
    return at, len(new_file), old, new


def list_layout(ovmf):
    _, _, _, raw = compressed_volume_file(read_image(ovmf), ovmf)
    for label, volume in zip(("PEI", "DXE"), inner_volumes(raw, ovmf)):
        print(f"{label} volume {volume.guid}: {volume.length:#x} bytes, used {volume.used_end() - volume.offset:#x}")
        for position, size, guid, kind, hl in volume.files():
            if kind != ffs.FILE_PAD:
                print(f"  {position - volume.offset:#09x} {size:#08x} type {kind:#04x} {guid} "
                      f"{ffs.ui_name(raw, position + hl, position + size)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ovmf", required=True)
    parser.add_argument("--list", action="store_true", help="print the volumes of --ovmf and stop")
    parser.add_argument("--driver")
    parser.add_argument("--guid")
    parser.add_argument("--name")
    parser.add_argument("--out")
    parser.add_argument("--lzma-alone", default="lzma_alone")
    args = parser.parse_args()
    try:
        if args.list:
            list_layout(args.ovmf)
            return 0
        if not (args.driver and args.guid and args.name and args.out):
            parser.error("--driver, --guid, --name and --out are needed")
        started = time.monotonic()
        at, size, old, new = build(args.ovmf, args.driver, args.guid, args.name, args.out, args.lzma_alone)
    except (LayoutError, OSError) as error:
        print(f"smram_image: error: {error}", file=sys.stderr)
        return 1
    print(f"smram_image: {args.name} ({size} bytes) at DXE volume offset {at:#x}; compressed volume file "
          f"{old:#x} -> {new:#x} bytes; {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
