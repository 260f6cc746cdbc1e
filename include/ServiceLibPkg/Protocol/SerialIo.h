/** @file
  The Serial I/O protocol's GUID, under which the firmware's console
  driver reads and writes a UART. A client that looks for the handles of
  the serial ports needs only the GUID; an EDK2 client gets it, and the
  protocol itself, from its SDK.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_SERIAL_IO_H_
#define SERVICE_LIB_PKG_PROTOCOL_SERIAL_IO_H_

#include "../Uefi/UefiBaseType.h"

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/SerialIo.h>
#endif

#ifndef EFI_SERIAL_IO_PROTOCOL_GUID
#define EFI_SERIAL_IO_PROTOCOL_GUID \
  { 0xbb25cf6f, 0xf1d4, 0x11d2, { 0x9a, 0x0c, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0xfd } }
#endif

#endif
