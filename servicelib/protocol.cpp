// SPDX-License-Identifier: BSD-2-Clause-Patent
// The two instances of LIB_SERVICES_PROTOCOL. They live in writable data
// for the life of the image and differ only in the port I/O slots.
#include "servicelib.h"

// Defined here with the C names that LibServices.h declares, so that an
// EDK2 build must not define them again from its [Protocols] section.
constinit EFI_GUID gLibServicesProtocolGuid    = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID gSmmLibServicesProtocolGuid = SMM_LIB_SERVICES_PROTOCOL_GUID;

// Each slot named by its member, in the header's order: several slots
// share a type (PutCharA/B/C, GetCharA/B), so a positional list would let
// two of them swap silently.
constinit LIB_SERVICES_PROTOCOL mLibServicesBs = {
  .Revision           = LIB_SERVICES_PROTOCOL_REVISION,
  .Size               = sizeof (LIB_SERVICES_PROTOCOL),
  .RegisterImageInSmm = RegisterImageInSmm,
  .GetCharA           = SerialGetChar,
  .PutCharA           = SerialPutChar,
  .PutCharB           = SerialPutChar,
  .GetCharB           = SerialGetChar,
  .PutCharC           = SerialPutChar,
  .FormatOutput       = FormatOutput,
  .ScanInput          = ScanInput,
  .StringCopy         = StringCopy,
  .StringCompare      = StringCompare,
  .HeapAllocFree      = HeapAllocFree,
  .IoRead             = IoReadBs,
  .IoWrite            = IoWriteBs,
};

// The same, but port I/O goes through the SMM system table's SmmIo.
constinit LIB_SERVICES_PROTOCOL mLibServicesSmm = {
  .Revision           = LIB_SERVICES_PROTOCOL_REVISION,
  .Size               = sizeof (LIB_SERVICES_PROTOCOL),
  .RegisterImageInSmm = RegisterImageInSmm,
  .GetCharA           = SerialGetChar,
  .PutCharA           = SerialPutChar,
  .PutCharB           = SerialPutChar,
  .GetCharB           = SerialGetChar,
  .PutCharC           = SerialPutChar,
  .FormatOutput       = FormatOutput,
  .ScanInput          = ScanInput,
  .StringCopy         = StringCopy,
  .StringCompare      = StringCompare,
  .HeapAllocFree      = HeapAllocFree,
  .IoRead             = IoReadSmm,
  .IoWrite            = IoWriteSmm,
};

static_assert (sizeof (LIB_SERVICES_PROTOCOL) == 8 + 13 * 8);
