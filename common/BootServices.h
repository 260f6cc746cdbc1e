// SPDX-License-Identifier: BSD-2-Clause-Patent
// Whether a boot service may be called right now, shared in source by both
// drivers (each image gets its own copy).
#ifndef COMMON_BOOT_SERVICES_H_
#define COMMON_BOOT_SERVICES_H_

#include <ServiceLibPkg/Uefi/UefiTables.h>

// The boot services, or NULL once the firmware has handed over to an OS
// (the system table then no longer points at them).
static inline EFI_BOOT_SERVICES *LiveBootServices (IN EFI_SYSTEM_TABLE *SystemTable)
{
  return SystemTable != nullptr ? SystemTable->BootServices : nullptr;
}

// The boot services when the caller may use those limited to TPL_NOTIFY
// and below (LocateProtocol among them): NULL after the hand-off, or when
// the caller runs above TPL_NOTIFY. Raising to TPL_HIGH_LEVEL is valid from
// any level and hands back the caller's.
static inline EFI_BOOT_SERVICES *BootServicesUpToNotify (IN EFI_SYSTEM_TABLE *SystemTable)
{
  EFI_BOOT_SERVICES *BootServices = LiveBootServices (SystemTable);
  if (BootServices == nullptr) {
    return nullptr;
  }
  const EFI_TPL CallerTpl = BootServices->RaiseTPL (TPL_HIGH_LEVEL);
  BootServices->RestoreTPL (CallerTpl);
  return CallerTpl <= TPL_NOTIFY ? BootServices : nullptr;
}

#endif
