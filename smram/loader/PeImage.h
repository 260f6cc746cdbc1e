// SPDX-License-Identifier: BSD-2-Clause-Patent
// A PE32+ loader for x64 images: checks a file, lays its sections out in
// memory and applies its base relocations for the address it will run at.
// Every offset and size in the file is checked against the file and the
// image before use, so a damaged file is refused rather than written past
// the end of the memory given to it. The memory is the caller's: the SMM
// probe hands in SMRAM pages, the host tests plain buffers.
#ifndef SMRAM_LOADER_PE_IMAGE_H_
#define SMRAM_LOADER_PE_IMAGE_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

struct PE_IMAGE_INFO {
  UINT64 LinkBase;           // ImageBase in the optional header
  UINT32 SizeOfImage;
  UINT32 SizeOfHeaders;
  UINT32 EntryPointRva;
  UINT32 SectionAlignment;
  UINT16 NumberOfSections;
  UINT32 SectionTableOffset;  // file offset of the first section header
  UINT32 RelocationRva;
  UINT32 RelocationSize;
  BOOLEAN RelocationsStripped;
};

// Reads and checks the headers: DOS and PE signatures, x64 machine, PE32+
// optional header, section table, entry point and relocation directory all
// inside the image, sections inside both the file and the image.
// EFI_LOAD_ERROR when anything is out of place, EFI_UNSUPPORTED for a
// section alignment that is not a power of two between 16 and 4096 (the
// loader places images at page boundaries).
EFI_STATUS PeGetImageInfo (IN CONST UINT8 *File, IN UINTN FileSize, OUT PE_IMAGE_INFO *Info);

// Lays the image out in Memory (at least Info.SizeOfImage bytes; what no
// section covers is zeroed) and relocates it to run at LoadAddress, which
// must be aligned to the section alignment. Only the relocation kinds that
// x64 images carry are accepted: absolute (padding), 32-bit and 64-bit.
// Fixups, when not NULL, receives the number of places patched.
EFI_STATUS PeLoadImage (IN CONST UINT8 *File, IN UINTN FileSize, IN CONST PE_IMAGE_INFO *Info,
                        OUT UINT8 *Memory, IN UINT64 LoadAddress, OUT UINTN *Fixups OPTIONAL);

#endif
