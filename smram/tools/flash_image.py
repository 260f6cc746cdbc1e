#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Adds DXE and SMM drivers to an OVMF code image, or lists any OVMF image.

Writes a copy of Debian's 4 MiB OVMF code image with more drivers in its
DXE volume, or prints the volumes and files of any OVMF image.

  flash_image.py --ovmf IN.fd --out OUT.fd [--apriori NAME[,NAME...]
                 [--apriori-mode first|last|replace]] TYPE:NAME:GUID:IMAGE[:DEPEX] ...
  flash_image.py --ovmf IN.fd --list

The code image keeps the PEI and DXE volumes LZMA-compressed inside one
FV_IMAGE file of its first volume. SEC decompresses that section and copies
the volumes to fixed places with fixed sizes, so the DXE volume keeps its
length: the new files go into its erased tail. The section is then
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

IMAGE_HELP = """\
Each driver argument adds one file to the DXE volume:

  TYPE:NAME:GUID:IMAGE[:DEPEX]

  TYPE   dxe (FFS file type DRIVER, 0x07), smm (type SMM, 0x0A) or
         fv (type FIRMWARE_VOLUME_IMAGE, 0x0B)
  NAME   the user-interface name (what the shell's `dh` shows)
  GUID   the file's GUID (FILE_GUID of the driver's INF)
  IMAGE  the PE32+ image, or for fv a whole firmware volume (such as the
         .Fv an EDK2 build writes), carried byte for byte
  DEPEX  a dependency-expression file (the build's NAME.depex), or TRUE;
         it becomes the file's DXE_DEPEX (dxe) or SMM_DEPEX (smm) section

Without DEPEX a dxe file has no DXE_DEPEX section. The DXE dispatcher then
treats it as if its expression were the AND of all the DXE architectural
protocols: it starts once every boot and runtime service is in place, as a
UEFI driver would, unless the APRIORI list names it, which starts it first
whatever its expression says. An smm file needs DEPEX: the SMM core
dispatches no SMM driver that lacks an SMM_DEPEX section, so the tool
refuses one (TRUE gives an expression that always holds). Adding an smm
file needs an image with the SMM core (OVMF_CODE_4M.secboot.fd). An fv
file takes no DEPEX: the DXE core opens its volume once every boot and
runtime service is in place (it copies the volume into memory first), and
then dispatches the drivers in it by their own expressions.

--apriori names the drivers (by NAME, a driver argument's or that of a
DRIVER file already in the volume, or by GUID) that the DXE core starts
before any other, in the order given, without looking at their dependency
expressions. With --apriori-mode first (the default)
they come before the entries of the volume's existing APRIORI DXE file,
with last after them, with replace instead of them. The existing file is
marked deleted and a new one goes into the free space.

Example (ServiceLib started first, WdtControl by its dependency expression):

  flash_image.py --ovmf /usr/share/OVMF/OVMF_CODE_4M.fd --out flash.fd --apriori ServiceLib \\
    dxe:ServiceLib:4b3eb940-b4b8-48c0-bbae-44323deca102:build/images/ServiceLib.efi:build/images/ServiceLib.depex \\
    dxe:WdtControl:65f976ce-0007-4643-8d63-0316261f8da8:build/images/WdtControl.efi:build/images/WdtControl.depex
"""

# What the tool was made on: Debian's ovmf 2022.11, whose 4 MiB code images
# carry the PEI and DXE volumes in one LZMA section.
MADE_FOR = "2022.11"
IMAGE_SIZE = 0x37C000
SMM_CORE_NAME = "PiSmmCore"
REQUIRED_SMM_DRIVERS = ("PiSmmCpuDxeSmm", "CpuIo2Smm")
FILE_TYPES = {"dxe": ffs.FILE_DRIVER, "smm": ffs.FILE_SMM, "fv": ffs.FILE_FV_IMAGE}


class LayoutError(Exception):
    pass


def ovmf_version():
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "ovmf"], capture_output=True, text=True)
        return out.stdout.strip() or "not installed"
    except OSError:
        return "unknown (no dpkg-query)"


def layout_error(path, reason):
    return LayoutError(f"{path}: {reason}. This tool was made on the layout of Debian's ovmf {MADE_FOR} "
                       f"(installed: ovmf {ovmf_version()}); see docs/edk2.md")


# ---------------------------------------------------------------- the driver arguments

class Driver:
    """One TYPE:NAME:GUID:IMAGE[:DEPEX] argument, read and checked."""

    def __init__(self, text):
        fields = text.split(":")
        if len(fields) not in (4, 5):
            raise LayoutError(f"{text!r}: expected TYPE:NAME:GUID:IMAGE[:DEPEX]")
        kind, self.name, guid, image = fields[:4]
        if kind not in FILE_TYPES:
            raise LayoutError(f"{text!r}: TYPE must be dxe, smm or fv")
        self.type = FILE_TYPES[kind]
        if not self.name:
            raise LayoutError(f"{text!r}: NAME is empty")
        try:
            self.guid = uuid.UUID(guid)
        except ValueError:
            raise LayoutError(f"{text!r}: {guid!r} is not a GUID") from None
        self.image = Path(image).read_bytes()
        if self.type == ffs.FILE_FV_IMAGE:
            if self.image[40:44] != b"_FVH" or len(fields) == 5:
                raise LayoutError(f"{text!r}: an fv file holds one firmware volume and takes no DEPEX")
        elif self.image[:2] != b"MZ":
            raise LayoutError(f"{image}: not a PE image")
        self.depex = None
        if len(fields) == 5:
            self.depex = ffs.DEPEX_ALWAYS if fields[4] == "TRUE" else Path(fields[4]).read_bytes()
            if not self.depex or self.depex[-1] != ffs.DEPEX_END:
                raise LayoutError(f"{fields[4]}: a dependency expression ends with END (0x08)")
        elif self.type == ffs.FILE_SMM:
            raise LayoutError(f"{text!r}: an SMM file without SMM_DEPEX is never dispatched; give a .depex or TRUE")

    def file(self):
        if self.type == ffs.FILE_FV_IMAGE:
            return ffs.volume_file(self.image, self.guid, self.name)
        return ffs.driver_file(self.type, self.image, self.guid, self.name, self.depex)


def apriori_guids(names, drivers, raw, volume):
    """The GUIDs that --apriori names: a driver argument's NAME, the name of
    a driver already in the volume, or a GUID."""
    by_name = {driver.name: driver for driver in drivers}
    in_volume = {}
    for position, size, guid, kind, header_length in volume.files():
        if kind == ffs.FILE_DRIVER and volume.is_live(position):
            in_volume.setdefault(ffs.ui_name(raw, position + header_length, position + size), []).append(guid)
    guids = []
    for name in names:
        if name in by_name:
            if by_name[name].type != ffs.FILE_DRIVER:
                raise LayoutError(f"--apriori {name}: only dxe drivers go into the APRIORI DXE file")
            guids.append(by_name[name].guid)
        elif len(in_volume.get(name, [])) == 1:
            guids.append(in_volume[name][0])
        else:
            try:
                guids.append(uuid.UUID(name))
            except ValueError:
                raise LayoutError(f"--apriori {name}: not the NAME of one DRIVER file, given or in the DXE volume, "
                                  f"nor a GUID") from None
    if len(set(guids)) != len(guids):
        raise LayoutError("--apriori names a driver twice")
    return guids


# ---------------------------------------------------------------- the code image

def compressed_volume_file(data, path):
    """The first volume, the place of its FV_IMAGE file and LZMA section,
    and that section's compressed and decompressed bytes."""
    if len(data) != IMAGE_SIZE:
        raise layout_error(path, f"size {len(data):#x}, expected {IMAGE_SIZE:#x} (a 4 MiB code image)")
    try:
        outer = ffs.Volume(data, 0)
    except ValueError:
        raise layout_error(path, "no firmware volume at offset 0") from None
    found = []
    for position, size, _, kind, header_length in outer.files():
        if kind != ffs.FILE_FV_IMAGE:
            continue
        for sec, sec_size, sec_kind, sec_header in ffs.sections(data, position + header_length, position + size):
            if sec_kind == ffs.SECTION_GUID_DEFINED and section_guid(data, sec, sec_header) == ffs.LZMA_SECTION_GUID:
                found.append((position, size, header_length, sec, sec_size, sec_header))
    if len(found) != 1:
        raise layout_error(path, f"{len(found)} LZMA-compressed volume files in the first volume, expected 1")
    _, _, _, sec, sec_size, sec_header = found[0]
    return outer, found[0], lzma_packed(data, sec, sec_size, sec_header), lzma_unpacked(data, sec, sec_size, sec_header)


def section_guid(data, sec, sec_header):
    return uuid.UUID(bytes_le=bytes(data[sec + sec_header:sec + sec_header + 16]))


def lzma_packed(data, sec, sec_size, sec_header):
    data_offset, = struct.unpack_from("<H", data, sec + sec_header + 16)
    return bytes(data[sec + data_offset:sec + sec_size])


def lzma_unpacked(data, sec, sec_size, sec_header):
    return lzma.decompress(lzma_packed(data, sec, sec_size, sec_header), format=lzma.FORMAT_ALONE)


def inner_volumes(raw, path, need_smm):
    volumes = [ffs.Volume(raw, sec + header)
               for sec, _, kind, header in ffs.sections(raw, 0, len(raw)) if kind == ffs.SECTION_FV_IMAGE]
    if len(volumes) != 2:
        raise layout_error(path, f"{len(volumes)} volumes in the compressed section, expected PEI and DXE")
    if need_smm:
        dxe = volumes[1]
        names = {ffs.ui_name(raw, pos + hl, pos + size): kind for pos, size, _, kind, hl in dxe.files()}
        if names.get(SMM_CORE_NAME) != ffs.FILE_SMM_CORE:
            raise LayoutError(f"{path}: an SMM driver needs the SMM core, and the DXE volume has none "
                              f"(use OVMF_CODE_4M.secboot.fd)")
        missing = [name for name in REQUIRED_SMM_DRIVERS if names.get(name) != ffs.FILE_SMM]
        if missing:
            raise layout_error(path, f"the DXE volume lacks {', '.join(missing)}")
    return volumes


def append_file(raw, volume, new_file):
    """Puts new_file into the erased tail of volume (raw is changed in
    place); returns its offset in the volume."""
    guid = uuid.UUID(bytes_le=bytes(new_file[:16]))
    if any(name == guid and volume.is_live(pos) for pos, _, name, _, _ in volume.files()):
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
    raw[position:end] = file
    return position - volume.offset


def apriori_entries(raw, volume):
    """The place of the live APRIORI DXE file in volume and its GUIDs, or (None, [])."""
    for position, size, guid, _, header_length in volume.files():
        if guid == ffs.APRIORI_DXE_GUID and volume.is_live(position):
            start, end = position + header_length, position + size
            listed = b"".join(bytes(raw[sec + hl:sec + sec_size])
                              for sec, sec_size, kind, hl in ffs.sections(raw, start, end) if kind == ffs.SECTION_RAW)
            return position, [uuid.UUID(bytes_le=listed[i:i + 16]) for i in range(0, len(listed) - 15, 16)]
    return None, []


def new_apriori_list(existing, ours, mode):
    kept = [guid for guid in existing if guid not in ours]
    return {"first": ours + kept, "last": kept + ours, "replace": ours}[mode]


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


def build(ovmf, drivers, apriori_names, mode, out, tool, report):
    data = bytearray(read_image(ovmf))
    outer, where, packed, raw = compressed_volume_file(data, ovmf)
    dictionary = struct.unpack_from("<I", packed, 1)[0]
    raw = bytearray(raw)
    _, dxe = inner_volumes(raw, ovmf, any(driver.type == ffs.FILE_SMM for driver in drivers))
    if apriori_names:
        apriori = apriori_guids(apriori_names, drivers, raw, dxe)
        old, existing = apriori_entries(raw, dxe)
        listed = new_apriori_list(existing, apriori, mode)
        if old is not None:
            dxe.mark_deleted(old)
        at = append_file(raw, ffs.Volume(raw, dxe.offset), ffs.apriori_file(listed))
        report(f"APRIORI DXE file at DXE volume offset {at:#x}: {len(listed)} entries "
               f"({len(existing)} before, {'replaced' if old is not None else 'none'})")
    for driver in drivers:
        new_file = driver.file()
        at = append_file(raw, ffs.Volume(raw, dxe.offset), new_file)
        report(f"{driver.name} ({ffs.FILE_TYPE_NAMES[driver.type]}, {len(new_file)} bytes"
               f"{'' if driver.depex is not None else ', no depex'}) at DXE volume offset {at:#x}")
    repacked = lzma_alone_compress(bytes(raw), dictionary.bit_length() - 1, tool)
    old_size, new_size = replace_section(data, outer, where, repacked)
    tmp = Path(str(out) + ".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, out)
    report(f"compressed volume file {old_size:#x} -> {new_size:#x} bytes")


# ---------------------------------------------------------------- listing

def list_image(path):
    """Every volume of the image, and the volumes inside its FV_IMAGE files."""
    data = read_image(path)
    position = 0
    while position + 0x40 <= len(data):
        if data[position + 40:position + 44] == b"_FVH":
            volume = ffs.Volume(data, position)
            list_volume(data, volume, f"volume at image offset {position:#x}", "")
            position += max(volume.length, 0x1000)
        else:
            position += 0x1000


def list_volume(data, volume, where, indent):
    name = f", name {volume.name}" if volume.name else ""
    file_system = ffs.FILE_SYSTEM_NAMES.get(volume.file_system)
    print(f"{indent}{where}: {volume.length:#x} bytes{name}, file system {file_system or volume.file_system}")
    if file_system is None:
        print(f"{indent}  (no firmware files)")
        return
    names = {guid: ffs.ui_name(data, pos + hl, pos + size) for pos, size, guid, _, hl in volume.files()}
    print(f"{indent}  {'offset':>9} {'type':<11} {'size':>8}  {'file GUID':<36}  {'depex':<9}  name")
    for position, size, guid, kind, header_length in volume.files():
        if kind == ffs.FILE_PAD:
            continue
        start, end = position + header_length, position + size
        kinds = [sec_kind for _, _, sec_kind, _ in ffs.sections(data, start, end)]
        depex = next((ffs.DEPEX_SECTION_NAMES[k] for k in kinds if k in ffs.DEPEX_SECTION_NAMES), "-")
        label = names[guid] or ("APRIORI DXE" if guid == ffs.APRIORI_DXE_GUID else "")
        deleted = "" if volume.is_live(position) else " (deleted)"
        print(f"{indent}  {position - volume.offset:#9x} {ffs.FILE_TYPE_NAMES.get(kind, hex(kind)):<11} {size:#8x}  "
              f"{guid}  {depex:<9}  {label}{deleted}")
        if guid == ffs.APRIORI_DXE_GUID:
            for sec, sec_size, sec_kind, hl in ffs.sections(data, start, end):
                if sec_kind == ffs.SECTION_RAW:
                    listed = [uuid.UUID(bytes_le=bytes(data[i:i + 16]))
                              for i in range(sec + hl, sec + sec_size - 15, 16)]
                    print(f"{indent}    apriori: {', '.join(names.get(g) or str(g) for g in listed)}")
        list_nested(data, start, end, indent + "    ")


def list_nested(data, start, end, indent):
    """The volumes in FV_IMAGE sections, also inside LZMA-compressed sections."""
    for sec, sec_size, kind, header_length in ffs.sections(data, start, end):
        if kind == ffs.SECTION_FV_IMAGE:
            list_volume(data, ffs.Volume(data, sec + header_length), "volume", indent)
        elif kind == ffs.SECTION_GUID_DEFINED and section_guid(data, sec, header_length) == ffs.LZMA_SECTION_GUID:
            raw = lzma_unpacked(data, sec, sec_size, header_length)
            print(f"{indent}LZMA section: {sec_size:#x} bytes, {len(raw):#x} unpacked")
            list_nested(raw, 0, len(raw), indent + "  ")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0], epilog=IMAGE_HELP,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ovmf", required=True, help="the OVMF image to read")
    parser.add_argument("--list", action="store_true", help="print the volumes and files of --ovmf and stop")
    parser.add_argument("--out", help="the image to write")
    parser.add_argument("--apriori", metavar="NAME[,NAME...]",
                        help="drivers for the APRIORI DXE file, by name or GUID")
    parser.add_argument("--apriori-mode", choices=("first", "last", "replace"), default="first",
                        help="where they go in the existing list (default: first)")
    parser.add_argument("--lzma-alone", default="lzma_alone", help="the LZMA SDK encoder (package lzma-alone)")
    parser.add_argument("images", nargs="*", metavar="TYPE:NAME:GUID:IMAGE[:DEPEX]")
    args = parser.parse_args()
    try:
        if args.list:
            list_image(args.ovmf)
            return 0
        if not args.out or not (args.images or args.apriori):
            parser.error("--out and at least one image (or --apriori) are needed")
        started = time.monotonic()
        drivers = [Driver(text) for text in args.images]
        apriori = args.apriori.split(",") if args.apriori else []
        build(args.ovmf, drivers, apriori, args.apriori_mode, args.out, args.lzma_alone,
              lambda text: print(f"flash_image: {text}"))
    except (LayoutError, OSError, ValueError) as error:
        print(f"flash_image: error: {error}", file=sys.stderr)
        return 1
    print(f"flash_image: {args.out} written in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
