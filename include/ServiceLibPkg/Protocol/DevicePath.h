/** @file
  Device Path protocol and Device Path Utilities protocol. An EDK2 or
  gnu-efi client gets them from its SDK; our own definitions are written
  from the published UEFI standard (chapter 10).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_PROTOCOL_DEVICE_PATH_H_
#define SERVICE_LIB_PKG_PROTOCOL_DEVICE_PATH_H_

#include "../Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Protocol/DevicePath.h>
#include <Protocol/DevicePathUtilities.h>
#elif !defined (SERVICELIB_SDK_GNU_EFI)

#define EFI_DEVICE_PATH_PROTOCOL_GUID \
  { 0x09576e91, 0x6d3f, 0x11d2, { 0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } }

struct _EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};

EFI_STATIC_ASSERT (sizeof (EFI_DEVICE_PATH_PROTOCOL) == 4, "device path node header is 4 bytes");

#define END_DEVICE_PATH_TYPE              0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE    0xFF
#define MEDIA_DEVICE_PATH                 0x04
#define MEDIA_FILEPATH_DP                 0x04

#define EFI_DEVICE_PATH_UTILITIES_PROTOCOL_GUID \
  { 0x0379be4e, 0xd706, 0x437d, { 0xb0, 0x37, 0xed, 0xb8, 0x2f, 0xb7, 0x72, 0xa4 } }

typedef UINTN (EFIAPI *EFI_DEVICE_PATH_UTILS_GET_DEVICE_PATH_SIZE)(IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_DUP_DEVICE_PATH)(
  IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_APPEND_PATH)(
  IN CONST EFI_DEVICE_PATH_PROTOCOL *Src1, IN CONST EFI_DEVICE_PATH_PROTOCOL *Src2);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_APPEND_NODE)(
  IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, IN CONST EFI_DEVICE_PATH_PROTOCOL *DeviceNode);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_APPEND_INSTANCE)(
  IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePathInstance);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_GET_NEXT_INSTANCE)(
  IN OUT EFI_DEVICE_PATH_PROTOCOL **DevicePathInstance, OUT UINTN *DevicePathInstanceSize OPTIONAL);
typedef BOOLEAN (EFIAPI *EFI_DEVICE_PATH_UTILS_IS_MULTI_INSTANCE)(IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath);
typedef EFI_DEVICE_PATH_PROTOCOL *(EFIAPI *EFI_DEVICE_PATH_UTILS_CREATE_NODE)(
  IN UINT8 NodeType, IN UINT8 NodeSubType, IN UINT16 NodeLength);

typedef struct {
  EFI_DEVICE_PATH_UTILS_GET_DEVICE_PATH_SIZE GetDevicePathSize;
  EFI_DEVICE_PATH_UTILS_DUP_DEVICE_PATH      DuplicateDevicePath;
  EFI_DEVICE_PATH_UTILS_APPEND_PATH          AppendDevicePath;
  EFI_DEVICE_PATH_UTILS_APPEND_NODE          AppendDeviceNode;
  EFI_DEVICE_PATH_UTILS_APPEND_INSTANCE      AppendDevicePathInstance;
  EFI_DEVICE_PATH_UTILS_GET_NEXT_INSTANCE    GetNextDevicePathInstance;
  EFI_DEVICE_PATH_UTILS_IS_MULTI_INSTANCE    IsDevicePathMultiInstance;
  EFI_DEVICE_PATH_UTILS_CREATE_NODE          CreateDeviceNode;
} EFI_DEVICE_PATH_UTILITIES_PROTOCOL;

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_DEVICE_PATH_UTILITIES_PROTOCOL, AppendDevicePath) == 16,
                   "DevicePathUtilities.AppendDevicePath");

#endif  // definitions of our own

#ifdef __cplusplus
}
#endif

#endif
