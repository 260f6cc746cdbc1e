#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Links an image's objects again with the other section alignment.

  relink.py --image ServiceLib.efi --objects DIR --entry ServiceLibEntryPoint \\
            --lld-link lld-link --out ServiceLibAlt.efi

Images come with page-aligned sections (0x1000) or with sections packed at
32-byte alignment; the SMRAM loader must place and relocate both. This
makes the one that the build did not: 0x20 when the image has 0x1000, and
0x1000 when it has 0x20. The other link options are the image build's,
except that this link keeps lld-link's default image base (0x140000000)
and sets no image version, so the loader also relocates an image that was
not linked at 0.
"""
import argparse
import struct
import subprocess
import sys
from pathlib import Path


def section_alignment(image):
    data = Path(image).read_bytes()
    pe, = struct.unpack_from("<I", data, 0x3C)
    alignment, = struct.unpack_from("<I", data, pe + 24 + 32)
    return alignment


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("--image", "--objects", "--entry", "--lld-link", "--out"):
        parser.add_argument(name, required=True)
    parser.add_argument("--subsystem", default="efi_boot_service_driver")
    args = parser.parse_args()
    objects = sorted(str(path) for path in Path(args.objects).glob("*.obj"))
    if not objects:
        print(f"relink: no objects in {args.objects}", file=sys.stderr)
        return 1
    alignment, file_alignment = (0x20, 0x20) if section_alignment(args.image) != 0x20 else (0x1000, 0x200)
    command = [args.lld_link, "/nologo", "/machine:x64", f"/subsystem:{args.subsystem}", f"/entry:{args.entry}",
               "/nodefaultlib", "/debug:none", "/Brepro", "/opt:ref", "/opt:icf",
               f"/align:{alignment}", f"/filealign:{file_alignment}", f"/out:{args.out}"] + objects
    result = subprocess.run(command, capture_output=True, text=True)
    # lld warns that an alignment below the page size is unusual for a PE image.
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        return result.returncode
    if section_alignment(args.out) != alignment:
        print(f"relink: {args.out} did not get section alignment {alignment:#x}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
