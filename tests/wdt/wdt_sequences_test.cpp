// SPDX-License-Identifier: BSD-2-Clause-Patent
// The watchdog's register sequences, its control protocol, the hook's stop
// routine and the OS-handoff events.
#include "tests/wdt/WdtTest.h"

using namespace wdttest;

namespace {

// Values that show every mask whole: a set bit elsewhere where bits are
// set, all ones where bits are cleared. The control register gets both
// kinds of step, so each test picks its value.
void SeedRegisters (Platform &P, UINT8 Control)
{
  P.SetRegister (kGateRegister, 0x40);
  P.SetRegister (kModeRegister, 0xFF);
  P.SetRegister (kControlRegister, Control);
  P.SetRegister (kTimeoutRegister, 0x10);
}

TEST (WdtProtocol, StartArmsWithTheSetupTimeoutInExactOrder)
{
  Platform P;
  SeedRegisters (P, 0x40);
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.Log.clear ();

  EXPECT_EQ (P.Protocol ()->Start (P.Protocol ()), EFI_SUCCESS);

  EXPECT_EQ (P.Regs.Log, ArmLog (45, 0x40, 0xFF, 0x40));
  EXPECT_EQ (P.GetRegister (kTimeoutRegister), 45);
}

TEST (WdtProtocol, StopIsTwoReadsAndThreeWrites)
{
  Platform P;
  SeedRegisters (P, 0xFF);
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.Log.clear ();

  EXPECT_EQ (P.Protocol ()->Stop (P.Protocol ()), EFI_SUCCESS);

  EXPECT_EQ (P.Regs.Log, StopLog (0x40, 0xFF));
  EXPECT_EQ (P.GetRegister (kModeRegister), 0xFF) << "stop leaves the mode register alone";
}

TEST (WdtProtocol, HookRoutineStops)
{
  Platform P;
  SeedRegisters (P, 0xFF);
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.Log.clear ();

  P.HookService.Fire ();

  EXPECT_EQ (P.Regs.Log, StopLog (0x40, 0xFF));
}

struct WriteFailureCase {
  const char  *Name;
  REGISTER_ID Register;
  EFI_STATUS  Start, Stop;
};

class WdtWriteFailure : public ::testing::TestWithParam<WriteFailureCase> {};

// Only the final timeout write decides the result; the sequence always runs to the end.
TEST_P (WdtWriteFailure, ResultIsTheStatusOfTheFinalWrite)
{
  const auto &C = GetParam ();
  Platform    P;
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.WriteStatus[Key (C.Register)] = EFI_DEVICE_ERROR;
  P.Regs.Log.clear ();

  EXPECT_EQ (P.Protocol ()->Start (P.Protocol ()), C.Start);
  EXPECT_EQ (P.Regs.Log.size (), 13u);
  EXPECT_EQ (P.Protocol ()->Stop (P.Protocol ()), C.Stop);
  EXPECT_EQ (P.Regs.Log.size (), 18u);
}

INSTANTIATE_TEST_SUITE_P (
  Registers, WdtWriteFailure,
  ::testing::Values (WriteFailureCase{"Timeout", kTimeoutRegister, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},
                     WriteFailureCase{"Gate", kGateRegister, EFI_SUCCESS, EFI_SUCCESS},
                     WriteFailureCase{"Key", kKeyRegister, EFI_SUCCESS, EFI_SUCCESS},
                     WriteFailureCase{"Counter", kCounterRegister, EFI_SUCCESS, EFI_SUCCESS}), CaseName ());

TEST (WdtProtocol, FailedReadWritesOnlyTheStepsOwnBits)
{
  Platform P;
  SeedRegisters (P, 0xFF);
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.ReadStatus[Key (kGateRegister)] = EFI_DEVICE_ERROR;
  P.Regs.ReadStatus[Key (kControlRegister)] = EFI_DEVICE_ERROR;
  P.Regs.Log.clear ();

  P.Protocol ()->Start (P.Protocol ());

  EXPECT_EQ (P.Regs.Log, ArmLog (45, 0x00, 0xFF, 0x00));
}

struct SetupCase {
  const char *Name;
  size_t      Size;
  UINT8       Timeout;  // at byte 332, when the variable reaches it
  bool        Armed;
};

class WdtSetupTimeout : public ::testing::TestWithParam<SetupCase> {};

TEST_P (WdtSetupTimeout, DecidesHandoffStartAndState)
{
  const auto &C = GetParam ();
  Platform    P;
  P.SetSetup (C.Timeout, C.Size);
  P.HookService.Install (P.Fw);
  P.Regs.Install (P.Fw);
  ASSERT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), EFI_SUCCESS);
  auto *W = P.Protocol ();
  P.Regs.Log.clear ();

  UINT8 Enabled = 0xEE;
  EXPECT_EQ (W->GetState (W, &Enabled), EFI_SUCCESS);
  EXPECT_EQ (Enabled, C.Armed ? 1 : 0);
  EXPECT_TRUE (P.Regs.Log.empty ());

  P.Fw.SignalGroup (kExitBootGroup);
  EXPECT_EQ (P.Regs.Log, C.Armed ? ArmLog (C.Timeout, 0, 0, 0) : StopLog (0, 0));

  P.Regs.Log.clear ();
  if (C.Armed) {
    EXPECT_EQ (W->Start (W), EFI_SUCCESS);
    EXPECT_EQ (P.Regs.Log.size (), 13u);
  } else {
    EXPECT_EQ (W->Start (W), 0x8000000000000002ULL);
    EXPECT_TRUE (P.Regs.Log.empty ());
  }
}

INSTANTIATE_TEST_SUITE_P (Sizes, WdtSetupTimeout,
                          ::testing::Values (SetupCase{"OneByte", 1, 0, false},
                                             SetupCase{"EndsBeforeTimeout", 332, 0, false},
                                             SetupCase{"TimeoutZero", 410, 0, false},
                                             SetupCase{"EndsAtTimeout", 333, 45, true},
                                             SetupCase{"TimeoutMax", 410, 0xFF, true}), CaseName ());

TEST (WdtProtocol, GetStateRejectsANullResultPointer)
{
  Platform P;
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  EXPECT_EQ (P.Protocol ()->GetState (P.Protocol (), nullptr), EFI_INVALID_PARAMETER);
}

TEST (WdtHandoff, BothGroupsArmTwiceWithTheSameSequence)
{
  Platform P;
  P.SetRegister (kGateRegister, 0x01);  // values arming leaves as they are
  P.SetRegister (kControlRegister, 0x02);
  ASSERT_EQ (P.Start (45), EFI_SUCCESS);
  P.Regs.Log.clear ();

  P.Fw.SignalGroup (kLegacyGroup);
  P.Fw.SignalGroup (kExitBootGroup);

  Log Expected = ArmLog (45, 0x01, 0x00, 0x02);
  const Log Once = Expected;
  Expected.insert (Expected.end (), Once.begin (), Once.end ());
  EXPECT_EQ (P.Regs.Log, Expected);
}

// The register-access service replaced after publishing, whether it was
// there at entry or came later: the old interface is gone (its table now
// traps), a new one is installed. Nothing is published again; a sequence
// goes through the new interface, located afresh at or below TPL_NOTIFY
// and taken from the notification of its installation above. With no
// service left, a sequence touches nothing.
unsigned mStaleCalls;
EFI_STATUS EFIAPI StaleRead (VOID *, UINT8, UINT8, UINT32, UINT8 *) { return ++mStaleCalls, EFI_SUCCESS; }
EFI_STATUS EFIAPI StaleWrite (VOID *, UINT8, UINT8, UINT32, UINT8) { return ++mStaleCalls, EFI_SUCCESS; }

enum class Trigger { Start, Stop, Hook, ExitBootServices, LegacyBoot };
struct ReplacedCase {
  const char *Name;
  Trigger     Run;
  bool        ServiceAfterEntry;  // else present at entry
  bool        NewServiceInstalled;
  bool        Stops;              // the sequence that runs is Stop's
  EFI_TPL     Tpl = TPL_APPLICATION;  // of the call (Start, Stop, Hook)
};

class WdtRegisterAccessReplaced : public ::testing::TestWithParam<ReplacedCase> {};

TEST_P (WdtRegisterAccessReplaced, SequencesUseTheServiceInstalledNow)
{
  const ReplacedCase &C = GetParam ();
  Platform P;
  mStaleCalls = 0;
  P.SetSetup (45);
  P.HookService.Install (P.Fw);
  if (!C.ServiceAfterEntry) {
    P.Regs.Install (P.Fw);
  }
  ASSERT_EQ (WdtControlEntryPoint (P.Image, &P.Fw.SystemTable), EFI_SUCCESS);
  if (C.ServiceAfterEntry) {
    P.Regs.Install (P.Fw);
  }
  REGISTER_ACCESS_PROTOCOL Fresh = P.Regs.Protocol;
  P.Regs.Protocol                = {StaleRead, StaleWrite};
  P.Fw.UninstallAll (kRegAccessGuid);
  if (C.NewServiceInstalled) {
    P.Fw.Install (kRegAccessGuid, &Fresh);
  }
  P.Regs.Log.clear ();

  auto         *W   = &mWatchdogControl;
  const EFI_TPL Old = P.Fw.BootServices.RaiseTPL (C.Tpl);
  EFI_STATUS    Status = EFI_SUCCESS;
  switch (C.Run) {
    case Trigger::Start: Status = W->Start (W); break;
    case Trigger::Stop: Status = W->Stop (W); break;
    case Trigger::Hook: P.HookService.Fire (); break;
    case Trigger::ExitBootServices: P.Fw.BootServices.ExitBootServices (P.Image, 0); break;
    case Trigger::LegacyBoot: P.Fw.SignalGroup (kLegacyGroup); break;
  }
  if (C.Run != Trigger::ExitBootServices) {
    P.Fw.BootServices.RestoreTPL (Old);
  }

  EXPECT_EQ (mStaleCalls, 0u);
  if (!C.NewServiceInstalled) {
    EXPECT_TRUE (P.Regs.Log.empty ());
    EXPECT_EQ (Status, C.Run == Trigger::Start || C.Run == Trigger::Stop ? EFI_NOT_READY : EFI_SUCCESS);
  } else {
    EXPECT_EQ (P.Regs.Log, C.Stops ? StopLog (0, 0) : ArmLog (45, 0, 0, 0));
  }
  EXPECT_EQ (P.Fw.HandlesWith (kWatchdogGuid).size (), 1u);
  EXPECT_EQ (P.HookService.Calls.size (), 1u);
  EXPECT_EQ (P.Fw.EventsInGroup (kExitBootGroup).size (), 1u);
}

INSTANTIATE_TEST_SUITE_P (
  Triggers, WdtRegisterAccessReplaced,
  ::testing::Values (ReplacedCase{"Start", Trigger::Start, true, true, false},
                     ReplacedCase{"Stop", Trigger::Stop, true, true, true},
                     ReplacedCase{"Hook", Trigger::Hook, true, true, true},
                     ReplacedCase{"StartServiceAtEntry", Trigger::Start, false, true, false},
                     ReplacedCase{"StopServiceAtEntry", Trigger::Stop, false, true, true},
                     ReplacedCase{"HookServiceAtEntry", Trigger::Hook, false, true, true},
                     ReplacedCase{"StopWithNoServiceAtEntry", Trigger::Stop, false, false, true},
                     ReplacedCase{"StopAboveNotify", Trigger::Stop, true, true, true, TPL_HIGH_LEVEL},
                     ReplacedCase{"HookAboveNotifyServiceAtEntry", Trigger::Hook, false, true, true, TPL_HIGH_LEVEL},
                     ReplacedCase{"ExitBootServices", Trigger::ExitBootServices, true, true, false},
                     ReplacedCase{"ExitBootServicesServiceAtEntry", Trigger::ExitBootServices, false, true, false},
                     ReplacedCase{"LegacyBootServiceAtEntry", Trigger::LegacyBoot, false, true, false},
                     ReplacedCase{"ExitBootServicesWithNoService", Trigger::ExitBootServices, false, false, false}),
  CaseName ());

}  // namespace
