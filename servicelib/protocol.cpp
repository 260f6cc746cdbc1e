// SPDX-License-Identifier: BSD-2-Clause-Patent
// The two instances of LIB_SERVICES_PROTOCOL. They live in writable data
// for the life of the image and differ only in the port I/O slots.
#include "servicelib.h"

// Defined here with the C names that LibServices.h declares, so that an
// EDK2 build must not define them again from its [Protocols] section.
constinit EFI_GUID gLibServicesProtocolGuid    = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID gSmmLibServicesProtocolGuid = SMM_LIB_SERVICES_PROTOCOL_GUID;

#define LIB_SERVICES_COMMON_SLOTS          \
  LIB_SERVICES_PROTOCOL_REVISION,          \
  sizeof (LIB_SERVICES_PROTOCOL),          \
  RegisterImageInSmm,                      \
  SerialGetChar,                           \
  SerialPutChar,                           \
  SerialPutChar,                           \
  SerialGetChar,                           \
  SerialPutChar,                           \
  FormatOutput,                            \
  ScanInput,                               \
  StringCopy,                              \
  StringCompare,                           \
  HeapAllocFree

constinit LIB_SERVICES_PROTOCOL mLibServicesBs = {
  LIB_SERVICES_COMMON_SLOTS,
  IoReadBs,
  IoWriteBs,
};

constinit LIB_SERVICES_PROTOCOL mLibServicesSmm = {
  LIB_SERVICES_COMMON_SLOTS,
  IoReadSmm,
  IoWriteSmm,
};

static_assert (sizeof (LIB_SERVICES_PROTOCOL) == 8 + 13 * 8);
