// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shell tool of the test firmware's Framework SMM Base. Run after the lock,
// it asks the protocol what a boot-services caller sees: InSmm FALSE, no
// SMM system table, and Register refused, here with this tool's own file.
// Each answer goes to the debug console as a CTL line.
#include "../FileAccess.h"
#include "testkit/DebugLog.h"
#include <ServiceLibPkg/Framework/SmmBase.h>
#include <ServiceLibPkg/Protocol/LoadedImage.h>

namespace {

constinit EFI_GUID mSmmBaseGuid     = EFI_SMM_BASE_PROTOCOL_GUID;
constinit EFI_GUID mLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mDevicePathGuid  = EFI_DEVICE_PATH_PROTOCOL_GUID;
constinit EFI_GUID mUtilitiesGuid   = EFI_DEVICE_PATH_UTILITIES_PROTOCOL_GUID;

using LOG = TEXT_LINE<LogChar>;

// The full path of this tool's file, as slot 0 of ServiceLib builds it.
EFI_DEVICE_PATH_PROTOCOL *OwnFilePath (EFI_HANDLE ImageHandle, EFI_BOOT_SERVICES *BootServices)
{
  EFI_LOADED_IMAGE_PROTOCOL          *LoadedImage = nullptr;
  EFI_DEVICE_PATH_PROTOCOL           *Device      = nullptr;
  EFI_DEVICE_PATH_UTILITIES_PROTOCOL *Utilities   = nullptr;
  if (EFI_ERROR (BootServices->HandleProtocol (ImageHandle, &mLoadedImageGuid, reinterpret_cast<VOID **> (&LoadedImage))) ||
      EFI_ERROR (BootServices->HandleProtocol (LoadedImage->DeviceHandle, &mDevicePathGuid,
                                               reinterpret_cast<VOID **> (&Device))) ||
      EFI_ERROR (BootServices->LocateProtocol (&mUtilitiesGuid, nullptr, reinterpret_cast<VOID **> (&Utilities)))) {
    return nullptr;
  }
  return Utilities->AppendDevicePath (Device, LoadedImage->FilePath);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmmBaseCtlMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  EFI_BOOT_SERVICES     *BootServices = SystemTable->BootServices;
  EFI_SMM_BASE_PROTOCOL *SmmBase      = nullptr;
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmBaseGuid, nullptr, reinterpret_cast<VOID **> (&SmmBase));
  LogLine (kLogSmmBaseCtl, "locate", Status);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  BOOLEAN InSmm = TRUE;
  Status = SmmBase->InSmm (SmmBase, &InSmm);
  LogFields (kLogSmmBaseCtl, "InSmm", Status);
  LOG ().Text (" in-smm=").Dec (InSmm).End ();
  EFI_SMM_SYSTEM_TABLE *Smst = nullptr;
  Status = SmmBase->GetSmstLocation (SmmBase, &Smst);
  LogLine (kLogSmmBaseCtl, "GetSmstLocation", Status);

  EFI_DEVICE_PATH_PROTOCOL *Path   = OwnFilePath (ImageHandle, BootServices);
  EFI_HANDLE               Handle = nullptr;
  Status = Path == nullptr ? EFI_NOT_FOUND : SmmBase->Register (SmmBase, Path, nullptr, 0, &Handle, FALSE);
  LogFields (kLogSmmBaseCtl, "Register", Status);
  LOG ().Text (" handle=").Hex (reinterpret_cast<UINT64> (Handle)).End ();
  if (Path != nullptr) {
    BootServices->FreePool (Path);
  }
  return EFI_SUCCESS;
}
