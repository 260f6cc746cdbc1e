// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry of the SMM half, dispatched by the SMM core from the DXE volume
// before the lock. It keeps both system tables, registers its handlers,
// and only then publishes the ready record, which lets the DXE half
// install EFI_SMM_BASE_PROTOCOL.
#include "SmmHalf.h"

constinit EFI_SYSTEM_TABLE *mPlatformSystemTable = nullptr;

namespace {

constinit EFI_GUID mSmiGuid       = SMMBASE_SMI_GUID;
constinit EFI_GUID mReadyGuid     = SMMBASE_READY_PROTOCOL_GUID;

}  // namespace

extern "C" EFI_STATUS EFIAPI SmmBaseSmmEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  (void)ImageHandle;
  mPlatformSystemTable = SystemTable;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_STATUS        Status        = KeepPiSmst (BootServices);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  Status = WatchReadyToLock<LOG, kLogSmmBaseLocked> ();
  EFI_HANDLE DispatchHandle = nullptr;
  if (!EFI_ERROR (Status)) {
    Status = mPiSmst->SmiHandlerRegister (kSmmBaseSmiHandler, &mSmiGuid, &DispatchHandle);
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
  LogLine (kLogSmmBaseSmmReady, reinterpret_cast<UINT64> (mPiSmst), reinterpret_cast<UINT64> (&mSmmInstance), Status);
  return Status;
}
