// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slot 0: load the image behind ImageHandle into SMRAM through the
// Framework SMM Base protocol, from the full device path of its file.
// It uses the boot services of the caller's system table, so any client
// driver can ask for an SMM copy of itself.
#include "servicelib.h"
#include <ServiceLibPkg/Protocol/LoadedImage.h>

namespace {

constinit EFI_GUID mDevicePathUtilitiesGuid = EFI_DEVICE_PATH_UTILITIES_PROTOCOL_GUID;
constinit EFI_GUID mLoadedImageGuid         = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mDevicePathGuid          = EFI_DEVICE_PATH_PROTOCOL_GUID;

// The SMM Base protocol may answer a registration with this value (error
// bit and bit 62 set, code 1): the image was taken all the same.
constexpr EFI_STATUS kSmmRegisterAccepted = 0xC000000000000001ULL;

}  // namespace

extern "C" EFI_HANDLE EFIAPI RegisterImageInSmm (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable,
                                                 IN EFI_SMM_BASE_PROTOCOL *SmmBaseProtocol)
{
  EFI_BOOT_SERVICES                  *BootServices = SystemTable->BootServices;
  EFI_DEVICE_PATH_UTILITIES_PROTOCOL *Dpu          = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL          *LoadedImage  = nullptr;
  EFI_DEVICE_PATH_PROTOCOL           *DevicePath   = nullptr;

  if (EFI_ERROR (BootServices->LocateProtocol (&mDevicePathUtilitiesGuid, nullptr, reinterpret_cast<VOID **> (&Dpu)))) {
    return nullptr;
  }
  if (EFI_ERROR (BootServices->OpenProtocol (ImageHandle, &mLoadedImageGuid, reinterpret_cast<VOID **> (&LoadedImage),
                                             ImageHandle, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL))) {
    return nullptr;
  }
  if (EFI_ERROR (BootServices->OpenProtocol (LoadedImage->DeviceHandle, &mDevicePathGuid,
                                             reinterpret_cast<VOID **> (&DevicePath), ImageHandle, nullptr,
                                             EFI_OPEN_PROTOCOL_GET_PROTOCOL))) {
    return nullptr;
  }

  EFI_DEVICE_PATH_PROTOCOL *FullPath = Dpu->AppendDevicePath (DevicePath, LoadedImage->FilePath);

  EFI_HANDLE SmmImage = nullptr;
  EFI_STATUS Status   = SmmBaseProtocol->Register (SmmBaseProtocol, FullPath, nullptr, 0, &SmmImage, FALSE);
  if (Status != EFI_SUCCESS && Status != kSmmRegisterAccepted) {
    BootServices->FreePool (FullPath);
    return nullptr;
  }
  if (EFI_ERROR (BootServices->FreePool (FullPath))) {
    return nullptr;
  }
  return SmmImage != nullptr ? SmmImage : ImageHandle;
}
