// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the two PI SMM drivers of this folder share, the SMRAM probe
// (driver/) and the SMM half of the Framework SMM Base (smmbase/smm/):
// the PI SMM system table found at entry, the lock noted, the SMI handler
// around each one's messages, and Framework SmmIo members served by the PI
// SmmIo. Each image compiles its own copy.
#ifndef SMRAM_PI_SMM_DRIVER_H_
#define SMRAM_PI_SMM_DRIVER_H_

#include <ServiceLibPkg/Framework/SmmBase.h>
#include "PiSmm.h"

// The PI SMM system table, from the driver's entry point on.
inline constinit PI_SMM_SYSTEM_TABLE *mPiSmst = nullptr;
// SMM ready-to-lock has been signalled: free SMRAM is now non-executable,
// code outside SMRAM cannot run in SMM, and nothing more may be loaded.
inline constinit BOOLEAN mLocked = FALSE;

inline constinit EFI_GUID mSmmBase2Guid    = EFI_SMM_BASE2_PROTOCOL_GUID;
inline constinit EFI_GUID mReadyToLockGuid = EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID;

// Keeps the PI SMM system table in mPiSmst; SMM Base2 is found through the
// boot services that the SMM core hands the entry point.
inline EFI_STATUS KeepPiSmst (IN EFI_BOOT_SERVICES *BootServices)
{
  PI_SMM_BASE2_PROTOCOL *SmmBase2 = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmBase2Guid, nullptr, reinterpret_cast<VOID **> (&SmmBase2));
  return EFI_ERROR (Status) ? Status : SmmBase2->GetSmstLocation (SmmBase2, &mPiSmst);
}

// The ready-to-lock notification: sets mLocked and says Message through
// the image's log line LogT.
template <typename LogT, const CHAR8 *Message>
EFI_STATUS EFIAPI NoteReadyToLock (IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle)
{
  (void)Protocol;
  (void)Interface;
  (void)Handle;
  mLocked = TRUE;
  LogT ().Text (Message).End ();
  return EFI_SUCCESS;
}

template <typename LogT, const CHAR8 *Message>
EFI_STATUS WatchReadyToLock ()
{
  VOID *Registration = nullptr;
  return mPiSmst->SmmRegisterProtocolNotify (&mReadyToLockGuid, NoteReadyToLock<LogT, Message>, &Registration);
}

// An SMI handler for one kind of message: Serve gets the caller's
// communication buffer and its size when the caller gave one of MinSize to
// MaxSize bytes; a call without such a buffer changes nothing.
template <typename MessageT, VOID (*Serve) (MessageT *Shared, UINTN Size), UINTN MinSize, UINTN MaxSize = ~UINTN (0)>
EFI_STATUS EFIAPI MessageHandler (IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                  IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL)
{
  (void)DispatchHandle;
  (void)Context;
  if (CommBuffer != nullptr && CommBufferSize != nullptr && *CommBufferSize >= MinSize && *CommBufferSize <= MaxSize) {
    Serve (static_cast<MessageT *> (CommBuffer), *CommBufferSize);
  }
  return EFI_SUCCESS;
}

// A Framework SmmIo member over the PI SmmIo. The two tables share the
// layout of Mem and Io; only This differs, so it is replaced on the way
// through. Space is Mem or Io, Access Read or Write.
template <PI_SMM_IO_ACCESS PI_SMM_CPU_IO::*Space, PI_SMM_IO PI_SMM_IO_ACCESS::*Access>
EFI_STATUS EFIAPI ForwardSmmIo (IN EFI_SMM_CPU_IO_INTERFACE *This, IN EFI_SMM_IO_WIDTH Width, IN UINT64 Address,
                                IN UINTN Count, IN OUT VOID *Buffer)
{
  (void)This;
  return (mPiSmst->SmmIo.*Space.*Access) (&mPiSmst->SmmIo, Width, Address, Count, Buffer);
}

// The forwarded pair of each space.
inline constexpr EFI_SMM_IO_ACCESS kForwardedSmmMem = {
  ForwardSmmIo<&PI_SMM_CPU_IO::Mem, &PI_SMM_IO_ACCESS::Read>,
  ForwardSmmIo<&PI_SMM_CPU_IO::Mem, &PI_SMM_IO_ACCESS::Write>,
};
inline constexpr EFI_SMM_IO_ACCESS kForwardedSmmIo = {
  ForwardSmmIo<&PI_SMM_CPU_IO::Io, &PI_SMM_IO_ACCESS::Read>,
  ForwardSmmIo<&PI_SMM_CPU_IO::Io, &PI_SMM_IO_ACCESS::Write>,
};

#endif
