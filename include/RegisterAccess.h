/** @file
  REGISTER_ACCESS_PROTOCOL: the platform's byte-register access service.
  Only the first two members are called by our drivers; a register is named
  by (Type, Bank, Register). Context is the caller's own.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef REGISTER_ACCESS_H_
#define REGISTER_ACCESS_H_

#include "ServiceLibPkg/Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#define REGISTER_ACCESS_PROTOCOL_GUID \
  { 0xfdb2a359, 0x81e3, 0x496d, { 0xa3, 0xb6, 0xd3, 0x8c, 0xb7, 0x31, 0x8c, 0x64 } }

typedef EFI_STATUS (EFIAPI *REGISTER_ACCESS_READ)(IN VOID *Context, IN UINT8 Type, IN UINT8 Bank,
                                                  IN UINT32 Register, OUT UINT8 *Value);
typedef EFI_STATUS (EFIAPI *REGISTER_ACCESS_WRITE)(IN VOID *Context, IN UINT8 Type, IN UINT8 Bank,
                                                   IN UINT32 Register, IN UINT8 Value);

typedef struct {
  REGISTER_ACCESS_READ  Read;
  REGISTER_ACCESS_WRITE Write;
} REGISTER_ACCESS_PROTOCOL;

EFI_STATIC_ASSERT (EFI_OFFSET_OF (REGISTER_ACCESS_PROTOCOL, Write) == 8, "RegisterAccess.Write");

#ifdef __cplusplus
}
#endif

#endif
