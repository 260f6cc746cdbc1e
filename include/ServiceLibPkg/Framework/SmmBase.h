/** @file
  Framework SMM Base protocol and the Framework SMM system table with its
  embedded SmmIo interface, written from the published Framework SMM CIS.

  Neither MdePkg nor gnu-efi has these (MdePkg has the PI SMM Base 2
  protocol and the PI SMM system table, EFI_SMM_SYSTEM_TABLE2, which are
  different interfaces), so they are defined here in every build. Only the
  width codes of SmmIo are shared with the PI SMM CPU I/O 2 protocol: an
  EDK2 build takes EFI_SMM_IO_WIDTH from MdePkg.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_FRAMEWORK_SMM_BASE_H_
#define SERVICE_LIB_PKG_FRAMEWORK_SMM_BASE_H_

#include "../Protocol/DevicePath.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/SmmCpuIo2.h>
#endif

#define EFI_SMM_BASE_PROTOCOL_GUID \
  { 0x1390954d, 0xda95, 0x4227, { 0x93, 0x28, 0x72, 0x82, 0xc2, 0x17, 0xda, 0xa8 } }

extern EFI_GUID gEfiSmmBaseProtocolGuid;

typedef struct _EFI_SMM_BASE_PROTOCOL EFI_SMM_BASE_PROTOCOL;
typedef struct _EFI_SMM_SYSTEM_TABLE  EFI_SMM_SYSTEM_TABLE;
typedef struct _EFI_SMM_CPU_IO_INTERFACE EFI_SMM_CPU_IO_INTERFACE;

#if !defined (SERVICELIB_SDK_EDK2)
//
// SmmIo: the same width codes as the CPU I/O protocol.
//
typedef enum {
  SMM_IO_UINT8  = 0,
  SMM_IO_UINT16 = 1,
  SMM_IO_UINT32 = 2,
  SMM_IO_UINT64 = 3
} EFI_SMM_IO_WIDTH;
#endif

/**
  Reads or writes Count elements of the given width at Address, from SMM.

  @param[in]      This     The SmmIo member of the SMM system table.
  @param[in]      Width    Element width code: 0, 1, 2 or 3 for 8 to 64 bits.
  @param[in]      Address  Memory address or I/O port of the first element.
  @param[in]      Count    Number of elements.
  @param[in, out] Buffer   Source or destination of the elements.

  @retval EFI_SUCCESS            The elements were transferred.
  @retval EFI_INVALID_PARAMETER  Width, Address or Buffer is not valid.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_CPU_IO)(IN EFI_SMM_CPU_IO_INTERFACE *This, IN EFI_SMM_IO_WIDTH Width,
                                                       IN UINT64 Address, IN UINTN Count, IN OUT VOID *Buffer);

typedef struct {
  EFI_SMM_CPU_IO Read;
  EFI_SMM_CPU_IO Write;
} EFI_SMM_IO_ACCESS;

struct _EFI_SMM_CPU_IO_INTERFACE {
  EFI_SMM_IO_ACCESS Mem;
  EFI_SMM_IO_ACCESS Io;
};

typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_INSTALL_CONFIGURATION_TABLE)(IN EFI_SMM_SYSTEM_TABLE *SystemTable,
                                                                            IN EFI_GUID *Guid, IN VOID *Table,
                                                                            IN UINTN TableSize);

//
// The Framework SMM system table. Members after SmmIo that our images do
// not call keep their place as untyped pointers.
//
struct _EFI_SMM_SYSTEM_TABLE {
  EFI_TABLE_HEADER                    Hdr;
  CHAR16                              *SmmFirmwareVendor;
  UINT32                              SmmFirmwareRevision;
  EFI_SMM_INSTALL_CONFIGURATION_TABLE SmmInstallConfigurationTable;
  EFI_GUID                            EfiSmmCpuIoGuid;
  EFI_SMM_CPU_IO_INTERFACE            SmmIo;
  VOID                                *SmmAllocatePool;
  VOID                                *SmmFreePool;
  VOID                                *SmmAllocatePages;
  VOID                                *SmmFreePages;
  VOID                                *SmmStartupThisAp;
  UINTN                               CurrentlyExecutingCpu;
  UINTN                               NumberOfCpus;
  VOID                                *CpuSaveState;
  VOID                                *CpuOptionalFloatingPointState;
  UINTN                               NumberOfTableEntries;
  VOID                                *SmmConfigurationTable;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_SYSTEM_TABLE, EfiSmmCpuIoGuid) == 48, "Smst.EfiSmmCpuIoGuid");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_SYSTEM_TABLE, SmmIo) == 64, "Smst.SmmIo");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_SYSTEM_TABLE, SmmIo.Io.Read) == 80, "Smst.SmmIo.Io.Read");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_SYSTEM_TABLE, SmmIo.Io.Write) == 88, "Smst.SmmIo.Io.Write");

/**
  Loads an image into SMRAM and starts it there.

  @param[in]  This              The protocol instance.
  @param[in]  FilePath          Full device path of the image file.
  @param[in]  SourceBuffer      The image in memory, or NULL to load it from FilePath.
  @param[in]  SourceSize        Size of SourceBuffer in bytes.
  @param[out] ImageHandle       The handle of the image in SMRAM.
  @param[in]  LegacyIA32Binary  TRUE for a 32-bit image.

  @retval EFI_SUCCESS  The image was loaded and started.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_REGISTER_HANDLER)(IN EFI_SMM_BASE_PROTOCOL *This,
                                                                 IN EFI_DEVICE_PATH_PROTOCOL *FilePath,
                                                                 IN VOID *SourceBuffer OPTIONAL, IN UINTN SourceSize,
                                                                 OUT EFI_HANDLE *ImageHandle,
                                                                 IN BOOLEAN LegacyIA32Binary OPTIONAL);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_UNREGISTER_HANDLER)(IN EFI_SMM_BASE_PROTOCOL *This,
                                                                   IN EFI_HANDLE ImageHandle);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_COMMUNICATE)(IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_HANDLE ImageHandle,
                                                            IN OUT VOID *CommunicationBuffer,
                                                            IN OUT UINTN *SourceSize);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_CALLBACK_ENTRY_POINT)(IN EFI_HANDLE SmmImageHandle,
                                                                     IN OUT VOID *CommunicationBuffer OPTIONAL,
                                                                     IN OUT UINTN *SourceSize OPTIONAL);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_CALLBACK_SERVICE)(IN EFI_SMM_BASE_PROTOCOL *This,
                                                                 IN EFI_HANDLE SmmImageHandle,
                                                                 IN EFI_SMM_CALLBACK_ENTRY_POINT CallbackAddress,
                                                                 IN BOOLEAN MakeLast OPTIONAL,
                                                                 IN BOOLEAN FloatingPointSave OPTIONAL);

/**
  Tells whether the caller runs in SMM.

  @param[in]  This   The protocol instance.
  @param[out] InSmm  TRUE inside SMM, FALSE outside.

  @retval EFI_SUCCESS  InSmm was set.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_INSIDE_OUT)(IN EFI_SMM_BASE_PROTOCOL *This, OUT BOOLEAN *InSmm);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_ALLOCATE_POOL)(IN EFI_SMM_BASE_PROTOCOL *This,
                                                              IN EFI_MEMORY_TYPE PoolType, IN UINTN Size,
                                                              OUT VOID **Buffer);
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_FREE_POOL)(IN EFI_SMM_BASE_PROTOCOL *This, IN VOID *Buffer);

/**
  Returns the address of the SMM system table.

  @param[in]      This  The protocol instance.
  @param[in, out] Smst  Receives the table's address.

  @retval EFI_SUCCESS            Smst was set.
  @retval EFI_INVALID_PARAMETER  Smst is NULL.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *EFI_SMM_GET_SMST_LOCATION)(IN EFI_SMM_BASE_PROTOCOL *This,
                                                                  IN OUT EFI_SMM_SYSTEM_TABLE **Smst);

struct _EFI_SMM_BASE_PROTOCOL {
  EFI_SMM_REGISTER_HANDLER   Register;
  EFI_SMM_UNREGISTER_HANDLER UnRegister;
  EFI_SMM_COMMUNICATE        Communicate;
  EFI_SMM_CALLBACK_SERVICE   RegisterCallback;
  EFI_SMM_INSIDE_OUT         InSmm;
  EFI_SMM_ALLOCATE_POOL      SmmAllocatePool;
  EFI_SMM_FREE_POOL          SmmFreePool;
  EFI_SMM_GET_SMST_LOCATION  GetSmstLocation;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_BASE_PROTOCOL, InSmm) == 32, "SmmBase.InSmm");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SMM_BASE_PROTOCOL, GetSmstLocation) == 56, "SmmBase.GetSmstLocation");

#ifdef __cplusplus
}
#endif

#endif
