# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Firmware file system pieces: building the FFS files of drivers and of an
APRIORI list, and walking the firmware volumes, files and sections of an
image.

The layouts are the PI firmware-storage formats: a volume header with its
"_FVH" signature, 24-byte file headers (8-byte aligned files), 4-byte
section headers (4-byte aligned sections), and GUID-defined sections whose
data starts at their DataOffset.
"""
import struct
import uuid

# File types.
FILE_FREEFORM = 0x02
FILE_DRIVER = 0x07
FILE_SMM = 0x0A
FILE_FV_IMAGE = 0x0B
FILE_SMM_CORE = 0x0D
FILE_PAD = 0xF0
FILE_TYPE_NAMES = {
    0x01: "RAW", 0x02: "FREEFORM", 0x03: "SEC_CORE", 0x04: "PEI_CORE", 0x05: "DXE_CORE", 0x06: "PEIM",
    0x07: "DRIVER", 0x08: "PEIM_DRIVER", 0x09: "APPLICATION", 0x0A: "SMM", 0x0B: "FV_IMAGE",
    0x0C: "SMM_DXE", 0x0D: "SMM_CORE", 0xF0: "PAD",
}

# Section types.
SECTION_GUID_DEFINED = 0x02
SECTION_PE32 = 0x10
SECTION_DXE_DEPEX = 0x13
SECTION_USER_INTERFACE = 0x15
SECTION_FV_IMAGE = 0x17
SECTION_RAW = 0x19
SECTION_PEI_DEPEX = 0x1B
SECTION_SMM_DEPEX = 0x1C
DEPEX_SECTION_NAMES = {SECTION_DXE_DEPEX: "DXE_DEPEX", SECTION_PEI_DEPEX: "PEI_DEPEX",
                       SECTION_SMM_DEPEX: "SMM_DEPEX"}
# The dependency-expression section that each driver file type carries.
DEPEX_SECTION_OF = {FILE_DRIVER: SECTION_DXE_DEPEX, FILE_SMM: SECTION_SMM_DEPEX}

# Dependency expression opcodes.
DEPEX_TRUE = 0x06
DEPEX_END = 0x08
DEPEX_ALWAYS = bytes([DEPEX_TRUE, DEPEX_END])

FILE_ATTRIB_LARGE = 0x01
FILE_ATTRIB_CHECKSUM = 0x40
# File state bits, as written with erase polarity 0; the state of a file is
# its highest bit that is set.
FILE_STATE_CONSTRUCTION_VALID = 0x07  # header construction, header valid, data valid
FILE_STATE_DATA_VALID = 0x04
FILE_STATE_MARKED_FOR_UPDATE = 0x08
FILE_STATE_DELETED = 0x10
NO_FILE_CHECKSUM = 0xAA
VOLUME_ERASE_POLARITY = 0x800

LZMA_SECTION_GUID = uuid.UUID("ee4e5898-3914-4259-9d6e-dc7bd79403cf")
# The file whose RAW section lists the DXE drivers that the DXE core starts
# first, in that order, without looking at their dependency expressions.
APRIORI_DXE_GUID = uuid.UUID("fc510ee7-ffdc-11d4-bd41-0080c73c8881")
FILE_SYSTEM_NAMES = {uuid.UUID("8c8ce578-8a3d-4f1c-9935-896185c32dd3"): "FFS2",
                     uuid.UUID("5473c07a-3dcb-4dca-bd6f-1e9689e7349a"): "FFS3"}


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


def ffs_file(file_guid, kind, sections):
    """An FFS file of the given type holding the sections (bytes each, 4-byte
    aligned in turn); state bits written for erase polarity 0 (the volume's
    polarity is applied when the file goes in)."""
    body = b""
    for part in sections:
        body += b"\0" * (align(len(body), 4) - len(body)) + part
    size = 24 + len(body)
    if size >= 0xFFFFFF:
        raise ValueError("file too large for a 24-bit size")
    header = bytearray(uuid.UUID(str(file_guid)).bytes_le)
    header += bytes([0, 0, kind, 0]) + size.to_bytes(3, "little") + b"\0"
    # The header checksum covers the header with State and the file
    # checksum taken as zero.
    header[16] = checksum8(header)
    header[17] = NO_FILE_CHECKSUM
    header[23] = FILE_STATE_CONSTRUCTION_VALID
    return bytes(header) + body


def driver_file(kind, pe_image, file_guid, name, depex):
    """A DRIVER or SMM file: the dependency expression of its type (left out
    when depex is None), the PE32 image and its user-interface name, the
    order EDK2's volume tools write them in."""
    sections = [] if depex is None else [section(DEPEX_SECTION_OF[kind], depex)]
    sections += [section(SECTION_PE32, pe_image), section(SECTION_USER_INTERFACE, (name + "\0").encode("utf-16-le"))]
    return ffs_file(file_guid, kind, sections)


def volume_file(volume, file_guid, name):
    """A FIRMWARE_VOLUME_IMAGE file: the volume, unchanged, in its section,
    and a user-interface name."""
    return ffs_file(file_guid, FILE_FV_IMAGE,
                    [section(SECTION_FV_IMAGE, volume), section(SECTION_USER_INTERFACE, (name + "\0").encode("utf-16-le"))])


def apriori_file(guids):
    """The APRIORI DXE file: a FREEFORM file with one RAW section of GUIDs."""
    return ffs_file(APRIORI_DXE_GUID, FILE_FREEFORM, [section(SECTION_RAW, b"".join(g.bytes_le for g in guids))])


# ---------------------------------------------------------------- walking

class Volume:
    """One firmware volume inside a byte buffer."""

    def __init__(self, data, offset):
        if data[offset + 40:offset + 44] != b"_FVH":
            raise ValueError(f"no volume header at {offset:#x}")
        self.data = data
        self.offset = offset
        self.file_system = uuid.UUID(bytes_le=bytes(data[offset + 16:offset + 32]))
        self.length, = struct.unpack_from("<Q", data, offset + 32)
        self.attributes, = struct.unpack_from("<I", data, offset + 44)
        self.header_length, _, ext_offset = struct.unpack_from("<HHH", data, offset + 48)
        first = offset + self.header_length
        # The volume's own name lives in the extended header, when it has one.
        self.name = None
        if ext_offset:
            self.name = uuid.UUID(bytes_le=bytes(data[offset + ext_offset:offset + ext_offset + 16]))
            ext_size, = struct.unpack_from("<I", data, offset + ext_offset + 16)
            first = offset + ext_offset + ext_size
        self.first_file = self.aligned(first)

    def aligned(self, position):
        """Files start 8-aligned from the start of the volume, which need not
        be 8-aligned in the buffer (a volume in an FV_IMAGE section)."""
        return self.offset + align(position - self.offset, 8)

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
            position = self.aligned(position + size)

    def state(self, position):
        """The state bits of the file at position, as polarity 0 writes them."""
        return self.data[position + 23] ^ (0xFF if self.erase_polarity else 0)

    def is_live(self, position):
        """Whether the file counts: its highest state bit says data valid (or
        marked for update), not deleted or invalid."""
        state = self.state(position)
        return state & ~(FILE_STATE_MARKED_FOR_UPDATE * 2 - 1) == 0 and state & FILE_STATE_DATA_VALID != 0

    def mark_deleted(self, position):
        """Sets the DELETED state bit of a file in place; the file stays where
        it is, and the firmware passes over it."""
        self.data[position + 23] = (self.state(position) | FILE_STATE_DELETED) ^ (0xFF if self.erase_polarity else 0)

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
