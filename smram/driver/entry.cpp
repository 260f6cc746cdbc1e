// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry of the SMRAM probe, dispatched by the SMM core before SMRAM is
// locked. It keeps the PI SMM system table, reserves the communication
// buffer while DXE can still hand out memory that SMM will accept, notes
// the lock, and registers its SMI handler.
#include "ProbeDriver.h"

namespace {

constinit EFI_GUID mSmiGuid       = SMRAM_PROBE_SMI_GUID;
constinit EFI_GUID mBufferGuid    = SMRAM_PROBE_BUFFER_GUID;
constexpr CHAR8    kLockMessage[] = "SMM ready-to-lock seen";

using ALLOCATE_PAGES = EFI_STATUS (EFIAPI *)(IN EFI_ALLOCATE_TYPE Type, IN EFI_MEMORY_TYPE MemoryType,
                                             IN UINTN Pages, IN OUT EFI_PHYSICAL_ADDRESS *Memory);
using INSTALL_CONFIGURATION_TABLE = EFI_STATUS (EFIAPI *)(IN EFI_GUID *Guid, IN VOID *Table);

}  // namespace

extern "C" EFI_STATUS EFIAPI SmramProbeEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  (void)ImageHandle;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_STATUS        Status        = KeepPiSmst (BootServices);
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
  WatchReadyToLock<LOG, kLockMessage> ();
  EFI_HANDLE DispatchHandle = nullptr;
  return mPiSmst->SmiHandlerRegister (kProbeSmiHandler, &mSmiGuid, &DispatchHandle);
}
