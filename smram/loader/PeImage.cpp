// SPDX-License-Identifier: BSD-2-Clause-Patent
// PE32+ loading: header checks, section layout, base relocations.
#include "PeImage.h"

namespace {

constexpr UINT16 kDosSignature        = 0x5A4D;      // "MZ"
constexpr UINT32 kPeSignature         = 0x00004550;  // "PE\0\0"
constexpr UINT16 kMachineX64          = 0x8664;
constexpr UINT16 kPe32PlusMagic       = 0x20B;
constexpr UINT16 kRelocsStrippedFlag  = 0x0001;
constexpr UINT32 kBaseRelocationEntry = 5;           // data directory index
constexpr UINT32 kSectionHeaderSize   = 40;
constexpr UINT32 kPageSize            = 0x1000;

// File fields are read byte by byte: the file buffer has no alignment.
UINT16 Read16 (CONST UINT8 *P)
{
  return static_cast<UINT16> (P[0] | (P[1] << 8));
}

UINT32 Read32 (CONST UINT8 *P)
{
  return static_cast<UINT32> (Read16 (P)) | (static_cast<UINT32> (Read16 (P + 2)) << 16);
}

UINT64 Read64 (CONST UINT8 *P)
{
  return static_cast<UINT64> (Read32 (P)) | (static_cast<UINT64> (Read32 (P + 4)) << 32);
}

VOID Write32 (UINT8 *P, UINT32 Value)
{
  for (UINT32 Index = 0; Index < 4; Index++) {
    P[Index] = static_cast<UINT8> (Value >> (8 * Index));
  }
}

VOID Write64 (UINT8 *P, UINT64 Value)
{
  Write32 (P, static_cast<UINT32> (Value));
  Write32 (P + 4, static_cast<UINT32> (Value >> 32));
}

// [Offset, Offset + Length) inside [0, Limit), without wrapping.
bool Within (UINT64 Offset, UINT64 Length, UINT64 Limit)
{
  return Offset <= Limit && Length <= Limit - Offset;
}

struct SECTION {
  UINT32 VirtualAddress;
  UINT32 Extent;       // bytes the section spans in the image
  UINT32 CopySize;     // bytes taken from the file
  UINT32 FileOffset;
};

SECTION SectionAt (CONST UINT8 *Header)
{
  UINT32 VirtualSize = Read32 (Header + 8);
  UINT32 RawSize     = Read32 (Header + 16);
  // A zero virtual size means the raw size is the section's size.
  UINT32 Copy        = (VirtualSize == 0 || RawSize < VirtualSize) ? RawSize : VirtualSize;
  UINT32 Extent      = VirtualSize > Copy ? VirtualSize : Copy;
  return {Read32 (Header + 12), Extent, Copy, Read32 (Header + 20)};
}

}  // namespace

EFI_STATUS PeGetImageInfo (IN CONST UINT8 *File, IN UINTN FileSize, OUT PE_IMAGE_INFO *Info)
{
  if (FileSize < 0x40 || Read16 (File) != kDosSignature) {
    return EFI_LOAD_ERROR;
  }
  UINT32 PeOffset = Read32 (File + 0x3C);
  // Signature, file header and the optional header up to the directories.
  if (!Within (PeOffset, 24 + 112, FileSize)) {
    return EFI_LOAD_ERROR;
  }
  CONST UINT8 *Pe  = File + PeOffset;
  CONST UINT8 *Opt = Pe + 24;
  if (Read32 (Pe) != kPeSignature || Read16 (Pe + 4) != kMachineX64 || Read16 (Opt) != kPe32PlusMagic) {
    return EFI_LOAD_ERROR;
  }
  UINT32 OptionalSize   = Read16 (Pe + 20);
  UINT32 DirectoryCount = Read32 (Opt + 108);
  if (OptionalSize < 112 || !Within (PeOffset + 24, OptionalSize, FileSize)) {
    return EFI_LOAD_ERROR;
  }

  Info->NumberOfSections    = Read16 (Pe + 6);
  Info->RelocationsStripped = (Read16 (Pe + 22) & kRelocsStrippedFlag) != 0;
  Info->EntryPointRva       = Read32 (Opt + 16);
  Info->LinkBase            = Read64 (Opt + 24);
  Info->SectionAlignment    = Read32 (Opt + 32);
  Info->SizeOfImage         = Read32 (Opt + 56);
  Info->SizeOfHeaders       = Read32 (Opt + 60);
  Info->SectionTableOffset  = PeOffset + 24 + OptionalSize;
  Info->RelocationRva       = 0;
  Info->RelocationSize      = 0;
  if (DirectoryCount > kBaseRelocationEntry && 112 + 8 * (kBaseRelocationEntry + 1) <= OptionalSize) {
    Info->RelocationRva  = Read32 (Opt + 112 + 8 * kBaseRelocationEntry);
    Info->RelocationSize = Read32 (Opt + 112 + 8 * kBaseRelocationEntry + 4);
  }

  UINT32 Alignment = Info->SectionAlignment;
  if (Alignment < 16 || Alignment > kPageSize || (Alignment & (Alignment - 1)) != 0) {
    return EFI_UNSUPPORTED;
  }
  if (Info->SizeOfImage == 0 || Info->SizeOfHeaders > Info->SizeOfImage || Info->SizeOfHeaders > FileSize ||
      Info->EntryPointRva >= Info->SizeOfImage ||
      !Within (Info->RelocationRva, Info->RelocationSize, Info->SizeOfImage) ||
      !Within (Info->SectionTableOffset, UINT64 {kSectionHeaderSize} * Info->NumberOfSections, FileSize)) {
    return EFI_LOAD_ERROR;
  }
  for (UINT32 Index = 0; Index < Info->NumberOfSections; Index++) {
    SECTION S = SectionAt (File + Info->SectionTableOffset + kSectionHeaderSize * Index);
    if (!Within (S.VirtualAddress, S.Extent, Info->SizeOfImage) || S.VirtualAddress < Info->SizeOfHeaders ||
        (S.CopySize != 0 && !Within (S.FileOffset, S.CopySize, FileSize))) {
      return EFI_LOAD_ERROR;
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS PeLoadImage (IN CONST UINT8 *File, IN UINTN FileSize, IN CONST PE_IMAGE_INFO *Info,
                        OUT UINT8 *Memory, IN UINT64 LoadAddress, OUT UINTN *Fixups OPTIONAL)
{
  (void)FileSize;  // every bound below was checked against it by PeGetImageInfo
  if ((LoadAddress & (Info->SectionAlignment - 1)) != 0 ||
      (Info->RelocationsStripped && LoadAddress != Info->LinkBase)) {
    return EFI_INVALID_PARAMETER;
  }

  for (UINT32 Offset = 0; Offset < Info->SizeOfImage; Offset++) {
    Memory[Offset] = Offset < Info->SizeOfHeaders ? File[Offset] : 0;
  }
  for (UINT32 Index = 0; Index < Info->NumberOfSections; Index++) {
    SECTION S = SectionAt (File + Info->SectionTableOffset + kSectionHeaderSize * Index);
    for (UINT32 Offset = 0; Offset < S.CopySize; Offset++) {
      Memory[S.VirtualAddress + Offset] = File[S.FileOffset + Offset];
    }
  }

  UINT64 Delta = LoadAddress - Info->LinkBase;
  UINTN  Count = 0;
  UINT32 Block = 0;
  while (Block < Info->RelocationSize) {
    CONST UINT8 *Header = Memory + Info->RelocationRva + Block;
    if (!Within (Block, 8, Info->RelocationSize)) {
      return EFI_LOAD_ERROR;
    }
    UINT32 PageRva   = Read32 (Header);
    UINT32 BlockSize = Read32 (Header + 4);
    if (BlockSize < 8 || (BlockSize & 1) != 0 || !Within (Block, BlockSize, Info->RelocationSize)) {
      return EFI_LOAD_ERROR;
    }
    for (UINT32 Entry = 8; Entry < BlockSize; Entry += 2) {
      UINT16 Value  = Read16 (Header + Entry);
      UINT64 Target = UINT64 {PageRva} + (Value & 0xFFF);
      switch (Value >> 12) {
        case 0:  // padding
          break;
        case 3:  // 32-bit
          if (!Within (Target, 4, Info->SizeOfImage)) {
            return EFI_LOAD_ERROR;
          }
          Write32 (Memory + Target, Read32 (Memory + Target) + static_cast<UINT32> (Delta));
          Count++;
          break;
        case 10:  // 64-bit
          if (!Within (Target, 8, Info->SizeOfImage)) {
            return EFI_LOAD_ERROR;
          }
          Write64 (Memory + Target, Read64 (Memory + Target) + Delta);
          Count++;
          break;
        default:
          return EFI_UNSUPPORTED;
      }
    }
    Block += BlockSize;
  }
  if (Fixups != nullptr) {
    *Fixups = Count;
  }
  return EFI_SUCCESS;
}
