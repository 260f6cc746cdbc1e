// SPDX-License-Identifier: BSD-2-Clause-Patent
// The Framework SMM Base of the test firmware, built over PI SMM as two
// drivers in the flash image: an SMM half that loads images into SMRAM and
// a DXE half that publishes EFI_SMM_BASE_PROTOCOL and forwards Register to
// the SMM half through SMM Communicate. This header is what the two halves
// (and the shell tool) agree on.
//
// The order at boot: the SMM core dispatches the SMM half, which publishes
// the ready record once it can load images; the DXE half waits for that
// record and only then installs EFI_SMM_BASE_PROTOCOL, so a driver whose
// notification calls Register at once is served.
#ifndef SMRAM_SMMBASE_SMM_BASE_THUNK_H_
#define SMRAM_SMMBASE_SMM_BASE_THUNK_H_

#include <ServiceLibPkg/Framework/SmmBase.h>
#include <ServiceLibPkg/Protocol/LoadedImage.h>
#include "../PiSmm.h"

// Installed in the boot-services handle database by the SMM half; the
// interface is an SMMBASE_READY in boot-services memory.
#define SMMBASE_READY_PROTOCOL_GUID \
  { 0xa6f44142, 0x4e8a, 0x40e0, { 0xbd, 0xc0, 0xa6, 0xe7, 0x92, 0xd9, 0xd6, 0xe5 } }
// Handler type of the SMM half's SMI handler (the communicate header's GUID).
#define SMMBASE_SMI_GUID \
  { 0xe9b14577, 0x5d49, 0x4755, { 0x88, 0xcb, 0x0c, 0xf1, 0xfc, 0xb9, 0xab, 0xea } }

// Readable from DXE, written once by the SMM half before the lock. The
// pointer leads into SMRAM: only code already running in SMM may call
// through it. That is how a member called inside SMM (InSmm TRUE) reaches
// the SMM half without a nested SMI.
struct SMMBASE_READY {
  UINT32                Revision;
  UINT32                Reserved;
  EFI_SMM_BASE_PROTOCOL *SmmInstance;
};

inline constexpr UINT32 kSmmBaseReadyRevision = 1;

// The largest image Register takes. The communication buffer must exist
// before the lock (runtime data reserved then is what the SMM core accepts
// as a buffer afterwards), so it is sized once, for the largest image the
// test firmware loads (ServiceLib's file is about 80 KiB: its heap arena
// lies in the file as zeros, so that each section sits at its address).
inline constexpr UINTN kSmmBaseLargestImage = 0x20000;

enum class SMMBASE_COMMAND : UINT32 {
  Register = 1,  // load File into SMRAM and start it with the platform's system table
};

// The message after the communicate header. In: Command, ImageHandle,
// LoadedImage, FileSize, File. Out: Status and the rest.
struct SMMBASE_MESSAGE {
  UINT32                    Command;
  UINT32                    Reserved;
  EFI_STATUS                Status;        // of the load (EFI_UNSUPPORTED after the lock)
  EFI_STATUS                EntryStatus;   // what the image's entry point returned
  UINT64                    ImageBase;     // in SMRAM
  UINT64                    ImageSize;     // SizeOfImage
  EFI_HANDLE                ImageHandle;   // boot-services handle that carries LoadedImage
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage;  // completed with ImageBase and ImageSize before the entry
  UINT64                    FileSize;
  alignas (8) UINT8         File[8];       // the PE32+ file; runs on to the end of the buffer
};

inline constexpr UINTN kSmmBaseMessageHeader = EFI_OFFSET_OF (SMMBASE_MESSAGE, File);
inline constexpr UINTN kSmmBaseBufferSize =
  sizeof (PI_SMM_COMMUNICATE_HEADER) + kSmmBaseMessageHeader + kSmmBaseLargestImage;
inline constexpr UINTN kSmmBaseBufferPages = (kSmmBaseBufferSize + 0xFFF) / 0x1000;

#endif
