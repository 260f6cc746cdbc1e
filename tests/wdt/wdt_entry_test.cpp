// SPDX-License-Identifier: BSD-2-Clause-Patent
// WdtControl start-up: reading Setup, waiting for the register-access
// service, and what gets published once it is there.
#include "tests/wdt/WdtTest.h"

#include <optional>

using namespace wdttest;

namespace {

void ExpectNothingPublished (const Platform &P)
{
  EXPECT_TRUE (P.Fw.HandlesWith (kWatchdogGuid).empty ());
  EXPECT_EQ (P.StatusVariable (), nullptr);
  EXPECT_TRUE (P.Fw.EventsInGroup (kExitBootGroup).empty ());
  EXPECT_TRUE (P.Fw.EventsInGroup (kLegacyGroup).empty ());
  EXPECT_TRUE (P.HookService.Calls.empty ());
  EXPECT_TRUE (P.Regs.Log.empty ());
}

TEST (WdtEntry, PublishesAtOnceWhenRegisterAccessIsPresent)
{
  Platform P;
  P.SetRegister (kGateRegister, 0x01);
  P.SetRegister (kTimeoutRegister, 30);

  ASSERT_EQ (P.Start (30), EFI_SUCCESS);

  EXPECT_EQ (DriverContext.ImageHandle, P.Image);
  EXPECT_EQ (DriverContext.SystemTable, &P.Fw.SystemTable);
  auto Handles = P.Fw.HandlesWith (kWatchdogGuid);
  ASSERT_EQ (Handles.size (), 1u);
  EXPECT_NE (Handles[0], P.Image) << "installed on a handle of its own";
  EXPECT_EQ (P.Protocol (), &mWatchdogControl);

  const sim::Variable *Status = P.StatusVariable ();
  ASSERT_NE (Status, nullptr);
  EXPECT_EQ (Status->Attributes, 6u);
  EXPECT_EQ (Status->Data, (std::vector<UINT8>{0x3D, 0x00}));

  ASSERT_EQ (P.HookService.Calls.size (), 1u);
  const auto &Call = P.HookService.Calls[0];
  EXPECT_EQ (Call.ImageHandle, P.Image);
  EXPECT_EQ (Call.SystemTable, &P.Fw.SystemTable);
  EXPECT_EQ (Call.Code, 2u);
  EXPECT_EQ (Call.Routine, &StopCallback);

  // Exit of boot services first, then legacy boot; then the notification
  // through which a replacement of the register-access service is heard of.
  using sim::Service;
  std::vector<sim::ServiceCall> EventCalls;
  for (const auto &C : P.Fw.Calls) {
    if (C.Called == Service::CreateEvent || C.Called == Service::CreateEventEx ||
        C.Called == Service::RegisterProtocolNotify) {
      EventCalls.push_back (C);
    }
  }
  EXPECT_EQ (EventCalls, (std::vector<sim::ServiceCall>{{Service::CreateEventEx, kExitBootGroup},
                                                        {Service::CreateEventEx, kLegacyGroup},
                                                        {Service::CreateEvent},
                                                        {Service::RegisterProtocolNotify, kRegAccessGuid}}));
  ASSERT_EQ (P.Fw.Notifications.size (), 1u);
  EXPECT_EQ (P.Fw.Notifications[0].second->Tpl, static_cast<EFI_TPL> (TPL_CALLBACK));
  for (const auto *Group : {&kExitBootGroup, &kLegacyGroup}) {
    auto Events = P.Fw.EventsInGroup (*Group);
    ASSERT_EQ (Events.size (), 1u);
    EXPECT_EQ (Events[0]->Type, static_cast<UINT32> (EVT_NOTIFY_SIGNAL));
    EXPECT_EQ (Events[0]->Tpl, static_cast<EFI_TPL> (TPL_CALLBACK));
    EXPECT_EQ (Events[0]->Notify, &OsHandoffNotify);
    EXPECT_EQ (Events[0]->Context, nullptr);
  }
}

struct StatusWordCase {
  UINT8  Gate, Mode, Control, Timeout;
  UINT16 Expected;
};

class WdtStatusWord : public ::testing::TestWithParam<StatusWordCase> {};

TEST_P (WdtStatusWord, IsGateBitZeroPlusTwiceTheTimeoutRegister)
{
  const auto &C = GetParam ();
  Platform    P;
  P.SetRegister (kGateRegister, C.Gate);
  P.SetRegister (kModeRegister, C.Mode);
  P.SetRegister (kControlRegister, C.Control);
  P.SetRegister (kTimeoutRegister, C.Timeout);

  ASSERT_EQ (P.Start (1), EFI_SUCCESS);

  ASSERT_NE (P.StatusVariable (), nullptr);
  EXPECT_EQ (P.StatusVariable ()->Data,
             (std::vector<UINT8>{static_cast<UINT8> (C.Expected), static_cast<UINT8> (C.Expected >> 8)}));
  EXPECT_EQ (P.Regs.Log, StatusLog (C.Gate, C.Mode, C.Control, C.Timeout));
}

INSTANTIATE_TEST_SUITE_P (Registers, WdtStatusWord,
                          ::testing::Values (StatusWordCase{0x01, 0x00, 0x00, 30, 61},
                                             StatusWordCase{0x01, 0xFF, 0xFF, 30, 61},
                                             StatusWordCase{0x01, 0x01, 0x02, 30, 61},
                                             StatusWordCase{0xFE, 0xFF, 0xFF, 30, 60},
                                             StatusWordCase{0xFF, 0x00, 0x00, 0xFF, 511},
                                             StatusWordCase{0x00, 0x00, 0x00, 0x00, 0}));

TEST (WdtEntry, FailedStatusReadCountsAsZero)
{
  Platform P;
  P.SetRegister (kGateRegister, 0x01);
  P.SetRegister (kTimeoutRegister, 30);
  P.Regs.ReadStatus[Key (kTimeoutRegister)] = EFI_DEVICE_ERROR;

  ASSERT_EQ (P.Start (1), EFI_SUCCESS);

  ASSERT_NE (P.StatusVariable (), nullptr);
  EXPECT_EQ (P.StatusVariable ()->Data, (std::vector<UINT8>{0x01, 0x00}));
}

class WdtOversizedSetup : public ::testing::TestWithParam<size_t> {};

TEST_P (WdtOversizedSetup, FailsTheLoadBeforeAnythingElse)
{
  Platform P;
  P.SetSetup (30, GetParam ());
  P.HookService.Install (P.Fw);
  P.Regs.Install (P.Fw);
  P.Fw.Calls.clear ();

  EXPECT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), EFI_BUFFER_TOO_SMALL);

  EXPECT_EQ (P.Fw.Calls, (std::vector<sim::ServiceCall>{{sim::Service::GetVariable, kSetupGuid}}));
  ExpectNothingPublished (P);
  EXPECT_TRUE (P.Fw.Events ().empty ());
}

INSTANTIATE_TEST_SUITE_P (Sizes, WdtOversizedSetup, ::testing::Values (411u, 600u),
                          ::testing::PrintToStringParamName ());

struct LoadFailureCase {
  const char *Name;
  bool        SetupPresent;
  bool        HookPresent;
  std::optional<sim::Service> FailService;  // none: no rule
  EFI_STATUS  Expected;
  bool        HookWithoutInterface = false;  // the hook GUID installed with a NULL interface
};

class WdtLoadFailure : public ::testing::TestWithParam<LoadFailureCase> {};

TEST_P (WdtLoadFailure, ReturnsTheStatusAndLeavesNothingBehind)
{
  const auto &C = GetParam ();
  Platform    P;
  if (C.SetupPresent) {
    P.SetSetup (30);
  }
  if (C.HookPresent) {
    P.HookService.Install (P.Fw);
  }
  if (C.HookWithoutInterface) {
    P.Fw.Install (kHookGuid, nullptr);
  }
  P.Regs.Install (P.Fw);
  if (C.FailService) {
    P.Fw.FailWith (*C.FailService, C.Expected);
  }

  EXPECT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), C.Expected);

  ExpectNothingPublished (P);
  EXPECT_TRUE (P.Fw.Events ().empty ());
  EXPECT_TRUE (P.Fw.Notifications.empty ());
}

INSTANTIATE_TEST_SUITE_P (
  Causes, WdtLoadFailure,
  ::testing::Values (LoadFailureCase{"NoSetup", false, true, {}, EFI_NOT_FOUND},
                     LoadFailureCase{"GetVariableFails", true, true, sim::Service::GetVariable, EFI_DEVICE_ERROR},
                     LoadFailureCase{"NoHookService", true, false, {}, EFI_NOT_FOUND},
                     LoadFailureCase{"HookWithoutInterface", true, false, {}, EFI_NOT_FOUND, true}), CaseName ());

struct NotifySetupCase {
  const char  *Name;
  sim::Service FailService;
  EFI_STATUS   Status;
  bool         ServicePresent = false;  // the register-access service there at entry
};

class WdtNotificationSetup : public ::testing::TestWithParam<NotifySetupCase> {};

// A failing notification set-up fails the load while the driver still
// waits for the register-access service; with the service there, the
// watchdog is published and the load succeeds.
TEST_P (WdtNotificationSetup, FailsLoadOnlyWithoutRegisterAccess)
{
  const auto &C = GetParam ();
  Platform    P;
  P.SetSetup (30);
  P.HookService.Install (P.Fw);
  if (C.ServicePresent) {
    P.Regs.Install (P.Fw);
  }
  P.Fw.FailWith (C.FailService, C.Status);

  EXPECT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), C.ServicePresent ? EFI_SUCCESS : C.Status);
  if (C.ServicePresent) {
    EXPECT_EQ (P.Fw.HandlesWith (kWatchdogGuid).size (), 1u);
  } else {
    ExpectNothingPublished (P);
  }
}

INSTANTIATE_TEST_SUITE_P (Services, WdtNotificationSetup,
                          ::testing::Values (NotifySetupCase{"CreateEvent", sim::Service::CreateEvent, EFI_OUT_OF_RESOURCES},
                                             NotifySetupCase{"RegisterProtocolNotify",
                                                             sim::Service::RegisterProtocolNotify,
                                                             EFI_INVALID_PARAMETER},
                                             NotifySetupCase{"CreateEventServicePresent", sim::Service::CreateEvent,
                                                             EFI_OUT_OF_RESOURCES, true},
                                             NotifySetupCase{"RegisterProtocolNotifyServicePresent",
                                                             sim::Service::RegisterProtocolNotify,
                                                             EFI_INVALID_PARAMETER, true}), CaseName ());

TEST (WdtEntry, LateRegisterAccessPublishesOnlyWhenInstalledAndOnlyOnce)
{
  Platform P;
  P.SetSetup (30);
  P.HookService.Install (P.Fw);
  P.SetRegister (kGateRegister, 0x01);
  P.SetRegister (kTimeoutRegister, 30);

  ASSERT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), EFI_SUCCESS);
  ExpectNothingPublished (P);
  ASSERT_EQ (P.Fw.Notifications.size (), 1u);
  EXPECT_TRUE (P.Fw.Notifications[0].first == kRegAccessGuid);
  EXPECT_EQ (P.Fw.Notifications[0].second->Type, static_cast<UINT32> (EVT_NOTIFY_SIGNAL));
  EXPECT_EQ (P.Fw.Notifications[0].second->Tpl, static_cast<EFI_TPL> (TPL_CALLBACK));

  P.Regs.Install (P.Fw);

  EXPECT_EQ (RegAccess, &P.Regs.Protocol);
  EXPECT_EQ (P.Fw.HandlesWith (kWatchdogGuid).size (), 1u);
  ASSERT_NE (P.StatusVariable (), nullptr);
  EXPECT_EQ (P.StatusVariable ()->Data, (std::vector<UINT8>{0x3D, 0x00}));
  EXPECT_EQ (P.HookService.Calls.size (), 1u);
  EXPECT_EQ (P.Fw.EventsInGroup (kExitBootGroup).size (), 1u);
  EXPECT_EQ (P.Fw.EventsInGroup (kLegacyGroup).size (), 1u);

  // A second instance of the service changes nothing: one protocol, one
  // pair of events, so one arming per handoff. The notification only
  // locates the service.
  const size_t Calls = P.Fw.Calls.size ();
  const size_t Accesses = P.Regs.Log.size ();
  P.Regs.Install (P.Fw);
  EXPECT_EQ (std::vector<sim::ServiceCall> (P.Fw.Calls.begin () + static_cast<long> (Calls), P.Fw.Calls.end ()),
             (std::vector<sim::ServiceCall>{{sim::Service::LocateProtocol, kRegAccessGuid}}));
  EXPECT_EQ (P.Regs.Log.size (), Accesses);
  EXPECT_EQ (P.Fw.HandlesWith (kWatchdogGuid).size (), 1u);
  EXPECT_EQ (P.HookService.Calls.size (), 1u);

  P.Regs.Log.clear ();
  P.Fw.SignalGroup (kExitBootGroup);
  EXPECT_EQ (P.Regs.Log, ArmLog (30, 0x01, 0x00, 0x00));
}

// The hook service uninstalled while the driver waits for register
// access, and maybe replaced: the registration goes to the service
// installed when the watchdog is published, or is skipped when there is
// none; everything else is published as usual.
unsigned mStaleHookCalls;
EFI_STATUS EFIAPI StaleHookRegister (EFI_HANDLE, EFI_SYSTEM_TABLE *, UINT32, HOOK_ROUTINE)
{
  return ++mStaleHookCalls, EFI_SUCCESS;
}

struct HookGoneCase {
  const char *Name;
  bool        Replaced;
};

class WdtHookGoneWhileWaiting : public ::testing::TestWithParam<HookGoneCase> {};

TEST_P (WdtHookGoneWhileWaiting, RegistersOnlyWithTheServiceInstalledAtPublishing)
{
  const bool Replaced = GetParam ().Replaced;
  Platform   P;
  mStaleHookCalls = 0;
  P.SetSetup (30);
  P.HookService.Install (P.Fw);
  ASSERT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), EFI_SUCCESS);
  HOOK_REGISTRATION_PROTOCOL Fresh = P.HookService.Protocol;
  P.HookService.Protocol           = {StaleHookRegister};
  P.Fw.UninstallAll (kHookGuid);
  if (Replaced) {
    P.Fw.Install (kHookGuid, &Fresh);
  }

  P.Regs.Install (P.Fw);

  EXPECT_EQ (mStaleHookCalls, 0u);
  EXPECT_EQ (P.HookService.Calls.size (), Replaced ? 1u : 0u);
  EXPECT_NE (P.Protocol (), nullptr);
  EXPECT_NE (P.StatusVariable (), nullptr);
  EXPECT_EQ (P.Fw.EventsInGroup (kExitBootGroup).size (), 1u);
  EXPECT_EQ (P.Fw.EventsInGroup (kLegacyGroup).size (), 1u);
}

INSTANTIATE_TEST_SUITE_P (Hooks, WdtHookGoneWhileWaiting,
                          ::testing::Values (HookGoneCase{"Replaced", true}, HookGoneCase{"Gone", false}), CaseName ());

TEST (WdtEntry, FailedExitBootServicesEventSkipsTheLegacyBootEvent)
{
  Platform P;
  P.Fw.FailWith (sim::Service::CreateEventEx, kExitBootGroup, EFI_OUT_OF_RESOURCES);

  EXPECT_EQ (P.Start (30), EFI_SUCCESS);

  EXPECT_EQ (P.Fw.CountCalls (sim::Service::CreateEventEx), 1u);
  EXPECT_TRUE (P.Fw.EventsInGroup (kLegacyGroup).empty ());
  EXPECT_NE (P.Protocol (), nullptr);
}

}  // namespace
