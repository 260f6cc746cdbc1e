/** @file
  The Simple File System protocol's GUID, under which a volume's root
  directory is opened. The clients here type only the members they call,
  next to their use; an EDK2 client gets the protocol from its SDK.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_SIMPLE_FILE_SYSTEM_H_
#define SERVICE_LIB_PKG_PROTOCOL_SIMPLE_FILE_SYSTEM_H_

#include "../Uefi/UefiBaseType.h"

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/SimpleFileSystem.h>
#endif

#ifndef EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID
#define EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID \
  { 0x964e5b22, 0x6459, 0x11d2, { 0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } }
#endif

#endif
