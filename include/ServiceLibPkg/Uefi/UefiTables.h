/** @file
  The UEFI system table with its boot-services and runtime-services tables,
  and the two event groups of the hand-off to an operating system.

  An EDK2 or gnu-efi client gets the tables from its SDK (see
  UefiBaseType.h). Our own definitions, for builds without an SDK, are
  written from the published UEFI standard (chapter 4, system table;
  chapters 7 and 8, services). Members that none of our images calls keep
  their place as untyped pointers so that every offset is right.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_UEFI_UEFI_TABLES_H_
#define SERVICE_LIB_PKG_UEFI_UEFI_TABLES_H_

#include "UefiBaseType.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Guid/EventGroup.h>
#include <Guid/EventLegacyBios.h>
#elif !defined (SERVICELIB_SDK_GNU_EFI)

typedef struct _EFI_SYSTEM_TABLE    EFI_SYSTEM_TABLE;
typedef struct _EFI_BOOT_SERVICES   EFI_BOOT_SERVICES;
typedef struct _EFI_RUNTIME_SERVICES EFI_RUNTIME_SERVICES;
typedef struct _EFI_DEVICE_PATH_PROTOCOL EFI_DEVICE_PATH_PROTOCOL;

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;

//
// Task priority levels and event types.
//
#define TPL_APPLICATION  4
#define TPL_CALLBACK     8
#define TPL_NOTIFY       16
#define TPL_HIGH_LEVEL   31

#define EVT_TIMER                          0x80000000
#define EVT_RUNTIME                        0x40000000
#define EVT_NOTIFY_WAIT                    0x00000100
#define EVT_NOTIFY_SIGNAL                  0x00000200
#define EVT_SIGNAL_EXIT_BOOT_SERVICES      0x00000201
#define EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE  0x60000202

typedef VOID (EFIAPI *EFI_EVENT_NOTIFY)(IN EFI_EVENT Event, IN VOID *Context);

typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiMaxMemoryType
} EFI_MEMORY_TYPE;

typedef enum {
  EFI_NATIVE_INTERFACE
} EFI_INTERFACE_TYPE;

typedef enum {
  AllHandles,
  ByRegisterNotify,
  ByProtocol
} EFI_LOCATE_SEARCH_TYPE;

typedef enum {
  EfiResetCold,
  EfiResetWarm,
  EfiResetShutdown,
  EfiResetPlatformSpecific
} EFI_RESET_TYPE;

typedef struct {
  UINT32               Type;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS  VirtualStart;
  UINT64               NumberOfPages;
  UINT64               Attribute;
} EFI_MEMORY_DESCRIPTOR;

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL  0x00000001
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL        0x00000002
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL       0x00000004
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008
#define EFI_OPEN_PROTOCOL_BY_DRIVER           0x00000010
#define EFI_OPEN_PROTOCOL_EXCLUSIVE           0x00000020

#define EFI_VARIABLE_NON_VOLATILE        0x00000001
#define EFI_VARIABLE_BOOTSERVICE_ACCESS  0x00000002
#define EFI_VARIABLE_RUNTIME_ACCESS      0x00000004

typedef EFI_TPL    (EFIAPI *EFI_RAISE_TPL)(IN EFI_TPL NewTpl);
typedef VOID       (EFIAPI *EFI_RESTORE_TPL)(IN EFI_TPL OldTpl);
typedef EFI_STATUS (EFIAPI *EFI_GET_MEMORY_MAP)(IN OUT UINTN *MemoryMapSize, OUT EFI_MEMORY_DESCRIPTOR *MemoryMap,
                                                OUT UINTN *MapKey, OUT UINTN *DescriptorSize,
                                                OUT UINT32 *DescriptorVersion);
typedef EFI_STATUS (EFIAPI *EFI_ALLOCATE_POOL)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size, OUT VOID **Buffer);
typedef EFI_STATUS (EFIAPI *EFI_FREE_POOL)(IN VOID *Buffer);
typedef EFI_STATUS (EFIAPI *EFI_CREATE_EVENT)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                              IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                              IN VOID *NotifyContext OPTIONAL, OUT EFI_EVENT *Event);
typedef EFI_STATUS (EFIAPI *EFI_SIGNAL_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS (EFIAPI *EFI_CLOSE_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS (EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle, IN EFI_GUID *Protocol,
                                                            IN EFI_INTERFACE_TYPE InterfaceType,
                                                            IN VOID *Interface);
typedef EFI_STATUS (EFIAPI *EFI_HANDLE_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol, OUT VOID **Interface);
typedef EFI_STATUS (EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(IN EFI_GUID *Protocol, IN EFI_EVENT Event,
                                                          OUT VOID **Registration);
typedef EFI_STATUS (EFIAPI *EFI_LOCATE_HANDLE)(IN EFI_LOCATE_SEARCH_TYPE SearchType, IN EFI_GUID *Protocol OPTIONAL,
                                               IN VOID *SearchKey OPTIONAL, IN OUT UINTN *BufferSize,
                                               OUT EFI_HANDLE *Buffer);
typedef EFI_STATUS (EFIAPI *EFI_IMAGE_LOAD)(IN BOOLEAN BootPolicy, IN EFI_HANDLE ParentImageHandle,
                                            IN EFI_DEVICE_PATH_PROTOCOL *DevicePath, IN VOID *SourceBuffer OPTIONAL,
                                            IN UINTN SourceSize, OUT EFI_HANDLE *ImageHandle);
typedef EFI_STATUS (EFIAPI *EFI_IMAGE_START)(IN EFI_HANDLE ImageHandle, OUT UINTN *ExitDataSize,
                                             OUT CHAR16 **ExitData OPTIONAL);
typedef EFI_STATUS (EFIAPI *EFI_EXIT)(IN EFI_HANDLE ImageHandle, IN EFI_STATUS ExitStatus, IN UINTN ExitDataSize,
                                      IN CHAR16 *ExitData OPTIONAL);
typedef EFI_STATUS (EFIAPI *EFI_EXIT_BOOT_SERVICES)(IN EFI_HANDLE ImageHandle, IN UINTN MapKey);
typedef EFI_STATUS (EFIAPI *EFI_STALL)(IN UINTN Microseconds);
typedef EFI_STATUS (EFIAPI *EFI_SET_WATCHDOG_TIMER)(IN UINTN Timeout, IN UINT64 WatchdogCode, IN UINTN DataSize,
                                                    IN CHAR16 *WatchdogData OPTIONAL);
typedef EFI_STATUS (EFIAPI *EFI_CONNECT_CONTROLLER)(IN EFI_HANDLE ControllerHandle,
                                                    IN EFI_HANDLE *DriverImageHandle OPTIONAL,
                                                    IN EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath OPTIONAL,
                                                    IN BOOLEAN Recursive);
typedef EFI_STATUS (EFIAPI *EFI_OPEN_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                               OUT VOID **Interface OPTIONAL, IN EFI_HANDLE AgentHandle,
                                               IN EFI_HANDLE ControllerHandle, IN UINT32 Attributes);
typedef EFI_STATUS (EFIAPI *EFI_CLOSE_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol, IN EFI_HANDLE AgentHandle,
                                                IN EFI_HANDLE ControllerHandle);
typedef EFI_STATUS (EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                                      IN EFI_GUID *Protocol OPTIONAL, IN VOID *SearchKey OPTIONAL,
                                                      OUT UINTN *NoHandles, OUT EFI_HANDLE **Buffer);
typedef EFI_STATUS (EFIAPI *EFI_LOCATE_PROTOCOL)(IN EFI_GUID *Protocol, IN VOID *Registration OPTIONAL,
                                                 OUT VOID **Interface);
typedef EFI_STATUS (EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(IN OUT EFI_HANDLE *Handle, ...);
typedef VOID       (EFIAPI *EFI_COPY_MEM)(IN VOID *Destination, IN VOID *Source, IN UINTN Length);
typedef VOID       (EFIAPI *EFI_SET_MEM)(IN VOID *Buffer, IN UINTN Size, IN UINT8 Value);
typedef EFI_STATUS (EFIAPI *EFI_CREATE_EVENT_EX)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                                 IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                                 IN CONST VOID *NotifyContext OPTIONAL,
                                                 IN CONST EFI_GUID *EventGroup OPTIONAL, OUT EFI_EVENT *Event);

struct _EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER                         Hdr;
  EFI_RAISE_TPL                            RaiseTPL;
  EFI_RESTORE_TPL                          RestoreTPL;
  VOID                                     *AllocatePages;
  VOID                                     *FreePages;
  EFI_GET_MEMORY_MAP                       GetMemoryMap;
  EFI_ALLOCATE_POOL                        AllocatePool;
  EFI_FREE_POOL                            FreePool;
  EFI_CREATE_EVENT                         CreateEvent;
  VOID                                     *SetTimer;
  VOID                                     *WaitForEvent;
  EFI_SIGNAL_EVENT                         SignalEvent;
  EFI_CLOSE_EVENT                          CloseEvent;
  VOID                                     *CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE           InstallProtocolInterface;
  VOID                                     *ReinstallProtocolInterface;
  VOID                                     *UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL                      HandleProtocol;
  VOID                                     *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY             RegisterProtocolNotify;
  EFI_LOCATE_HANDLE                        LocateHandle;
  VOID                                     *LocateDevicePath;
  VOID                                     *InstallConfigurationTable;
  EFI_IMAGE_LOAD                           LoadImage;
  EFI_IMAGE_START                          StartImage;
  EFI_EXIT                                 Exit;
  VOID                                     *UnloadImage;
  EFI_EXIT_BOOT_SERVICES                   ExitBootServices;
  VOID                                     *GetNextMonotonicCount;
  EFI_STALL                                Stall;
  EFI_SET_WATCHDOG_TIMER                   SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER                   ConnectController;
  VOID                                     *DisconnectController;
  EFI_OPEN_PROTOCOL                        OpenProtocol;
  EFI_CLOSE_PROTOCOL                       CloseProtocol;
  VOID                                     *OpenProtocolInformation;
  VOID                                     *ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER                 LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL                      LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  VOID                                     *UninstallMultipleProtocolInterfaces;
  VOID                                     *CalculateCrc32;
  EFI_COPY_MEM                             CopyMem;
  EFI_SET_MEM                              SetMem;
  EFI_CREATE_EVENT_EX                      CreateEventEx;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, FreePool) == 72, "BootServices.FreePool");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, CreateEvent) == 80, "BootServices.CreateEvent");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, RegisterProtocolNotify) == 168,
                   "BootServices.RegisterProtocolNotify");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, LoadImage) == 200, "BootServices.LoadImage");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, ExitBootServices) == 232, "BootServices.ExitBootServices");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, OpenProtocol) == 280, "BootServices.OpenProtocol");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, LocateProtocol) == 320, "BootServices.LocateProtocol");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 328,
                   "BootServices.InstallMultipleProtocolInterfaces");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_BOOT_SERVICES, CreateEventEx) == 368, "BootServices.CreateEventEx");
EFI_STATIC_ASSERT (sizeof (EFI_BOOT_SERVICES) == 376, "EFI_BOOT_SERVICES size");

typedef EFI_STATUS (EFIAPI *EFI_GET_TIME)(OUT EFI_TIME *Time, OUT VOID *Capabilities OPTIONAL);
typedef EFI_STATUS (EFIAPI *EFI_GET_VARIABLE)(IN CHAR16 *VariableName, IN EFI_GUID *VendorGuid,
                                              OUT UINT32 *Attributes OPTIONAL, IN OUT UINTN *DataSize,
                                              OUT VOID *Data OPTIONAL);
typedef EFI_STATUS (EFIAPI *EFI_SET_VARIABLE)(IN CHAR16 *VariableName, IN EFI_GUID *VendorGuid, IN UINT32 Attributes,
                                              IN UINTN DataSize, IN VOID *Data);
typedef VOID       (EFIAPI *EFI_RESET_SYSTEM)(IN EFI_RESET_TYPE ResetType, IN EFI_STATUS ResetStatus,
                                              IN UINTN DataSize, IN VOID *ResetData OPTIONAL);

struct _EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_GET_TIME     GetTime;
  VOID             *SetTime;
  VOID             *GetWakeupTime;
  VOID             *SetWakeupTime;
  VOID             *SetVirtualAddressMap;
  VOID             *ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  VOID             *GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  VOID             *GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  VOID             *UpdateCapsule;
  VOID             *QueryCapsuleCapabilities;
  VOID             *QueryVariableInfo;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_RUNTIME_SERVICES, GetVariable) == 72, "RuntimeServices.GetVariable");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_RUNTIME_SERVICES, SetVariable) == 88, "RuntimeServices.SetVariable");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_RUNTIME_SERVICES, ResetSystem) == 104, "RuntimeServices.ResetSystem");

typedef struct {
  EFI_GUID VendorGuid;
  VOID     *VendorTable;
} EFI_CONFIGURATION_TABLE;

struct _EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER        Hdr;
  CHAR16                  *FirmwareVendor;
  UINT32                  FirmwareRevision;
  EFI_HANDLE              ConsoleInHandle;
  VOID                    *ConIn;
  EFI_HANDLE              ConsoleOutHandle;
  VOID                    *ConOut;
  EFI_HANDLE              StandardErrorHandle;
  VOID                    *StdErr;
  EFI_RUNTIME_SERVICES    *RuntimeServices;
  EFI_BOOT_SERVICES       *BootServices;
  UINTN                   NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};

EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SYSTEM_TABLE, RuntimeServices) == 88, "SystemTable.RuntimeServices");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_SYSTEM_TABLE, BootServices) == 96, "SystemTable.BootServices");

typedef EFI_STATUS (EFIAPI *EFI_IMAGE_ENTRY_POINT)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

//
// Event groups signalled when the firmware hands over to an operating system.
//
#define EFI_EVENT_GROUP_EXIT_BOOT_SERVICES \
  { 0x27abf055, 0xb1b8, 0x4c26, { 0x80, 0x48, 0x74, 0x8f, 0x37, 0xba, 0xa2, 0xdf } }
#define EFI_EVENT_LEGACY_BOOT_GUID \
  { 0x2a571201, 0x4966, 0x47f6, { 0x8b, 0x86, 0xf3, 0x1e, 0x41, 0xf3, 0x2f, 0x10 } }

#endif  // tables of our own

#ifdef __cplusplus
}
#endif

#endif
