// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reading and taking the client's software SMI request (ApmRequest.h).
#include "ApmRequest.h"

UINT8 TakeApmRequest (IN EFI_SMM_CPU_IO_INTERFACE *SmmIo)
{
  UINT8 Command = 0;
  UINT8 Data    = 0;
  if (EFI_ERROR (SmmIo->Io.Read (SmmIo, SMM_IO_UINT8, kApmCommandPort, 1, &Command)) ||
      Command != kClientSmiCommand ||
      EFI_ERROR (SmmIo->Io.Read (SmmIo, SMM_IO_UINT8, kApmDataPort, 1, &Data)) || Data == 0) {
    return 0;
  }
  UINT8 Taken = 0;
  SmmIo->Io.Write (SmmIo, SMM_IO_UINT8, kApmDataPort, 1, &Taken);
  return Data;
}
