// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry point: read the user's watchdog setting from Setup, find the hook
// service, and publish the watchdog as soon as the platform's
// register-access service exists, now or when it is installed later.
#include "wdtcontrol.h"
#include "../common/BootServices.h"
#include "../common/ProtocolNotify.h"

constinit WDT_DRIVER_CONTEXT         DriverContext = {nullptr, nullptr};
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

constinit EFI_BOOT_SERVICES    *mWdtBootServices    = nullptr;
constinit EFI_RUNTIME_SERVICES *mWdtRuntimeServices = nullptr;
constinit VOID                 *mRegAccessRegistration = nullptr;
// Set once the watchdog has been published, so that a second installation
// of the register-access service cannot add a second protocol instance and
// a second pair of handoff events (which would arm twice per handoff).
constinit bool mWdtPublished = false;
// Set when the register-access service was installed again after
// publishing: the interface in RegAccess may be one that is gone, so the
// next sequence locates it afresh.
constinit bool mRegAccessStale = false;

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

// Takes the register-access interface installed now into RegAccess, or
// NULL when there is none.
EFI_STATUS LocateRegisterAccess (IN EFI_BOOT_SERVICES *BootServices)
{
  REGISTER_ACCESS_PROTOCOL *Found  = nullptr;
  EFI_STATUS               Status = BootServices->LocateProtocol (&mRegisterAccessGuid, nullptr,
                                                                  reinterpret_cast<VOID **> (&Found));
  if (!EFI_ERROR (Status) && Found == nullptr) {
    Status = EFI_NOT_FOUND;
  }
  RegAccess        = EFI_ERROR (Status) ? nullptr : Found;
  mRegAccessStale  = false;
  return Status;
}

}  // namespace

REGISTER_ACCESS_PROTOCOL *CurrentRegisterAccess (IN BOOLEAN Handoff)
{
  // At the hand-off the interface is always located afresh (a service can
  // go away without a notification); otherwise only after a reinstallation,
  // and only while the caller may still locate protocols.
  EFI_BOOT_SERVICES *BootServices = nullptr;
  if (Handoff) {
    BootServices = LiveBootServices (DriverContext.SystemTable);
  } else if (mRegAccessStale) {
    BootServices = BootServicesUpToNotify (DriverContext.SystemTable);
  }
  if (BootServices != nullptr) {
    LocateRegisterAccess (BootServices);
  }
  return RegAccess;
}

EFI_STATUS WatchdogReady ()
{
  if (mWdtPublished) {
    // The service was installed again: publish nothing more, but do not
    // trust the interface taken before.
    mRegAccessStale = true;
    return EFI_SUCCESS;
  }
  if (RegAccess == nullptr) {
    EFI_STATUS Status = LocateRegisterAccess (mWdtBootServices);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }
  mWdtPublished = true;

  // From here on everything is best effort: the watchdog is usable even
  // when the variable or the hook could not be set up.
  EFI_HANDLE Handle = nullptr;
  mWdtBootServices->InstallMultipleProtocolInterfaces (&Handle, &mWatchdogControlGuid, &mWatchdogControl, nullptr);

  UINT16 StatusWord = ReadStatusWord ();
  mWdtRuntimeServices->SetVariable (mStatusName.Text, &mSetupVariableGuid,
                                    EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
                                    sizeof StatusWord, &StatusWord);

  Hook->Register (DriverContext.ImageHandle, DriverContext.SystemTable, kHookCodeStop, StopCallback);

  EFI_EVENT  Event;
  EFI_STATUS Status = mWdtBootServices->CreateEventEx (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OsHandoffNotify, nullptr,
                                                       &mExitBootServicesGroup, &Event);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  return mWdtBootServices->CreateEventEx (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OsHandoffNotify, nullptr,
                                          &mLegacyBootGroup, &Event);
}

extern "C" EFI_STATUS EFIAPI WdtControlEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  DriverContext       = {ImageHandle, SystemTable};
  mWdtBootServices    = SystemTable->BootServices;
  mWdtRuntimeServices = SystemTable->RuntimeServices;

  // A Setup variable shorter than the buffer leaves the rest zero, and so
  // the watchdog disabled.
  UINTN      Size   = sizeof SetupData;
  EFI_STATUS Status = mWdtRuntimeServices->GetVariable (mSetupName.Text, &mSetupVariableGuid, nullptr, &Size,
                                                        SetupData);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = mWdtBootServices->LocateProtocol (&mHookRegistrationGuid, nullptr, reinterpret_cast<VOID **> (&Hook));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  if (Hook == nullptr) {
    return EFI_NOT_FOUND;  // a service without an interface is no service
  }

  Status = mWdtBootServices->LocateProtocol (&mRegisterAccessGuid, nullptr, reinterpret_cast<VOID **> (&RegAccess));
  if (!EFI_ERROR (Status) && RegAccess != nullptr) {
    WatchdogReady ();
    return EFI_SUCCESS;
  }
  RegAccess = nullptr;
  return RegisterProtocolNotification (mWdtBootServices, &mRegisterAccessGuid, WatchdogReadyNotify,
                                       &mRegAccessRegistration);
}
