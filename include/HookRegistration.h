/** @file
  HOOK_REGISTRATION_PROTOCOL: the platform's hook service. Its first member
  records a routine that the platform calls later, at a time of its choosing.

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

typedef VOID (EFIAPI *HOOK_ROUTINE)(VOID);

typedef EFI_STATUS (EFIAPI *HOOK_REGISTER)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable,
                                           IN UINT32 Code, IN HOOK_ROUTINE Routine);

typedef struct {
  HOOK_REGISTER Register;
} HOOK_REGISTRATION_PROTOCOL;

#ifdef __cplusplus
}
#endif

#endif
