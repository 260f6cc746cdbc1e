/** @file
  REGISTER_ACCESS_PROTOCOL: the platform's byte-register access service.
  A register is named by (Type, Bank, Register); what the triples mean is
  the platform's. Context is the caller's own: WdtControl passes the
  address of its (image handle, system table) pair, so that the service
  can tell which image calls.

  Plain C and C++; usable alone, with EDK2 MdePkg or with gnu-efi, like
  LibServices.h. The member types are the Microsoft x64 convention
  (SERVICELIB_EFIAPI) in every build.

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

extern EFI_GUID gRegisterAccessProtocolGuid;

typedef struct _REGISTER_ACCESS_PROTOCOL REGISTER_ACCESS_PROTOCOL;

/**
  Reads one byte register.

  @param[in]  Context   The caller's context.
  @param[in]  Type      Register type.
  @param[in]  Bank      Register bank.
  @param[in]  Register  Register number.
  @param[out] Value     Receives the register's value.

  @retval EFI_SUCCESS  Value was read.
  @return Any other status: the platform could not read the register.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *REGISTER_ACCESS_READ)(IN VOID *Context, IN UINT8 Type, IN UINT8 Bank,
                                                             IN UINT32 Register, OUT UINT8 *Value);

/**
  Writes one byte register.

  @param[in] Context   The caller's context.
  @param[in] Type      Register type.
  @param[in] Bank      Register bank.
  @param[in] Register  Register number.
  @param[in] Value     The value to write.

  @retval EFI_SUCCESS  Value was written.
  @return Any other status: the platform could not write the register.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *REGISTER_ACCESS_WRITE)(IN VOID *Context, IN UINT8 Type, IN UINT8 Bank,
                                                              IN UINT32 Register, IN UINT8 Value);

struct _REGISTER_ACCESS_PROTOCOL {
  REGISTER_ACCESS_READ  Read;
  REGISTER_ACCESS_WRITE Write;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (REGISTER_ACCESS_PROTOCOL, Write) == 8, "RegisterAccess.Write");

#ifdef __cplusplus
}
#endif

#endif
