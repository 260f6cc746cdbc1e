// SPDX-License-Identifier: BSD-2-Clause-Patent
// Register sequences that arm and stop the watchdog, the status word, and
// the WATCHDOG_CONTROL_PROTOCOL that other drivers call.
//
// Every access goes through RegAccess with &DriverContext as Context, one
// byte at a time, in exactly this order ("RMW" = Read, then Write of the
// changed byte; registers.h gives each register's (type, bank, register)):
//
//   Arm (Timeout)                     Stop
//   R  Gate                           R  Gate
//   W  Gate    = read | 0x01          W  Gate    = read | 0x01
//   R  Mode                           R  Control
//   W  Mode    = read & 0xFE          W  Control = read & 0xFC
//   R  Control                        W  Timeout = 0x00
//   W  Control = read | 0x02
//   W  Key     = 0x5C, 0x23, 0x14, 0x08, 0x01 (five writes)
//   W  Counter = 0x00
//   W  Timeout = Timeout
//
//   Status word (at start-up): R Gate, R Mode, R Control, R Timeout;
//   word = bit 0 of Gate + 2 x Timeout.
//
// Arm and Stop return the status of their final write; every other status
// is ignored. A read that fails leaves its byte 0, so the write that
// follows carries only the bits the step itself sets. A sequence, and the
// status word's reads, take the register-access interface installed when
// they start (see CurrentRegisterAccess); with none a sequence touches
// nothing and returns EFI_NOT_READY, and the status word is 0.
#include "wdtcontrol.h"
#include "registers.h"

namespace {

enum class STEP_KIND : UINT8 {
  SetBits,       // RMW: OR Value
  KeepBits,      // RMW: AND Value
  Write,         // write Value
  WriteTimeout,  // write the caller's timeout
};

struct REGISTER_STEP {
  STEP_KIND   Kind;
  REGISTER_ID Reg;
  UINT8       Value;
};

constexpr REGISTER_STEP kArmSequence[] = {
  {STEP_KIND::SetBits,      kGateRegister,    0x01},
  {STEP_KIND::KeepBits,     kModeRegister,    0xFE},
  {STEP_KIND::SetBits,      kControlRegister, 0x02},
  {STEP_KIND::Write,        kKeyRegister,     0x5C},
  {STEP_KIND::Write,        kKeyRegister,     0x23},
  {STEP_KIND::Write,        kKeyRegister,     0x14},
  {STEP_KIND::Write,        kKeyRegister,     0x08},
  {STEP_KIND::Write,        kKeyRegister,     0x01},
  {STEP_KIND::Write,        kCounterRegister, 0x00},
  {STEP_KIND::WriteTimeout, kTimeoutRegister, 0x00},
};

constexpr REGISTER_STEP kDisarmSequence[] = {
  {STEP_KIND::SetBits,  kGateRegister,    0x01},
  {STEP_KIND::KeepBits, kControlRegister, 0xFC},
  {STEP_KIND::Write,    kTimeoutRegister, 0x00},
};

EFI_STATUS ReadRegister (REGISTER_ACCESS_PROTOCOL *Access, const REGISTER_ID &Reg, OUT UINT8 *Value)
{
  return Access->Read (&DriverContext, Reg.Type, Reg.Bank, Reg.Register, Value);
}

EFI_STATUS WriteRegister (REGISTER_ACCESS_PROTOCOL *Access, const REGISTER_ID &Reg, IN UINT8 Value)
{
  return Access->Write (&DriverContext, Reg.Type, Reg.Bank, Reg.Register, Value);
}

EFI_STATUS RunSequence (const REGISTER_STEP *Steps, UINTN Count, IN UINT8 Timeout)
{
  REGISTER_ACCESS_PROTOCOL *Access = CurrentRegisterAccess ();
  if (Access == nullptr) {
    return EFI_NOT_READY;
  }
  EFI_STATUS Status = EFI_SUCCESS;
  for (const REGISTER_STEP *Step = Steps; Step != Steps + Count; ++Step) {
    UINT8 Value = 0;
    switch (Step->Kind) {
      case STEP_KIND::SetBits:
        ReadRegister (Access, Step->Reg, &Value);
        Value |= Step->Value;
        break;
      case STEP_KIND::KeepBits:
        ReadRegister (Access, Step->Reg, &Value);
        Value &= Step->Value;
        break;
      case STEP_KIND::Write:
        Value = Step->Value;
        break;
      case STEP_KIND::WriteTimeout:
        Value = Timeout;
        break;
    }
    Status = WriteRegister (Access, Step->Reg, Value);
  }
  return Status;
}

}  // namespace

constinit WATCHDOG_CONTROL_PROTOCOL mWatchdogControl = {WatchdogStart, WatchdogStop, WatchdogGetState};

EFI_STATUS ArmWatchdog (IN UINT8 Timeout)
{
  return RunSequence (kArmSequence, sizeof kArmSequence / sizeof kArmSequence[0], Timeout);
}

EFI_STATUS DisarmWatchdog ()
{
  return RunSequence (kDisarmSequence, sizeof kDisarmSequence / sizeof kDisarmSequence[0], 0);
}

UINT16 ReadStatusWord ()
{
  // Mode and control are read only so that the hardware sees the same
  // access pattern as always; their bits take no place in the word.
  // The service is located again: publishing the protocol just before may
  // have let another driver replace it.
  UINT8                    Gate = 0, Mode = 0, Control = 0, Timeout = 0;
  REGISTER_ACCESS_PROTOCOL *Access = CurrentRegisterAccess ();
  if (Access != nullptr) {
    ReadRegister (Access, kGateRegister, &Gate);
    ReadRegister (Access, kModeRegister, &Mode);
    ReadRegister (Access, kControlRegister, &Control);
    ReadRegister (Access, kTimeoutRegister, &Timeout);
  }
  return static_cast<UINT16> ((Gate & 0x01) + 2 * Timeout);
}

EFI_STATUS EFIAPI WatchdogStart (IN WATCHDOG_CONTROL_PROTOCOL *This)
{
  (void)This;
  if (WatchdogTimeout () == 0) {
    return EFI_INVALID_PARAMETER;
  }
  return ArmWatchdog (WatchdogTimeout ());
}

EFI_STATUS EFIAPI WatchdogStop (IN WATCHDOG_CONTROL_PROTOCOL *This)
{
  (void)This;
  return DisarmWatchdog ();
}

EFI_STATUS EFIAPI WatchdogGetState (IN WATCHDOG_CONTROL_PROTOCOL *This, OUT UINT8 *Enabled)
{
  (void)This;
  if (Enabled == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Enabled = WatchdogTimeout () != 0 ? 1 : 0;
  return EFI_SUCCESS;
}

VOID EFIAPI StopCallback (VOID) { WatchdogStop (nullptr); }

// Arms with the Setup timeout, or stops when it is 0, through the
// register-access interface installed at this moment (the notification
// runs at TPL_CALLBACK, before the boot services end).
VOID EFIAPI OsHandoffNotify (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  if (WatchdogTimeout () != 0) {
    ArmWatchdog (WatchdogTimeout ());
  } else {
    DisarmWatchdog ();
  }
}
