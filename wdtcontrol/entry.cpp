// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry point: read the user's watchdog setting from Setup, find the hook
// service, and publish the watchdog as soon as the platform's
// register-access service exists, now or when it is installed later.
//
// Either platform service may be uninstalled and replaced at any time, and
// UEFI tells nobody of an uninstall. So an interface is never kept on
// trust: each use at or below TPL_NOTIFY locates the service again, and
// the notification of the register-access service's installation, armed
// for the driver's whole life, takes each replacement at once for the
// calls made above TPL_NOTIFY, where nothing may be located.
#include "wdtcontrol.h"
#include "../common/BootServices.h"
#include "../common/ProtocolNotify.h"

constinit DRIVER_CONTEXT             DriverContext = {nullptr, nullptr};
constinit UINT8                      SetupData[WDT_SETUP_DATA_SIZE] = {};
constinit REGISTER_ACCESS_PROTOCOL   *RegAccess = nullptr;
constinit HOOK_REGISTRATION_PROTOCOL *Hook = nullptr;

namespace {

// A UCS-2 name built at compile time; the firmware wants CHAR16, which is
// not the host's wide character.
template <UINTN Length>
struct WIDE_NAME {
  CHAR16 Text[Length];
  consteval WIDE_NAME (const char16_t (&Source)[Length]) : Text{}
  {
    for (UINTN Index = 0; Index < Length; ++Index) {
      Text[Index] = static_cast<CHAR16> (Source[Index]);
    }
  }
};

constexpr UINT32 kHookCodeStop = 2;

constinit EFI_BOOT_SERVICES    *mBootServices    = nullptr;
constinit EFI_RUNTIME_SERVICES *mRuntimeServices = nullptr;
constinit VOID                 *mRegAccessRegistration = nullptr;
// Set once the watchdog has been published, so that a second installation
// of the register-access service cannot add a second protocol instance and
// a second pair of handoff events (which would arm twice per handoff).
constinit bool mPublished = false;

constinit WIDE_NAME mSetupName  = u"Setup";
constinit WIDE_NAME mStatusName = u"WdtControlStatus";

constinit EFI_GUID mSetupVariableGuid     = WDT_SETUP_VARIABLE_GUID;
constinit EFI_GUID mRegisterAccessGuid    = REGISTER_ACCESS_PROTOCOL_GUID;
constinit EFI_GUID mHookRegistrationGuid  = HOOK_REGISTRATION_PROTOCOL_GUID;
constinit EFI_GUID mWatchdogControlGuid   = WATCHDOG_CONTROL_PROTOCOL_GUID;
constinit EFI_GUID mExitBootServicesGroup = EFI_EVENT_GROUP_EXIT_BOOT_SERVICES;
constinit EFI_GUID mLegacyBootGroup       = EFI_EVENT_LEGACY_BOOT_GUID;

VOID EFIAPI WatchdogReadyNotify (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  WatchdogReady ();
}

// The interface of the service installed now under Guid, or NULL when
// there is none (a service installed without an interface is no service).
VOID *LocateService (IN EFI_BOOT_SERVICES *BootServices, IN EFI_GUID *Guid)
{
  VOID *Found = nullptr;
  return EFI_ERROR (BootServices->LocateProtocol (Guid, nullptr, &Found)) ? nullptr : Found;
}

}  // namespace

REGISTER_ACCESS_PROTOCOL *CurrentRegisterAccess ()
{
  // Above TPL_NOTIFY, and after the hand-off, nothing may be located: the
  // interface that the last lookup or notification found serves.
  EFI_BOOT_SERVICES *BootServices = BootServicesUpToNotify (DriverContext.SystemTable);
  if (BootServices != nullptr) {
    RegAccess = static_cast<REGISTER_ACCESS_PROTOCOL *> (LocateService (BootServices, &mRegisterAccessGuid));
  }
  return RegAccess;
}

EFI_STATUS WatchdogReady ()
{
  // Runs at entry or as the notification, where locating is allowed. A
  // run after publishing is the installation of a replacement: take it, so
  // that calls above TPL_NOTIFY go to it rather than to the one it replaced.
  RegAccess = static_cast<REGISTER_ACCESS_PROTOCOL *> (LocateService (mBootServices, &mRegisterAccessGuid));
  if (RegAccess == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (mPublished) {
    return EFI_SUCCESS;
  }
  mPublished = true;

  // From here on everything is best effort: the watchdog is usable even
  // when the variable or the hook could not be set up.
  EFI_HANDLE Handle = nullptr;
  mBootServices->InstallMultipleProtocolInterfaces (&Handle, &mWatchdogControlGuid, &mWatchdogControl, nullptr);

  // The status is not examined: a WdtControlStatus that is already there
  // with other attributes (left by an earlier boot) makes SetVariable fail
  // and keeps its old value.
  UINT16 StatusWord = ReadStatusWord ();
  mRuntimeServices->SetVariable (mStatusName.Text, &mSetupVariableGuid,
                                 EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
                                 sizeof StatusWord, &StatusWord);

  // The hook service found at entry may have gone while the driver waited.
  Hook = static_cast<HOOK_REGISTRATION_PROTOCOL *> (LocateService (mBootServices, &mHookRegistrationGuid));
  if (Hook != nullptr) {
    Hook->Register (DriverContext.ImageHandle, DriverContext.SystemTable, kHookCodeStop, StopCallback);
  }

  EFI_EVENT  Event;
  EFI_STATUS Status = mBootServices->CreateEventEx (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OsHandoffNotify, nullptr,
                                                    &mExitBootServicesGroup, &Event);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  return mBootServices->CreateEventEx (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OsHandoffNotify, nullptr,
                                       &mLegacyBootGroup, &Event);
}

extern "C" EFI_STATUS EFIAPI WdtControlEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  DriverContext       = {ImageHandle, SystemTable};
  mBootServices    = SystemTable->BootServices;
  mRuntimeServices = SystemTable->RuntimeServices;

  // A Setup variable shorter than the buffer leaves the rest zero, and so
  // the watchdog disabled.
  UINTN      Size   = sizeof SetupData;
  EFI_STATUS Status = mRuntimeServices->GetVariable (mSetupName.Text, &mSetupVariableGuid, nullptr, &Size,
                                                     SetupData);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = mBootServices->LocateProtocol (&mHookRegistrationGuid, nullptr, reinterpret_cast<VOID **> (&Hook));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  if (Hook == nullptr) {
    return EFI_NOT_FOUND;  // a service without an interface is no service
  }

  // The notification is armed whether the service is there or not: it is
  // also how a replacement is heard of. Once the watchdog is published, a
  // failure to arm it leaves the load successful.
  WatchdogReady ();
  Status = RegisterProtocolNotification (mBootServices, &mRegisterAccessGuid, WatchdogReadyNotify,
                                         &mRegAccessRegistration);
  return mPublished ? EFI_SUCCESS : Status;
}
