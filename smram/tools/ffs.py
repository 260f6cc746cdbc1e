# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Firmware file system pieces: building one FFS file for a driver and
walking the firmware volumes, files and sections of an image.

The layouts are the PI firmware-storage formats: a volume header with its
"_FVH" signature, 24-byte file headers (8-byte aligned files), 4-byte
section headers (4-byte aligned sections), and GUID-defined sections whose
data starts at their DataOffset.
"""
import struct
import uuid

# File types.
FILE_SMM = 0x0A
FILE_FV_IMAGE = 0x0B
FILE_SMM_CORE = 0x0D
FILE_PAD = 0xF0

# Section types.
SECTION_GUID_DEFINED = 0x02
SECTION_PE32 = 0x10
SECTION_USER_INTERFACE = 0x15
SECTION_FV_IMAGE = 0x17
SECTION_SMM_DEPEX = 0x1C

# Dependency expression opcodes.
DEPEX_TRUE = 0x06
DEPEX_END = 0x08

FILE_ATTRIB_LARGE = 0x01
FILE_ATTRIB_CHECKSUM = 0x40
FILE_STATE_CONSTRUCTION_VALID = 0x07  # header construction, header valid, data valid
NO_FILE_CHECKSUM = 0xAA
VOLUME_ERASE_POLARITY = 0x800

LZMA_SECTION_GUID = uuid.UUID("ee4e5898-3914-4259-9d6e-dc7bd79403cf")


def checksum8(data):
    return (-sum(data)) & 0xFF


def align(value, boundary):
    return (value + boundary - 1) & ~(boundary - 1)


# ---------------------------------------------------------------- building

def section(kind, body):
    size = 4 + len(body)
    if size >= 0xFFFFFF:
        raise ValueError("section too large for a 24-bit size")
    return size.to_bytes(3, "little") + bytes([kind]) + body


def smm_driver_file(pe_image, file_guid, name):
    """An FFS file of type SMM holding a TRUE SMM dependency expression, the
    PE32 image and its user-interface name; state bits written for erase
    polarity 0 (the volume's polarity is applied when the file goes in)."""
    depex = section(SECTION_SMM_DEPEX, bytes([DEPEX_TRUE, DEPEX_END]))
    sections = [depex, section(SECTION_PE32, pe_image),
                section(SECTION_USER_INTERFACE, (name + "\0").encode("utf-16-le"))]
    body = b""
    for part in sections:
        body += b"\0" * (align(len(body), 4) - len(body)) + part
    size = 24 + len(body)
    if size >= 0xFFFFFF:
        raise ValueError("file too large for a 24-bit size")
    header = bytearray(uuid.UUID(file_guid).bytes_le)
    header += bytes([0, 0, FILE_SMM, 0]) + size.to_bytes(3, "little") + b"\0"
    # The header checksum covers the header with State and the file
    # checksum taken as zero.
    header[16] = checksum8(header)
    header[17] = NO_FILE_CHECKSUM
    header[23] = FILE_STATE_CONSTRUCTION_VALID
    return bytes(header) + body


# ---------------------------------------------------------------- walking

class Volume:
    """One firmware volume inside a byte buffer."""

    def __init__(self, data, offset):
        if data[offset + 40:offset + 44] != b"_FVH":
            raise ValueError(f"no volume header at {offset:#x}")
        self.data = data
        self.offset = offset
        self.guid = uuid.UUID(bytes_le=bytes(data[offset + 16:offset + 32]))
        self.length, = struct.unpack_from("<Q", data, offset + 32)
        self.attributes, = struct.unpack_from("<I", data, offset + 44)
        self.header_length, _, ext_offset = struct.unpack_from("<HHH", data, offset + 48)
        first = offset + self.header_length
        if ext_offset:
            ext_size, = struct.unpack_from("<I", data, offset + ext_offset + 16)
            first = offset + ext_offset + ext_size
        self.first_file = align(first, 8)

    @property
    def end(self):
        return self.offset + self.length

    @property
    def erase_polarity(self):
        return 1 if self.attributes & VOLUME_ERASE_POLARITY else 0

    def files(self):
        """(offset, size, guid, type, header length) of each file."""
        position = self.first_file
        while position + 24 <= self.end:
            header = self.data[position:position + 24]
            if header == b"\xff" * 24:
                return
            size = int.from_bytes(header[20:23], "little")
            header_length = 24
            if header[19] & FILE_ATTRIB_LARGE:
                size, = struct.unpack_from("<Q", self.data, position + 24)
                header_length = 32
            if size < header_length:
                raise ValueError(f"file at {position:#x} has a bad size")
            yield position, size, uuid.UUID(bytes_le=bytes(header[:16])), header[18], header_length
            position = align(position + size, 8)

    def used_end(self):
        end = self.first_file
        for position, size, *_ in self.files():
            end = position + size
        return end


def sections(data, start, end):
    """(offset, size, type, header length) of each section in [start, end)."""
    position = start
    while position + 4 <= end:
        size = int.from_bytes(data[position:position + 3], "little")
        header_length = 4
        if size == 0xFFFFFF:
            size, = struct.unpack_from("<I", data, position + 4)
            header_length = 8
        if size < header_length:
            return
        yield position, size, data[position + 3], header_length
        position = align(position + size, 4)


def ui_name(data, start, end):
    for position, size, kind, header_length in sections(data, start, end):
        if kind == SECTION_USER_INTERFACE:
            return bytes(data[position + header_length:position + size]).decode("utf-16-le").rstrip("\0")
    return ""
