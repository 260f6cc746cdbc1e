// SPDX-License-Identifier: BSD-2-Clause-Patent
// The GUIDs of the firmware's and the platform's interfaces that the
// simulated firmware serves, written once for it, the tests and the fuzz
// targets (each driver's own GUIDs stay with that driver's test helpers).
#ifndef SIM_GUIDS_H_
#define SIM_GUIDS_H_

#include <HookRegistration.h>
#include <RegisterAccess.h>
#include <ServiceLibPkg/Framework/CpuIo.h>
#include <ServiceLibPkg/Framework/SmmBase.h>
#include <ServiceLibPkg/Protocol/DevicePath.h>
#include <ServiceLibPkg/Protocol/LoadedImage.h>
#include <ServiceLibPkg/Uefi/UefiTables.h>

namespace sim::guids {

inline constexpr EFI_GUID kCpuIoGuid       = EFI_CPU_IO_PROTOCOL_GUID;
inline constexpr EFI_GUID kCpuIo2Guid      = EFI_CPU_IO2_PROTOCOL_GUID;
inline constexpr EFI_GUID kSmmBaseGuid     = EFI_SMM_BASE_PROTOCOL_GUID;
inline constexpr EFI_GUID kDpuGuid         = EFI_DEVICE_PATH_UTILITIES_PROTOCOL_GUID;
inline constexpr EFI_GUID kLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
inline constexpr EFI_GUID kDevicePathGuid  = EFI_DEVICE_PATH_PROTOCOL_GUID;
inline constexpr EFI_GUID kExitBootGroup   = EFI_EVENT_GROUP_EXIT_BOOT_SERVICES;
inline constexpr EFI_GUID kLegacyGroup     = EFI_EVENT_LEGACY_BOOT_GUID;
inline constexpr EFI_GUID kRegAccessGuid   = REGISTER_ACCESS_PROTOCOL_GUID;
inline constexpr EFI_GUID kHookGuid        = HOOK_REGISTRATION_PROTOCOL_GUID;

}  // namespace sim::guids

#endif
