// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry of the SMM half, dispatched by the SMM core from the DXE volume
// before the lock. It keeps both system tables, registers its handlers,
// and only then publishes the ready record, which lets the DXE half
// install EFI_SMM_BASE_PROTOCOL.
#include "SmmHalf.h"

constinit PI_SMM_SYSTEM_TABLE *mPiSmst              = nullptr;
constinit EFI_SYSTEM_TABLE    *mPlatformSystemTable = nullptr;
constinit BOOLEAN             mLocked               = FALSE;

namespace {

constinit EFI_GUID mSmmBase2Guid    = EFI_SMM_BASE2_PROTOCOL_GUID;
constinit EFI_GUID mReadyToLockGuid = EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID;
constinit EFI_GUID mSmiGuid         = SMMBASE_SMI_GUID;
constinit EFI_GUID mReadyGuid       = SMMBASE_READY_PROTOCOL_GUID;

EFI_STATUS EFIAPI ReadyToLock (IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle)
{
  (void)Protocol;
  (void)Interface;
  (void)Handle;
  mLocked = TRUE;
  LOG ().Text ("SMMBASE SMM ready-to-lock: Register and RegisterCallback are refused from now on").End ();
  return EFI_SUCCESS;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmmBaseSmmEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  (void)ImageHandle;
  mPlatformSystemTable = SystemTable;
  EFI_BOOT_SERVICES     *BootServices = SystemTable->BootServices;
  PI_SMM_BASE2_PROTOCOL *SmmBase2     = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmBase2Guid, nullptr, reinterpret_cast<VOID **> (&SmmBase2));
  if (!EFI_ERROR (Status)) {
    Status = SmmBase2->GetSmstLocation (SmmBase2, &mPiSmst);
  }
  if (EFI_ERROR (Status)) {
    return Status;
  }
  VOID *Registration = nullptr;
  Status = mPiSmst->SmmRegisterProtocolNotify (&mReadyToLockGuid, ReadyToLock, &Registration);
  EFI_HANDLE DispatchHandle = nullptr;
  if (!EFI_ERROR (Status)) {
    Status = mPiSmst->SmiHandlerRegister (SmmBaseSmiHandler, &mSmiGuid, &DispatchHandle);
  }

  // The record must be readable from DXE, so it lives in boot-services
  // memory; what it points to lies in SMRAM.
  SMMBASE_READY *Ready = nullptr;
  if (!EFI_ERROR (Status)) {
    Status = BootServices->AllocatePool (EfiBootServicesData, sizeof (SMMBASE_READY), reinterpret_cast<VOID **> (&Ready));
  }
  if (!EFI_ERROR (Status)) {
    *Ready = { kSmmBaseReadyRevision, 0, &mSmmInstance };
    EFI_HANDLE Handle = nullptr;
    Status = BootServices->InstallProtocolInterface (&Handle, &mReadyGuid, EFI_NATIVE_INTERFACE, Ready);
  }
  LOG ().Text ("SMMBASE SMM ready: PI SMST=").Hex (reinterpret_cast<UINT64> (mPiSmst)).Text (" SMM instance=")
        .Hex (reinterpret_cast<UINT64> (&mSmmInstance)).Text (" status=").Hex (Status).End ();
  return Status;
}
