/** @file
  Framework CPU I/O protocol, written from the published Framework DXE CIS.
  The PI CPU I/O 2 protocol has the same layout under another GUID.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FRAMEWORK_CPU_IO_H_
#define FRAMEWORK_CPU_IO_H_

#include "../Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#define EFI_CPU_IO_PROTOCOL_GUID \
  { 0xb0732526, 0x38c8, 0x4b40, { 0x88, 0x77, 0x61, 0xc7, 0xb0, 0x6a, 0xac, 0x45 } }

#define EFI_CPU_IO2_PROTOCOL_GUID \
  { 0xad61f191, 0xae5f, 0x4c0e, { 0xb9, 0xfa, 0xe8, 0x69, 0xd2, 0x88, 0xc6, 0x4f } }

typedef struct _EFI_CPU_IO_PROTOCOL EFI_CPU_IO_PROTOCOL;

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

typedef EFI_STATUS (EFIAPI *EFI_CPU_IO_PROTOCOL_IO_MEM)(IN EFI_CPU_IO_PROTOCOL *This,
                                                        IN EFI_CPU_IO_PROTOCOL_WIDTH Width, IN UINT64 Address,
                                                        IN UINTN Count, IN OUT VOID *Buffer);

typedef struct {
  EFI_CPU_IO_PROTOCOL_IO_MEM Read;
  EFI_CPU_IO_PROTOCOL_IO_MEM Write;
} EFI_CPU_IO_PROTOCOL_ACCESS;

struct _EFI_CPU_IO_PROTOCOL {
  EFI_CPU_IO_PROTOCOL_ACCESS Mem;
  EFI_CPU_IO_PROTOCOL_ACCESS Io;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_CPU_IO_PROTOCOL, Io) == 16, "CpuIo.Io");
EFI_STATIC_ASSERT (sizeof (EFI_CPU_IO_PROTOCOL) == 32, "EFI_CPU_IO_PROTOCOL size");

#ifdef __cplusplus
}
#endif

#endif
