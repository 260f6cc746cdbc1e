// SPDX-License-Identifier: BSD-2-Clause-Patent
// The two instances of LIB_SERVICES_PROTOCOL. They live in writable data
// for the life of the image and differ only in the port I/O slots.
#include "servicelib.h"

// Defined here with the C names that LibServices.h declares, so that an
// EDK2 build must not define them again from its [Protocols] section.
constinit EFI_GUID gLibServicesProtocolGuid    = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID gSmmLibServicesProtocolGuid = SMM_LIB_SERVICES_PROTOCOL_GUID;

namespace {

// Each slot named by its member, in the header's order: several slots
// share a type (PutCharA/B/C, GetCharA/B), so a positional list would let
// two of them swap silently. Only the port I/O slots differ between the
// two instances, and both tables are still built at compile time.
consteval LIB_SERVICES_PROTOCOL LibServicesTable (IN LIB_IO_READ IoRead, IN LIB_IO_WRITE IoWrite)
{
  return {
    .Revision = LIB_SERVICES_PROTOCOL_REVISION, .Size = sizeof (LIB_SERVICES_PROTOCOL),
    .RegisterImageInSmm = RegisterImageInSmm,
    .GetCharA = SerialGetChar, .PutCharA = SerialPutChar, .PutCharB = SerialPutChar,
    .GetCharB = SerialGetChar, .PutCharC = SerialPutChar,
    .FormatOutput = FormatOutput, .ScanInput = ScanInput,
    .StringCopy = StringCopy, .StringCompare = StringCompare, .HeapAllocFree = HeapAllocFree,
    .IoRead = IoRead, .IoWrite = IoWrite,
  };
}

}  // namespace

constinit LIB_SERVICES_PROTOCOL mLibServicesBs = LibServicesTable (IoReadBs, IoWriteBs);

// Port I/O through the SMM system table's SmmIo.
constinit LIB_SERVICES_PROTOCOL mLibServicesSmm = LibServicesTable (IoReadSmm, IoWriteSmm);

static_assert (sizeof (LIB_SERVICES_PROTOCOL) == 8 + 13 * 8);
