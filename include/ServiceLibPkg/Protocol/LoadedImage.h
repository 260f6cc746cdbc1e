/** @file
  Loaded Image protocol. An EDK2 or gnu-efi client gets it from its SDK;
  our own definition is written from the published UEFI standard
  (chapter 9).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_LOADED_IMAGE_H_
#define SERVICE_LIB_PKG_PROTOCOL_LOADED_IMAGE_H_

#include "DevicePath.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/LoadedImage.h>
#elif !defined (SERVICELIB_SDK_GNU_EFI)

#define EFI_LOADED_IMAGE_PROTOCOL_GUID \
  { 0x5b1b31a1, 0x9562, 0x11d2, { 0x8e, 0x3f, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } }

typedef EFI_STATUS (EFIAPI *EFI_IMAGE_UNLOAD)(IN EFI_HANDLE ImageHandle);

typedef struct {
  UINT32                   Revision;
  EFI_HANDLE               ParentHandle;
  EFI_SYSTEM_TABLE         *SystemTable;
  EFI_HANDLE               DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID                     *Reserved;
  UINT32                   LoadOptionsSize;
  VOID                     *LoadOptions;
  VOID                     *ImageBase;
  UINT64                   ImageSize;
  EFI_MEMORY_TYPE          ImageCodeType;
  EFI_MEMORY_TYPE          ImageDataType;
  EFI_IMAGE_UNLOAD         Unload;
} EFI_LOADED_IMAGE_PROTOCOL;

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24, "LoadedImage.DeviceHandle");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, FilePath) == 32, "LoadedImage.FilePath");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64, "LoadedImage.ImageBase");

#endif  // definitions of our own

#ifdef __cplusplus
}
#endif

#endif
