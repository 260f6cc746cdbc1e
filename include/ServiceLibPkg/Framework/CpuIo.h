/** @file
  Framework CPU I/O protocol, written from the published Framework DXE CIS,
  and the PI CPU I/O 2 protocol, written from the published PI standard.

  The two have the same layout, members and width codes; only the GUID
  differs. So the Framework protocol is the PI structure under the
  Framework GUID. An EDK2 client gets the PI protocol from MdePkg
  (<Protocol/CpuIo2.h>), which no longer has the Framework one.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_FRAMEWORK_CPU_IO_H_
#define SERVICE_LIB_PKG_FRAMEWORK_CPU_IO_H_

#include "../Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/CpuIo2.h>
#else

#define EFI_CPU_IO2_PROTOCOL_GUID \
  { 0xad61f191, 0xae5f, 0x4c0e, { 0xb9, 0xfa, 0xe8, 0x69, 0xd2, 0x88, 0xc6, 0x4f } }

extern EFI_GUID gEfiCpuIo2ProtocolGuid;

typedef struct _EFI_CPU_IO2_PROTOCOL EFI_CPU_IO2_PROTOCOL;

//
// Width codes; 0, 1 and 2 are the 8-, 16- and 32-bit accesses.
//
typedef enum {
  EfiCpuIoWidthUint8,
  EfiCpuIoWidthUint16,
  EfiCpuIoWidthUint32,
  EfiCpuIoWidthUint64,
  EfiCpuIoWidthFifoUint8,
  EfiCpuIoWidthFifoUint16,
  EfiCpuIoWidthFifoUint32,
  EfiCpuIoWidthFifoUint64,
  EfiCpuIoWidthFillUint8,
  EfiCpuIoWidthFillUint16,
  EfiCpuIoWidthFillUint32,
  EfiCpuIoWidthFillUint64,
  EfiCpuIoWidthMaximum
} EFI_CPU_IO_PROTOCOL_WIDTH;

/**
  Reads or writes Count elements of the given width at Address.

  @param[in]      This     The protocol instance.
  @param[in]      Width    Element width and how the address advances.
  @param[in]      Address  Memory address or I/O port of the first element.
  @param[in]      Count    Number of elements.
  @param[in, out] Buffer   Source or destination of the elements.

  @retval EFI_SUCCESS            The elements were transferred.
  @retval EFI_INVALID_PARAMETER  Width, Address or Buffer is not valid.
  @retval EFI_UNSUPPORTED        The access is not supported by the platform.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_CPU_IO_PROTOCOL_IO_MEM)(IN EFI_CPU_IO2_PROTOCOL *This,
                                                                   IN EFI_CPU_IO_PROTOCOL_WIDTH Width,
                                                                   IN UINT64 Address, IN UINTN Count,
                                                                   IN OUT VOID *Buffer);

typedef struct {
  EFI_CPU_IO_PROTOCOL_IO_MEM Read;
  EFI_CPU_IO_PROTOCOL_IO_MEM Write;
} EFI_CPU_IO_PROTOCOL_ACCESS;

struct _EFI_CPU_IO2_PROTOCOL {
  EFI_CPU_IO_PROTOCOL_ACCESS Mem;
  EFI_CPU_IO_PROTOCOL_ACCESS Io;
};

#endif  // PI CPU I/O 2 of our own

//
// The Framework protocol: the same table under its own GUID.
//
#define EFI_CPU_IO_PROTOCOL_GUID \
  { 0xb0732526, 0x38c8, 0x4b40, { 0x88, 0x77, 0x61, 0xc7, 0xb0, 0x6a, 0xac, 0x45 } }

extern EFI_GUID gEfiCpuIoProtocolGuid;

typedef EFI_CPU_IO2_PROTOCOL EFI_CPU_IO_PROTOCOL;

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_CPU_IO_PROTOCOL, Io) == 16, "CpuIo.Io");
EFI_STATIC_ASSERT (sizeof (EFI_CPU_IO_PROTOCOL) == 32, "EFI_CPU_IO_PROTOCOL size");

#ifdef __cplusplus
}
#endif

#endif
