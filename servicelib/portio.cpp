// SPDX-License-Identifier: BSD-2-Clause-Patent
// Port I/O: slots 11 and 12 for both instances, and the wrappers that the
// image's own code uses. One element per access; the width code is handed
// through unchanged (0 = 8, 1 = 16, 2 = 32 bits).
#include "servicelib.h"

extern "C" UINT32 EFIAPI IoReadBs (IN UINT16 Port, IN UINTN Width)
{
  UINT32 Buffer = 0;
  CpuIo->Io.Read (CpuIo, static_cast<EFI_CPU_IO_PROTOCOL_WIDTH> (Width), Port, 1, &Buffer);
  return Buffer;
}

extern "C" EFI_STATUS EFIAPI IoWriteBs (IN UINT16 Port, IN UINT32 Value, IN UINTN Width)
{
  return CpuIo->Io.Write (CpuIo, static_cast<EFI_CPU_IO_PROTOCOL_WIDTH> (Width), Port, 1, &Value);
}

extern "C" UINT32 EFIAPI IoReadSmm (IN UINT16 Port, IN UINTN Width)
{
  UINT32 Buffer = 0;
  Smst->SmmIo.Io.Read (&Smst->SmmIo, static_cast<EFI_SMM_IO_WIDTH> (Width), Port, 1, &Buffer);
  return Buffer;
}

extern "C" EFI_STATUS EFIAPI IoWriteSmm (IN UINT16 Port, IN UINT32 Value, IN UINTN Width)
{
  return Smst->SmmIo.Io.Write (&Smst->SmmIo, static_cast<EFI_SMM_IO_WIDTH> (Width), Port, 1, &Value);
}

UINT16 IoWrite8 (UINT16 Port, UINT16 Value)
{
  mLib->IoWrite (Port, static_cast<UINT32> (static_cast<INT32> (static_cast<INT16> (Value))), 0);
  return Value;
}

UINT32 IoRead8 (UINT16 Port)
{
  return mLib->IoRead (Port, 0);
}

UINT16 IoWrite16 (UINT16 Port, UINT16 Value)
{
  mLib->IoWrite (Port, Value, 1);
  return Value;
}

UINT32 IoRead16 (UINT16 Port)
{
  return mLib->IoRead (Port, 1);
}

UINT32 IoWrite32 (UINT16 Port, UINT32 Value)
{
  mLib->IoWrite (Port, Value, 2);
  return Value;
}
