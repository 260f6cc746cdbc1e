// SPDX-License-Identifier: BSD-2-Clause-Patent
// The interfaces through which the DXE half reads an image for Register,
// written from the published UEFI and PI standards: the PI Firmware Volume
// 2 protocol (ReadSection), the UEFI Simple File System and File protocols,
// the boot services that these tables leave untyped, and Device Path to
// Text for the log. Only the members used here are typed.
#ifndef SMRAM_SMMBASE_FILE_ACCESS_H_
#define SMRAM_SMMBASE_FILE_ACCESS_H_

#include <ServiceLibPkg/Protocol/DevicePath.h>
#include <ServiceLibPkg/Protocol/DevicePathToText.h>
#include <ServiceLibPkg/Protocol/SimpleFileSystem.h>
#include "../PiSmm.h"

#define EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID \
  { 0x220e73b6, 0x6bdb, 0x4413, { 0x84, 0x05, 0xb9, 0x74, 0xb1, 0x08, 0x61, 0x9a } }

inline constexpr UINT8 kSectionPe32 = 0x10;
inline constexpr UINT64 kFileModeRead = 1;

struct FIRMWARE_VOLUME2 {
  VOID *GetVolumeAttributes;
  VOID *SetVolumeAttributes;
  VOID *ReadFile;
  EFI_STATUS (EFIAPI *ReadSection)(IN CONST FIRMWARE_VOLUME2 *This, IN CONST EFI_GUID *NameGuid, IN UINT8 SectionType,
                                   IN UINTN SectionInstance, IN OUT VOID **Buffer, IN OUT UINTN *BufferSize,
                                   OUT UINT32 *AuthenticationStatus);
};

struct FILE_HANDLE_PROTOCOL {
  UINT64     Revision;
  EFI_STATUS (EFIAPI *Open)(IN FILE_HANDLE_PROTOCOL *This, OUT FILE_HANDLE_PROTOCOL **NewHandle, IN CHAR16 *FileName,
                            IN UINT64 OpenMode, IN UINT64 Attributes);
  EFI_STATUS (EFIAPI *Close)(IN FILE_HANDLE_PROTOCOL *This);
  VOID       *Delete;
  EFI_STATUS (EFIAPI *Read)(IN FILE_HANDLE_PROTOCOL *This, IN OUT UINTN *BufferSize, OUT VOID *Buffer);
  VOID       *Write;
  EFI_STATUS (EFIAPI *GetPosition)(IN FILE_HANDLE_PROTOCOL *This, OUT UINT64 *Position);
  EFI_STATUS (EFIAPI *SetPosition)(IN FILE_HANDLE_PROTOCOL *This, IN UINT64 Position);
};

struct SIMPLE_FILE_SYSTEM {
  UINT64     Revision;
  EFI_STATUS (EFIAPI *OpenVolume)(IN SIMPLE_FILE_SYSTEM *This, OUT FILE_HANDLE_PROTOCOL **Root);
};

struct DEVICE_PATH_TO_TEXT {
  VOID   *ConvertDeviceNodeToText;
  CHAR16 *(EFIAPI *ConvertDevicePathToText)(IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, IN BOOLEAN DisplayOnly,
                                            IN BOOLEAN AllowShortcuts);
};

// Boot services that EFI_BOOT_SERVICES keeps untyped.
using LOCATE_DEVICE_PATH = EFI_STATUS (EFIAPI *)(IN EFI_GUID *Protocol, IN OUT EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                 OUT EFI_HANDLE *Device);
using UNINSTALL_PROTOCOL_INTERFACE = EFI_STATUS (EFIAPI *)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                                           IN VOID *Interface);
using ALLOCATE_PAGES = EFI_STATUS (EFIAPI *)(IN EFI_ALLOCATE_TYPE Type, IN EFI_MEMORY_TYPE MemoryType, IN UINTN Pages,
                                             IN OUT EFI_PHYSICAL_ADDRESS *Memory);

#endif
