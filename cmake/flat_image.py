#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Lays a linked PE32+ image out in its file as it lies in memory.

  flat_image.py STRIPPED OUT

A volume tool that rebases an image where it lies in flash (GenFv, at a
volume's fixed base) names and patches the image's addresses as offsets
from the image's first byte in the volume: each section must sit at the
file offset equal to its address. lld-link lays the image out for the
debug file, whose DWARF section headers take the header space up to the
first section's address; stripping them shrinks the headers, and
llvm-objcopy then packs the raw data right behind them, below the
sections' addresses. And a section whose zero-filled tail (.bss, merged
into .data) lies under the next section leaves that next one short of its
address in the file.

This moves bytes, never addresses: the headers keep their bytes and reach
to the first section (SizeOfHeaders), each section's raw data moves to its
address and spans up to the next section (the zero-filled tail is written
out as zeros, as the loader would fill it), SizeOfCode and
SizeOfInitializedData follow the raw sizes, and the debug directory's file
offsets follow the data they name. Code and data are the link's byte for
byte, so the debug file still describes the image. Whatever it cannot move
exactly (a certificate table, a COFF symbol table, a checksum, bytes past
the last section, unordered or overlapping sections, file alignment other
than section alignment) stops the build.
"""
import struct
import sys
from pathlib import Path

SECTION_HEADER = 40
DEBUG_ENTRY = 28
SCN_CODE, SCN_INITIALIZED = 0x20, 0x40


class LayoutError(Exception):
    pass


def align(value, boundary):
    return (value + boundary - 1) & ~(boundary - 1)


def flatten(data):
    data = bytes(data)
    pe, = struct.unpack_from("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        raise LayoutError("not a PE image")
    count, = struct.unpack_from("<H", data, pe + 6)
    symbols = struct.unpack_from("<II", data, pe + 12)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    magic, = struct.unpack_from("<H", data, opt)
    section_alignment, file_alignment = struct.unpack_from("<II", data, opt + 32)
    size_of_headers, checksum = struct.unpack_from("<II", data, opt + 60)
    directories, = struct.unpack_from("<I", data, opt + 108)
    table = opt + optional_size

    def directory(index):
        return struct.unpack_from("<II", data, opt + 112 + 8 * index) if index < directories else (0, 0)

    if magic != 0x20B:
        raise LayoutError("not PE32+")
    if symbols != (0, 0) or checksum != 0 or directory(4) != (0, 0):
        raise LayoutError("a COFF symbol table, a checksum or a certificate table would need rewriting")
    if count == 0 or section_alignment != file_alignment:
        raise LayoutError(f"section alignment {section_alignment:#x} and file alignment {file_alignment:#x} differ: "
                          "addresses cannot all be file offsets")

    sections = []
    for index in range(count):
        header = table + SECTION_HEADER * index
        virtual_size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
        characteristics, = struct.unpack_from("<I", data, header + 36)
        sections.append((header, virtual_size, address, raw_size, raw_offset, characteristics))
    if table + SECTION_HEADER * count > sections[0][2]:
        raise LayoutError("the section table reaches into the first section")
    if len(data) != max(raw_offset + raw_size for _, _, _, raw_size, raw_offset, _ in sections):
        raise LayoutError("bytes past the last section's raw data")

    # Each section's raw data at its address, up to the next section.
    out = bytearray(data[:size_of_headers].ljust(sections[0][2], b"\0"))
    struct.pack_into("<I", out, opt + 60, sections[0][2])
    sizes = {SCN_CODE: 0, SCN_INITIALIZED: 0}
    for index, (header, virtual_size, address, raw_size, raw_offset, characteristics) in enumerate(sections):
        if address % file_alignment != 0 or len(out) != address:
            raise LayoutError(f"section {index} at {address:#x} overlaps the one before or is misaligned")
        new_size = raw_size if index + 1 == count else sections[index + 1][2] - address
        if new_size < raw_size:
            raise LayoutError(f"section {index}'s raw data runs into the next section")
        out += data[raw_offset:raw_offset + raw_size].ljust(new_size, b"\0")
        struct.pack_into("<II", out, header + 16, new_size, address if new_size else 0)
        for flag in sizes:
            sizes[flag] += new_size if characteristics & flag else 0
    struct.pack_into("<II", out, opt + 4, sizes[SCN_CODE], sizes[SCN_INITIALIZED])

    # The debug directory names its records by address and by file offset.
    def file_offset(rva):
        for _, virtual_size, address, raw_size, raw_offset, _ in sections:
            if address <= rva < address + raw_size:
                return rva - address + raw_offset
        return None

    debug_rva, debug_size = directory(6)
    debug_at = file_offset(debug_rva) if debug_size else None
    if debug_size and debug_at is None:
        raise LayoutError("the debug directory lies outside the sections' raw data")
    for entry in range(0, debug_size, DEBUG_ENTRY):
        record_rva, record_offset = struct.unpack_from("<II", data, debug_at + entry + 20)
        if record_rva == 0 and record_offset == 0:
            continue
        if record_rva == 0 or file_offset(record_rva) != record_offset:
            raise LayoutError(f"debug record {entry // DEBUG_ENTRY} is not mapped where its file offset says")
        struct.pack_into("<I", out, debug_rva + entry + 24, record_rva)
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    source, target = sys.argv[1:]
    try:
        image = flatten(Path(source).read_bytes())
    except (LayoutError, struct.error) as error:
        print(f"flat_image: {source}: {error}", file=sys.stderr)
        return 1
    Path(target).write_bytes(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
