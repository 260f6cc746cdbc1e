/** @file
  HOOK_REGISTRATION_PROTOCOL: the platform's hook service. Its first member
  records a routine that the platform calls later, at a time of its choosing.

  Plain C and C++; usable alone, with EDK2 MdePkg or with gnu-efi, like
  LibServices.h. The member and routine types are the Microsoft x64
  convention (SERVICELIB_EFIAPI) in every build.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef HOOK_REGISTRATION_H_
#define HOOK_REGISTRATION_H_

#include "ServiceLibPkg/Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HOOK_REGISTRATION_PROTOCOL_GUID \
  { 0xd7e37c2a, 0x3ab0, 0x4b88, { 0xbe, 0xda, 0xd8, 0x8e, 0x98, 0x5a, 0x5a, 0x8c } }

extern EFI_GUID gHookRegistrationProtocolGuid;

typedef struct _HOOK_REGISTRATION_PROTOCOL HOOK_REGISTRATION_PROTOCOL;

/**
  A routine that the platform calls back; WdtControl's stops the watchdog.
**/
typedef VOID (SERVICELIB_EFIAPI *HOOK_ROUTINE)(VOID);

/**
  Records Routine, to be called later at a time of the platform's choosing.

  @param[in] ImageHandle  The caller's image handle.
  @param[in] SystemTable  The system table.
  @param[in] Code         What the routine is for; WdtControl passes 2.
  @param[in] Routine      The routine to call.

  @retval EFI_SUCCESS  The routine was recorded.
  @return Any other status: it was not.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *HOOK_REGISTER)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable,
                                                      IN UINT32 Code, IN HOOK_ROUTINE Routine);

struct _HOOK_REGISTRATION_PROTOCOL {
  HOOK_REGISTER Register;
};

EFI_STATIC_ASSERT (sizeof (HOOK_REGISTRATION_PROTOCOL) == 8, "HOOK_REGISTRATION_PROTOCOL is one pointer");

#ifdef __cplusplus
}
#endif

#endif
