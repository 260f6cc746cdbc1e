// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry of the SMRAM probe, dispatched by the SMM core before SMRAM is
// locked. It keeps the PI SMM system table, reserves the communication
// buffer while DXE can still hand out memory that SMM will accept, notes
// the lock, and registers its SMI handler.
#include "ProbeDriver.h"

constinit PI_SMM_SYSTEM_TABLE *mPiSmst = nullptr;
constinit BOOLEAN             mLocked  = FALSE;

namespace {

constinit EFI_GUID mSmmBase2Guid   = EFI_SMM_BASE2_PROTOCOL_GUID;
constinit EFI_GUID mReadyToLockGuid = EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID;
constinit EFI_GUID mSmiGuid        = SMRAM_PROBE_SMI_GUID;
constinit EFI_GUID mBufferGuid     = SMRAM_PROBE_BUFFER_GUID;

using ALLOCATE_PAGES = EFI_STATUS (EFIAPI *)(IN EFI_ALLOCATE_TYPE Type, IN EFI_MEMORY_TYPE MemoryType,
                                             IN UINTN Pages, IN OUT EFI_PHYSICAL_ADDRESS *Memory);
using INSTALL_CONFIGURATION_TABLE = EFI_STATUS (EFIAPI *)(IN EFI_GUID *Guid, IN VOID *Table);

EFI_STATUS EFIAPI ReadyToLock (IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle)
{
  (void)Protocol;
  (void)Interface;
  (void)Handle;
  mLocked = TRUE;
  LOG ().Text ("SMM ready-to-lock seen").End ();
  return EFI_SUCCESS;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmramProbeEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  (void)ImageHandle;
  EFI_BOOT_SERVICES     *BootServices = SystemTable->BootServices;
  PI_SMM_BASE2_PROTOCOL *SmmBase2     = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmBase2Guid, nullptr, reinterpret_cast<VOID **> (&SmmBase2));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  Status = SmmBase2->GetSmstLocation (SmmBase2, &mPiSmst);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  SnapshotFirmwareBootServices (BootServices);

  // Runtime data allocated before the end of DXE is what the SMM core
  // accepts as a communication buffer once SMRAM is locked.
  EFI_PHYSICAL_ADDRESS Buffer = 0;
  Status = reinterpret_cast<ALLOCATE_PAGES> (BootServices->AllocatePages) (AllocateAnyPages, EfiRuntimeServicesData,
                                                                            kSmramProbeBufferPages, &Buffer);
  if (!EFI_ERROR (Status)) {
    Status = reinterpret_cast<INSTALL_CONFIGURATION_TABLE> (BootServices->InstallConfigurationTable) (
      &mBufferGuid, reinterpret_cast<VOID *> (Buffer));
  }
  LOG ().Text ("SMM probe started: PI SMST=").Hex (reinterpret_cast<UINT64> (mPiSmst)).Text (" buffer=")
        .Hex (Buffer).Text (" status=").Hex (Status).End ();
  if (EFI_ERROR (Status)) {
    return Status;
  }
  VOID *Registration = nullptr;
  mPiSmst->SmmRegisterProtocolNotify (&mReadyToLockGuid, ReadyToLock, &Registration);
  EFI_HANDLE DispatchHandle = nullptr;
  return mPiSmst->SmiHandlerRegister (ProbeSmiHandler, &mSmiGuid, &DispatchHandle);
}
