// SPDX-License-Identifier: BSD-2-Clause-Patent
// Internal declarations of the SMRAM probe: a PI SMM driver, dispatched
// from the firmware's DXE volume, that loads a PE32+ image into SMRAM
// after the lock, starts it inside SMM as a Framework SMM driver, and
// calls its protocol slots at SMI time for the shell tool. Test support
// only: it is a back door into SMM by design and never ships.
#ifndef SMRAM_DRIVER_PROBE_DRIVER_H_
#define SMRAM_DRIVER_PROBE_DRIVER_H_

#include <ServiceLibPkg/Framework/SmmBase.h>
#include "../PiSmmDriver.h"
#include "../SmramProbe.h"
#include "testkit/LogLines.h"
#include "testkit/TextLine.h"

// ---- log ring (log.cpp): SMRAM text that every reply carries out.
VOID LogPut (CHAR8 Ch);
using LOG = TEXT_LINE<LogPut>;
// Moves pending text to Out (at most Capacity bytes); returns the count.
UINT32 LogDrain (CHAR8 *Out, UINT32 Capacity, UINT32 *Lost);

// ---- the environment a loaded image sees (hosted.cpp).
struct IO_COUNTS {
  UINT64 Reads;
  UINT64 Writes;
  UINT64 WrongThis;   // accesses whose This was not &FwSmst->SmmIo
};
extern constinit IO_COUNTS mSmmIoCounts;
// A system table whose boot services are the few a Framework SMM driver
// uses at entry, served from the PI SMM protocol database.
EFI_SYSTEM_TABLE *HostedSystemTableForEntry ();
// After the entry point: the table's boot services become the firmware's
// own routines again, which lie outside SMRAM, as the loaded copy's
// would have been. A call through them at SMI time leaves SMRAM and faults.
VOID SealHostedBootServices ();
EFI_SMM_SYSTEM_TABLE *FrameworkSmst ();
EFI_BOOT_SERVICES *HostedBootServices ();
// Remembers the firmware's boot-services routines while they can be read.
VOID SnapshotFirmwareBootServices (CONST EFI_BOOT_SERVICES *BootServices);

// ---- the loaded image (loadimage.cpp).
struct LOADED_COPY {
  UINT64 Base;
  UINT64 Size;       // SizeOfImage
  LIB_SERVICES_PROTOCOL *Interface;
};
extern constinit LOADED_COPY mCopy;
EFI_STATUS LoadAndStart (CONST UINT8 *File, UINTN FileSize, UINT64 *Values);

// ---- SMI handler (handler.cpp): one command a message, whose payload
// follows the fixed part.
inline constexpr UINTN kProbeMessageFixed = EFI_OFFSET_OF (PROBE_MESSAGE, Payload);
VOID ServeProbeMessage (PROBE_MESSAGE *Shared, UINTN Size);
inline constexpr PI_SMM_HANDLER kProbeSmiHandler =
  MessageHandler<PROBE_MESSAGE, ServeProbeMessage, kProbeMessageFixed, kProbeMessageFixed + kSmramProbePayloadLimit>;

#endif
