// SPDX-License-Identifier: BSD-2-Clause-Patent
// WdtControl through every life its two platform services may have: a
// Setup variable of any size and timeout, the hook and register-access
// services present at entry or not, then installed, uninstalled and
// replaced (on a handle of their own or in place) in any order, also from
// inside the publishing of the watchdog, between Start, Stop and hook-stop
// calls at every TPL, with the TPL held up so that the driver's
// notification waits, legacy boots and the hand-off. The services are
// three register-access tables over one register file and two hook
// tables; each input starts with the driver's globals as loaded.
//
// Checked all along:
// - A hook table is called only while installed. A register-access table
//   is called only while installed, or, above TPL_NOTIFY, when the driver
//   has not looked for the service since the table was uninstalled (UEFI
//   reports no uninstall, and nothing may be located there).
// - The register traffic is made of whole known sequences (arm, stop, the
//   status word's reads once), and WdtControlStatus holds the word read.
// - A Start or Stop at or below TPL_NOTIFY runs its sequence when a
//   register-access service is installed and touches nothing otherwise;
//   at any level its status agrees with its traffic.
// - No boot service limited to TPL_NOTIFY is called above it; the load
//   fails only as it should, leaving nothing behind, and the watchdog is
//   published at most once, with one event per hand-off group.
#include "sim/DriverData.h"
#include "sim/SimFirmware.h"
#include "tests/wdt/WdtLogs.h"

#include "fuzz/FuzzInput.h"

#include <cstdlib>
#include <memory>

using namespace wdttest;

namespace {

constexpr unsigned kRegTables  = 3;
constexpr unsigned kHookTables = 2;
constexpr EFI_TPL  kCallTpls[] = {TPL_APPLICATION, TPL_CALLBACK, TPL_NOTIFY, TPL_HIGH_LEVEL};

[[noreturn]] void Fail () { std::abort (); }

struct Harness {
  sim::SimFirmware         Fw;
  sim::SimRegisterAccess   Hardware;  // the register file and log behind every table; its own table never installed
  sim::SimHookRegistration HookService;
  EFI_HANDLE               Image = Fw.CreateImage (u"\\WdtControl.efi");
  REGISTER_ACCESS_PROTOCOL RegTables[kRegTables]{};
  HOOK_REGISTRATION_PROTOCOL HookTables[kHookTables]{};
  size_t                   RegGoneAt[kRegTables]{};  // Fw.Calls's size when the table was last uninstalled
  UINT8                    OnPublish = 0;            // the change made while the watchdog is being published
  int                      StatusWord = -1;          // the word read while publishing, when it was read
};

Harness *mH;

EFI_HANDLE HandleOf (const EFI_GUID &Guid, VOID *Table)
{
  for (EFI_HANDLE Handle : mH->Fw.HandlesWith (Guid)) {
    if (mH->Fw.FindOn (Handle, Guid) == Table) {
      return Handle;
    }
  }
  return nullptr;
}

void CheckRegTable (unsigned I)
{
  auto &F = mH->Fw;
  if (HandleOf (kRegAccessGuid, &mH->RegTables[I]) != nullptr) {
    return;
  }
  if (F.CurrentTpl <= TPL_NOTIFY) Fail ();
  for (size_t K = mH->RegGoneAt[I]; K < F.Calls.size (); ++K) {
    if (F.Calls[K].Called == sim::Service::LocateProtocol && F.Calls[K].Guid == kRegAccessGuid) Fail ();
  }
}

template <unsigned I>
EFI_STATUS EFIAPI TableRead (VOID *Context, UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 *Value)
{
  CheckRegTable (I);
  return mH->Hardware.Protocol.Read (Context, Type, Bank, Register, Value);
}

template <unsigned I>
EFI_STATUS EFIAPI TableWrite (VOID *Context, UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 Value)
{
  CheckRegTable (I);
  return mH->Hardware.Protocol.Write (Context, Type, Bank, Register, Value);
}

template <unsigned I>
EFI_STATUS EFIAPI TableRegister (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINT32 Code,
                                 HOOK_ROUTINE Routine)
{
  if (HandleOf (kHookGuid, &mH->HookTables[I]) == nullptr) Fail ();
  return mH->HookService.Protocol.Register (ImageHandle, SystemTable, Code, Routine);
}

bool RegAccessInstalled ()
{
  for (auto &Table : mH->RegTables) {
    if (HandleOf (kRegAccessGuid, &Table) != nullptr) return true;
  }
  return false;
}

// Installs table A, uninstalls it, or replaces it in place with table B,
// of the register-access or the hook service, as Arg says.
void ChangeService (bool Hook, UINT8 Arg)
{
  const EFI_GUID &Guid   = Hook ? kHookGuid : kRegAccessGuid;
  const unsigned  Tables = Hook ? kHookTables : kRegTables;
  const unsigned  A = (Arg / 3) % Tables, B = (Arg / 9) % Tables;
  VOID *TableA = Hook ? static_cast<VOID *> (&mH->HookTables[A]) : &mH->RegTables[A];
  VOID *TableB = Hook ? static_cast<VOID *> (&mH->HookTables[B]) : &mH->RegTables[B];
  EFI_HANDLE Where = HandleOf (Guid, TableA);
  switch (Arg % 3) {
    case 0:
      if (Where == nullptr) mH->Fw.Install (Guid, TableA);
      return;
    case 1:
      if (Where == nullptr) return;
      mH->Fw.Uninstall (Where, Guid);
      break;
    default:
      if (Where == nullptr || HandleOf (Guid, TableB) != nullptr) return;
      if (!Hook) mH->RegGoneAt[A] = mH->Fw.Calls.size ();  // before the notification looks
      mH->Fw.Reinstall (Where, Guid, TableB);
      return;
  }
  if (!Hook) mH->RegGoneAt[A] = mH->Fw.Calls.size ();
}

VOID EFIAPI ChangeOnPublish (EFI_EVENT, VOID *) { ChangeService ((mH->OnPublish & 0x80) != 0, mH->OnPublish & 0x7F); }

// Splits the log from From on into known sequences; Timeout is the one an
// arming must write. Returns how many arm and stop sequences it found.
struct Traffic {
  unsigned Arms = 0, Stops = 0;
};

bool Matches (const Log &L, size_t At, const Log &Want)
{
  if (L.size () - At < Want.size ()) return false;
  for (size_t I = 0; I < Want.size (); ++I) {
    if (!(L[At + I] == Want[I])) return false;
  }
  return true;
}

Traffic Parse (size_t From, UINT8 Timeout)
{
  const Log &L = mH->Hardware.Log;
  Traffic    T;
  for (size_t At = From; At < L.size ();) {
    auto V = [&] (size_t K) { return At + K < L.size () ? L[At + K].Value : UINT8{0}; };
    if (Matches (L, At, ArmLog (Timeout, V (0), V (2), V (4))) && Timeout != 0) {
      ++T.Arms;
      At += 13;
    } else if (Matches (L, At, StopLog (V (0), V (2)))) {
      ++T.Stops;
      At += 5;
    } else if (Matches (L, At, StatusLog (V (0), V (1), V (2), V (3))) && mH->StatusWord < 0) {
      mH->StatusWord = (V (0) & 1) + 2 * V (3);
      At += 4;
    } else {
      Fail ();
    }
  }
  return T;
}

EFI_STATUS CallAt (EFI_TPL Tpl, UINT8 Which)
{
  auto         &F   = mH->Fw;
  const EFI_TPL Old = F.BootServices.RaiseTPL (Tpl > F.CurrentTpl ? Tpl : F.CurrentTpl);
  EFI_STATUS    Status = EFI_SUCCESS;
  switch (Which) {
    case 0: Status = mWatchdogControl.Start (&mWatchdogControl); break;
    case 1: Status = mWatchdogControl.Stop (&mWatchdogControl); break;
    default: mH->HookService.Fire (); break;
  }
  F.BootServices.RestoreTPL (Old);
  return Status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize (int *, char ***)
{
  sim::KeepLoadedDriverData ();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  sim::ReloadDriverData ();
  FuzzInput In (Data, Size);
  auto      Owner = std::make_unique<Harness> ();
  mH              = Owner.get ();
  auto &F         = mH->Fw;
  mH->RegTables[0] = {TableRead<0>, TableWrite<0>};
  mH->RegTables[1] = {TableRead<1>, TableWrite<1>};
  mH->RegTables[2] = {TableRead<2>, TableWrite<2>};
  mH->HookTables[0] = {TableRegister<0>};
  mH->HookTables[1] = {TableRegister<1>};

  // Setup: absent, or of any size up to a little over the buffer, holding
  // the timeout when it reaches that far.
  const UINT16 SetupSize = In.Take<UINT16> ();
  const UINT8  Fill = In.Take<UINT8> (), Timeout = In.Take<UINT8> ();
  const bool   SetupPresent = SetupSize != 0xFFFF;
  const size_t Bytes        = SetupSize % (WDT_SETUP_DATA_SIZE + 16);
  if (SetupPresent) {
    std::vector<UINT8> Setup (Bytes, Fill);
    if (Bytes > WDT_SETUP_TIMEOUT_OFFSET) Setup[WDT_SETUP_TIMEOUT_OFFSET] = Timeout;
    F.SetVariableData (u"Setup", kSetupGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Setup);
  }
  const UINT8 Armed = Bytes > WDT_SETUP_TIMEOUT_OFFSET ? Timeout : 0;
  for (const REGISTER_ID *R : {&kGateRegister, &kModeRegister, &kControlRegister, &kTimeoutRegister}) {
    mH->Hardware.Set (R->Type, R->Bank, R->Register, In.Take<UINT8> ());
  }

  bool    Loaded = false;
  EFI_TPL Raised[4];
  size_t  Depth = 0;
  auto    RestoreAll = [&] {
    while (Depth > 0) F.BootServices.RestoreTPL (Raised[--Depth]);
  };
  // A few dozen steps reach every state the driver has; longer inputs
  // would only slow the search down.
  constexpr unsigned kMaxSteps = 64;
  bool               Ended = false;
  for (unsigned Step = 0; !Ended; ++Step) {
    const bool  More = In.RestSize () > 0 && Step < kMaxSteps;
    const UINT8 Op = In.Take<UINT8> (), Arg = In.Take<UINT8> ();
    const unsigned Kind = More ? Op % 8 : 8;
    if (!Loaded && Kind >= 2) {
      // The driver is loaded once its services are as the ops so far made them.
      const bool HookThere = HandleOf (kHookGuid, &mH->HookTables[0]) != nullptr ||
                             HandleOf (kHookGuid, &mH->HookTables[1]) != nullptr;
      const EFI_STATUS Want = !SetupPresent                   ? EFI_NOT_FOUND
                              : Bytes > WDT_SETUP_DATA_SIZE   ? EFI_BUFFER_TOO_SMALL
                              : !HookThere                    ? EFI_NOT_FOUND
                                                              : EFI_SUCCESS;
      const size_t     From = mH->Hardware.Log.size ();
      if (WdtControlEntryPoint (mH->Image, &F.SystemTable) != Want) Fail ();
      if (EFI_ERROR (Want)) {
        if (!F.HandlesWith (kWatchdogGuid).empty () || !F.Notifications.empty () || !F.Events ().empty () ||
            !mH->HookService.Calls.empty () || !mH->Hardware.Log.empty () ||
            F.FindVariable (u"WdtControlStatus", kSetupGuid) != nullptr) {
          Fail ();
        }
        return 0;
      }
      Parse (From, Armed);
      UINT8 Enabled = 0xEE;
      if (mWatchdogControl.GetState (&mWatchdogControl, &Enabled) != EFI_SUCCESS || Enabled != (Armed != 0)) Fail ();
      Loaded = true;
    }
    const size_t From = mH->Hardware.Log.size ();
    Traffic      T;
    switch (Kind) {
      case 0:
      case 1:
        ChangeService (Kind == 1, Arg);
        T = Parse (From, Armed);
        break;
      case 2:
      case 3:
      case 4: {
        const EFI_TPL    Tpl        = kCallTpls[Arg % 4];
        const EFI_TPL    Level      = Tpl > F.CurrentTpl ? Tpl : F.CurrentTpl;
        const bool       ServiceNow = RegAccessInstalled ();
        const size_t     Routines   = mH->HookService.Calls.size ();
        const EFI_STATUS Status     = CallAt (Tpl, static_cast<UINT8> (Kind - 2));
        T = Parse (From, Armed);
        if (Routines > 1) Fail ();
        const bool Refused = Kind == 2 && Armed == 0;
        const unsigned Ran = Kind == 2 ? T.Arms : T.Stops;
        if (Kind == 2 ? T.Stops != 0 : T.Arms != 0) Fail ();
        if (Kind != 4) {
          if (Refused ? Status != EFI_INVALID_PARAMETER || Ran != 0
                      : Ran != (Status == EFI_SUCCESS ? 1u : 0u) || (Ran == 0 && Status != EFI_NOT_READY)) {
            Fail ();
          }
        } else if (Ran > Routines) {
          Fail ();
        }
        if (Level <= TPL_NOTIFY && !Refused && (Kind != 4 || Routines == 1) && Ran != (ServiceNow ? 1u : 0u)) Fail ();
        break;
      }
      case 5:
        if ((Arg & 1) != 0 || Depth == 4) {
          if (Depth > 0) F.BootServices.RestoreTPL (Raised[--Depth]);
        } else {
          const EFI_TPL Tpl = (Arg & 2) != 0 ? TPL_NOTIFY : TPL_CALLBACK;
          if (Tpl >= F.CurrentTpl) Raised[Depth++] = F.BootServices.RaiseTPL (Tpl);
        }
        T = Parse (From, Armed);
        break;
      case 6:
        // The next publishing of the watchdog makes a change from inside,
        // at TPL_NOTIFY, so that it interrupts the driver's notification.
        mH->OnPublish = Arg;
        F.Notifications.push_back ({kWatchdogGuid, static_cast<sim::SimEvent *> (F.NewEvent (TPL_NOTIFY, ChangeOnPublish))});
        break;
      default: {  // a legacy boot, the hand-off, or the end of the input (also a hand-off)
        RestoreAll ();  // may run the driver's notification, and so publish
        Parse (From, Armed);
        const bool Published  = !F.HandlesWith (kWatchdogGuid).empty ();
        const bool ServiceNow = RegAccessInstalled ();
        const bool Handoff    = Kind == 8 || (Arg & 1) != 0;
        const size_t Mark     = mH->Hardware.Log.size ();
        if (Handoff) {
          F.BootServices.ExitBootServices (mH->Image, 0);
          Ended = true;
        } else {
          F.SignalGroup (kLegacyGroup);
        }
        T = Parse (Mark, Armed);
        const unsigned Want = Published && ServiceNow ? 1 : 0;
        if ((Armed != 0 ? T.Arms : T.Stops) != Want || (Armed != 0 ? T.Stops : T.Arms) != 0) Fail ();
        break;
      }
    }
  }

  // Published once at most, with its two events, and the word it read.
  const size_t Published = F.HandlesWith (kWatchdogGuid).size ();
  if (Published > 1 || F.EventsInGroup (kExitBootGroup).size () != Published ||
      F.EventsInGroup (kLegacyGroup).size () != Published || mH->HookService.Calls.size () > Published) {
    Fail ();
  }
  const sim::Variable *Status = F.FindVariable (u"WdtControlStatus", kSetupGuid);
  if ((Status != nullptr) != (Published == 1)) Fail ();
  if (Status != nullptr) {
    const int Word = mH->StatusWord < 0 ? 0 : mH->StatusWord;
    if (Status->Attributes != 6 || Status->Data != std::vector<UINT8>{static_cast<UINT8> (Word), static_cast<UINT8> (Word >> 8)}) {
      Fail ();
    }
  }
  if (F.CallsAboveNotify != 0) Fail ();
  mH = nullptr;
  return 0;
}
