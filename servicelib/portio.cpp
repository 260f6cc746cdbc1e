// SPDX-License-Identifier: BSD-2-Clause-Patent
// Port I/O: slots 11 and 12 for both instances, and the wrappers that the
// image's own code uses. One element per access; the width code is handed
// through unchanged (0 = 8, 1 = 16, 2 = 32 bits), and any other code makes
// no call at all.
//
// The boot-services instance goes through the Framework CPU I/O protocol,
// or where the platform has none, through the PI CPU I/O 2 protocol, which
// has the same layout. Either may be installed after our entry point, so
// an access that knows neither looks for them then; once one is known, no
// access calls a boot service. With no protocol at all (and in the SMM
// instance without an SMM system table) a read returns what an absent port
// returns and a write touches nothing.
#include "servicelib.h"
#include "../common/BootServices.h"

constinit EFI_GUID mCpuIoProtocolGuid = EFI_CPU_IO_PROTOCOL_GUID;

namespace {

// PI CPU I/O 2, taken where the Framework protocol is absent.
constinit EFI_CPU_IO_PROTOCOL *mCpuIo2 = nullptr;
constinit EFI_GUID mCpuIo2Guid = EFI_CPU_IO2_PROTOCOL_GUID;

// The widest width code: 2, 32 bits, as wide as the slots' buffer. A larger
// code would let a protocol that honours it (a 64-bit access, or whatever
// the platform makes of an unknown code) read or write past the buffer, so
// the slots make no call for it: a read returns all ones, as an absent
// port does, and a write fails with EFI_INVALID_PARAMETER.
constexpr UINTN kWidestWidth = 2;

// All ones in the width: the bus floats where nothing answers. Out of line:
// one copy, which both read slots reach by a tail jump off their protocol
// path. Measured, inlining it costs no image bytes today (the copies fall
// into alignment padding). docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] UINT32 AbsentPortValue (UINTN Width)
{
  return 0xFFFFFFFFu >> (Width == 0 ? 24 : Width == 1 ? 16 : 0);
}

// Keeps the interface found under Guid in *Keep; a failure or a NULL
// interface leaves *Keep as it was. Out of line for code size: three callers
// (36 bytes of code saved), and CpuIoNotify tail-jumps here without a frame.
// docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] VOID LocateInto (EFI_BOOT_SERVICES *BootServices, EFI_GUID *Guid, EFI_CPU_IO_PROTOCOL **Keep)
{
  EFI_CPU_IO_PROTOCOL *Found = nullptr;
  if (!EFI_ERROR (BootServices->LocateProtocol (Guid, nullptr, reinterpret_cast<VOID **> (&Found))) &&
      Found != nullptr) {
    *Keep = Found;
  }
}

}  // namespace

// The Framework protocol is preferred; the entry point arms a notification
// (CpuIoNotify) that takes it into CpuIo should it appear after CPU I/O 2
// was taken. Out of line: one copy for its three callers in two files
// (clang keeps it so by itself today; the image is the same without the
// attribute). docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] EFI_CPU_IO_PROTOCOL *BootServicesCpuIo ()
{
  if (CpuIo != nullptr) {
    return CpuIo;
  }
  if (mCpuIo2 == nullptr) {
    EFI_BOOT_SERVICES *BootServices = BootServicesUpToNotify (mSystemTable);
    if (BootServices == nullptr) {
      return nullptr;
    }
    LocateInto (BootServices, &mCpuIoProtocolGuid, &CpuIo);
    if (CpuIo != nullptr) {
      return CpuIo;
    }
    LocateInto (BootServices, &mCpuIo2Guid, &mCpuIo2);
  }
  return mCpuIo2;
}

VOID EFIAPI CpuIoNotify (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  LocateInto (mBootServices, &mCpuIoProtocolGuid, &CpuIo);
}

extern "C" UINT32 EFIAPI IoReadBs (IN UINT16 Port, IN UINTN Width)
{
  EFI_CPU_IO_PROTOCOL *Io = Width <= kWidestWidth ? BootServicesCpuIo () : nullptr;
  if (Io == nullptr) {
    return AbsentPortValue (Width);
  }
  UINT32 Buffer = 0;
  Io->Io.Read (Io, static_cast<EFI_CPU_IO_PROTOCOL_WIDTH> (Width), Port, 1, &Buffer);
  return Buffer;
}

extern "C" EFI_STATUS EFIAPI IoWriteBs (IN UINT16 Port, IN UINT32 Value, IN UINTN Width)
{
  if (Width > kWidestWidth) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_CPU_IO_PROTOCOL *Io = BootServicesCpuIo ();
  if (Io == nullptr) {
    return EFI_NOT_READY;
  }
  return Io->Io.Write (Io, static_cast<EFI_CPU_IO_PROTOCOL_WIDTH> (Width), Port, 1, &Value);
}

extern "C" UINT32 EFIAPI IoReadSmm (IN UINT16 Port, IN UINTN Width)
{
  if (Smst == nullptr || Width > kWidestWidth) {
    return AbsentPortValue (Width);
  }
  UINT32 Buffer = 0;
  Smst->SmmIo.Io.Read (&Smst->SmmIo, static_cast<EFI_SMM_IO_WIDTH> (Width), Port, 1, &Buffer);
  return Buffer;
}

extern "C" EFI_STATUS EFIAPI IoWriteSmm (IN UINT16 Port, IN UINT32 Value, IN UINTN Width)
{
  if (Width > kWidestWidth) {
    return EFI_INVALID_PARAMETER;
  }
  if (Smst == nullptr) {
    return EFI_NOT_READY;
  }
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

UINT32 IoRead32 (UINT16 Port)
{
  return mLib->IoRead (Port, 2);
}

UINT32 IoWrite32 (UINT16 Port, UINT32 Value)
{
  mLib->IoWrite (Port, Value, 2);
  return Value;
}
