/** @file
  The Shell Parameters protocol, which the shell installs on the image
  handle of an application it starts: the command line split into words,
  and the application's standard files. An EDK2 or gnu-efi client gets it
  from its SDK (EDK2: the shell package's headers).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_SHELL_PARAMETERS_H_
#define SERVICE_LIB_PKG_PROTOCOL_SHELL_PARAMETERS_H_

#include "../Uefi/UefiBaseType.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/ShellParameters.h>
#elif !defined (SERVICELIB_SDK_GNU_EFI)

#define EFI_SHELL_PARAMETERS_PROTOCOL_GUID \
  { 0x752f3136, 0x4e16, 0x4fdc, { 0xa2, 0x2a, 0xe5, 0xf4, 0x68, 0x12, 0xf4, 0xca } }

typedef struct {
  CHAR16 **Argv;  // the program's own name first
  UINTN  Argc;
  VOID   *StdIn;
  VOID   *StdOut;
  VOID   *StdErr;
} EFI_SHELL_PARAMETERS_PROTOCOL;

#endif  // definitions of our own

#ifdef __cplusplus
}
#endif

#endif
