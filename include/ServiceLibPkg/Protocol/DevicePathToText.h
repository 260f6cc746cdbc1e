/** @file
  The Device Path to Text protocol's GUID. The clients here type only the
  member they call, next to their use; an EDK2 client gets the protocol
  from its SDK.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_DEVICE_PATH_TO_TEXT_H_
#define SERVICE_LIB_PKG_PROTOCOL_DEVICE_PATH_TO_TEXT_H_

#include "DevicePath.h"

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/DevicePathToText.h>
#endif

#ifndef EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID
#define EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID \
  { 0x8b843e20, 0x8132, 0x4852, { 0x90, 0xcc, 0x55, 0x1a, 0x4e, 0x4a, 0x7f, 0x1c } }
#endif

#endif
