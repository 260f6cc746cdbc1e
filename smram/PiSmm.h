/** @file
  The few PI SMM interfaces that the SMRAM probe driver and its shell tool
  use, written from the published PI standard (volume 4, SMM): the PI SMM
  system table with its SmmIo, SMM Base2, SMM Communication with its
  message header, the SMM ready-to-lock protocol, and the SMM memory
  attribute protocol that the SMM CPU driver of the firmware publishes.

  Private to this folder: nothing outside the SMRAM lane needs PI SMM.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SMRAM_PI_SMM_H_
#define SMRAM_PI_SMM_H_

#include <ServiceLibPkg/Uefi/UefiTables.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EFI_SMM_BASE2_PROTOCOL_GUID \
  { 0xf4ccbfb7, 0xf6e0, 0x47fd, { 0x9d, 0xd4, 0x10, 0xa8, 0xf1, 0x50, 0xc1, 0x91 } }
#define EFI_SMM_COMMUNICATION_PROTOCOL_GUID \
  { 0xc68ed8e2, 0x9dc6, 0x4cbd, { 0x9d, 0x94, 0xdb, 0x65, 0xac, 0xc5, 0xc3, 0x32 } }
#define EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID \
  { 0x47b7fa8c, 0xf4bd, 0x4af6, { 0x82, 0x00, 0x33, 0x30, 0x86, 0xf0, 0xd2, 0xc8 } }
#define SMM_MEMORY_ATTRIBUTE_PROTOCOL_GUID \
  { 0x69b792ea, 0x39ce, 0x402d, { 0xa2, 0xa6, 0xf7, 0x21, 0xde, 0x35, 0x1d, 0xfe } }
#define EFI_SMM_ACCESS2_PROTOCOL_GUID \
  { 0xc2702b74, 0x800c, 0x4131, { 0x87, 0x46, 0x8f, 0xb5, 0xb8, 0x9c, 0xe4, 0xac } }

#define EFI_MEMORY_RO  0x0000000000020000ULL
#define EFI_MEMORY_XP  0x0000000000004000ULL

typedef enum {
  AllocateAnyPages,
  AllocateMaxAddress,
  AllocateAddress
} EFI_ALLOCATE_TYPE;

typedef struct _PI_SMM_CPU_IO PI_SMM_CPU_IO;

typedef EFI_STATUS (EFIAPI *PI_SMM_IO)(IN CONST PI_SMM_CPU_IO *This, IN UINTN Width, IN UINT64 Address,
                                       IN UINTN Count, IN OUT VOID *Buffer);

typedef struct {
  PI_SMM_IO Read;
  PI_SMM_IO Write;
} PI_SMM_IO_ACCESS;

struct _PI_SMM_CPU_IO {
  PI_SMM_IO_ACCESS Mem;
  PI_SMM_IO_ACCESS Io;
};

typedef EFI_STATUS (EFIAPI *PI_SMM_HANDLER)(IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                            IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL);
typedef EFI_STATUS (EFIAPI *PI_SMM_NOTIFY)(IN CONST EFI_GUID *Protocol, IN VOID *Interface, IN EFI_HANDLE Handle);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16           *SmmFirmwareVendor;
  UINT32           SmmFirmwareRevision;
  VOID             *SmmInstallConfigurationTable;
  PI_SMM_CPU_IO    SmmIo;
  EFI_STATUS       (EFIAPI *SmmAllocatePool)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size, OUT VOID **Buffer);
  EFI_STATUS       (EFIAPI *SmmFreePool)(IN VOID *Buffer);
  EFI_STATUS       (EFIAPI *SmmAllocatePages)(IN EFI_ALLOCATE_TYPE Type, IN EFI_MEMORY_TYPE MemoryType,
                                              IN UINTN Pages, IN OUT EFI_PHYSICAL_ADDRESS *Memory);
  EFI_STATUS       (EFIAPI *SmmFreePages)(IN EFI_PHYSICAL_ADDRESS Memory, IN UINTN Pages);
  VOID             *SmmStartupThisAp;
  UINTN            CurrentlyExecutingCpu;
  UINTN            NumberOfCpus;
  UINTN            *CpuSaveStateSize;
  VOID             **CpuSaveState;
  UINTN            NumberOfTableEntries;
  VOID             *SmmConfigurationTable;
  EFI_STATUS       (EFIAPI *SmmInstallProtocolInterface)(IN OUT EFI_HANDLE *Handle, IN EFI_GUID *Protocol,
                                                         IN EFI_INTERFACE_TYPE InterfaceType, IN VOID *Interface);
  VOID             *SmmUninstallProtocolInterface;
  EFI_STATUS       (EFIAPI *SmmHandleProtocol)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol, OUT VOID **Interface);
  EFI_STATUS       (EFIAPI *SmmRegisterProtocolNotify)(IN CONST EFI_GUID *Protocol, IN PI_SMM_NOTIFY Function,
                                                       OUT VOID **Registration);
  VOID             *SmmLocateHandle;
  EFI_STATUS       (EFIAPI *SmmLocateProtocol)(IN EFI_GUID *Protocol, IN VOID *Registration OPTIONAL,
                                               OUT VOID **Interface);
  VOID             *SmiManage;
  EFI_STATUS       (EFIAPI *SmiHandlerRegister)(IN PI_SMM_HANDLER Handler, IN CONST EFI_GUID *HandlerType OPTIONAL,
                                                OUT EFI_HANDLE *DispatchHandle);
  VOID             *SmiHandlerUnRegister;
} PI_SMM_SYSTEM_TABLE;

EFI_STATIC_ASSERT (EFI_OFFSET_OF (PI_SMM_SYSTEM_TABLE, SmmIo) == 48, "PiSmst.SmmIo");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (PI_SMM_SYSTEM_TABLE, SmmAllocatePool) == 80, "PiSmst.SmmAllocatePool");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (PI_SMM_SYSTEM_TABLE, SmmInstallProtocolInterface) == 168,
                   "PiSmst.SmmInstallProtocolInterface");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (PI_SMM_SYSTEM_TABLE, SmmLocateProtocol) == 208, "PiSmst.SmmLocateProtocol");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (PI_SMM_SYSTEM_TABLE, SmiHandlerRegister) == 224, "PiSmst.SmiHandlerRegister");

typedef struct _PI_SMM_BASE2_PROTOCOL PI_SMM_BASE2_PROTOCOL;
struct _PI_SMM_BASE2_PROTOCOL {
  EFI_STATUS (EFIAPI *InSmm)(IN CONST PI_SMM_BASE2_PROTOCOL *This, OUT BOOLEAN *InSmram);
  EFI_STATUS (EFIAPI *GetSmstLocation)(IN CONST PI_SMM_BASE2_PROTOCOL *This, OUT PI_SMM_SYSTEM_TABLE **Smst);
};

typedef struct _PI_SMM_COMMUNICATION_PROTOCOL PI_SMM_COMMUNICATION_PROTOCOL;
struct _PI_SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS (EFIAPI *Communicate)(IN CONST PI_SMM_COMMUNICATION_PROTOCOL *This, IN OUT VOID *CommBuffer,
                                   IN OUT UINTN *CommSize OPTIONAL);
};

// What a caller of Communicate puts in front of its message; the handler
// registered for HeaderGuid receives the message and MessageLength.
typedef struct {
  EFI_GUID HeaderGuid;
  UINTN    MessageLength;
} PI_SMM_COMMUNICATE_HEADER;

EFI_STATIC_ASSERT (sizeof (PI_SMM_COMMUNICATE_HEADER) == 24, "communicate header");

typedef struct _SMM_MEMORY_ATTRIBUTE_PROTOCOL SMM_MEMORY_ATTRIBUTE_PROTOCOL;
typedef EFI_STATUS (EFIAPI *SMM_MEMORY_ATTRIBUTES)(IN SMM_MEMORY_ATTRIBUTE_PROTOCOL *This,
                                                   IN EFI_PHYSICAL_ADDRESS BaseAddress, IN UINT64 Length,
                                                   IN UINT64 Attributes);
struct _SMM_MEMORY_ATTRIBUTE_PROTOCOL {
  EFI_STATUS            (EFIAPI *GetMemoryAttributes)(IN SMM_MEMORY_ATTRIBUTE_PROTOCOL *This,
                                                      IN EFI_PHYSICAL_ADDRESS BaseAddress, IN UINT64 Length,
                                                      OUT UINT64 *Attributes);
  SMM_MEMORY_ATTRIBUTES SetMemoryAttributes;
  SMM_MEMORY_ATTRIBUTES ClearMemoryAttributes;
};

#ifdef __cplusplus
}
#endif

#endif
