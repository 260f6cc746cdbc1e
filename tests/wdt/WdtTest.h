// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared set-up for the WdtControl tests: the simulated firmware with the
// platform's hook and register-access services and a Setup variable.
#ifndef TESTS_WDT_WDT_TEST_H_
#define TESTS_WDT_WDT_TEST_H_

#include "sim/SimFirmware.h"
#include "sim/SimRegisterAccess.h"
#include "wdtcontrol/wdtcontrol.h"
#include "wdtcontrol/registers.h"
#include "tests/CaseName.h"

#include <gtest/gtest.h>

#include <vector>

namespace wdttest {

inline constexpr EFI_GUID kSetupGuid     = WDT_SETUP_VARIABLE_GUID;
inline constexpr EFI_GUID kWatchdogGuid  = WATCHDOG_CONTROL_PROTOCOL_GUID;
inline constexpr EFI_GUID kRegAccessGuid = REGISTER_ACCESS_PROTOCOL_GUID;
inline constexpr EFI_GUID kHookGuid      = HOOK_REGISTRATION_PROTOCOL_GUID;
inline constexpr EFI_GUID kExitBootGroup = EFI_EVENT_GROUP_EXIT_BOOT_SERVICES;
inline constexpr EFI_GUID kLegacyGroup   = EFI_EVENT_LEGACY_BOOT_GUID;

using Log = std::vector<sim::RegisterAccessRecord>;

struct Platform {
  sim::SimFirmware          Fw;
  sim::SimHookRegistration  HookService;
  sim::SimRegisterAccess    Regs;
  EFI_HANDLE                Image = Fw.CreateImage (u"\\WdtControl.efi");

  // A Setup variable of Size bytes holding Timeout at its offset when it reaches that far.
  void SetSetup (UINT8 Timeout, size_t Size = WDT_SETUP_DATA_SIZE)
  {
    std::vector<UINT8> Data (Size, 0xA5);
    if (Size > WDT_SETUP_TIMEOUT_OFFSET) {
      Data[WDT_SETUP_TIMEOUT_OFFSET] = Timeout;
    }
    Fw.SetVariableData (u"Setup", kSetupGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Data);
  }

  // Setup with Timeout, both platform services present, driver started.
  EFI_STATUS Start (UINT8 Timeout)
  {
    SetSetup (Timeout);
    HookService.Install (Fw);
    Regs.Install (Fw);
    return WdtControlEntryPoint (Image, &Fw.SystemTable);
  }

  WATCHDOG_CONTROL_PROTOCOL *Protocol () const
  {
    return static_cast<WATCHDOG_CONTROL_PROTOCOL *> (Fw.Find (kWatchdogGuid));
  }

  const sim::Variable *StatusVariable () const { return Fw.FindVariable (u"WdtControlStatus", kSetupGuid); }

  void  SetRegister (const REGISTER_ID &R, UINT8 Value) { Regs.Set (R.Type, R.Bank, R.Register, Value); }
  UINT8 GetRegister (const REGISTER_ID &R) const { return Regs.Get (R.Type, R.Bank, R.Register); }
};

// A register as the simulated service keys its failure statuses.
inline sim::SimRegisterAccess::RegisterKey Key (const REGISTER_ID &R) { return {R.Type, R.Bank, R.Register}; }

// The log records of the driver's accesses (its Context is &DriverContext).
inline sim::RegisterAccessRecord Read (const REGISTER_ID &R, UINT8 Value)
{
  return sim::RegRead (R.Type, R.Bank, R.Register, Value, &DriverContext);
}
inline sim::RegisterAccessRecord Write (const REGISTER_ID &R, UINT8 Value)
{
  return sim::RegWrite (R.Type, R.Bank, R.Register, Value, &DriverContext);
}

// The accesses of arming with Timeout, when the registers hold Gate, Mode
// and Control.
inline Log ArmLog (UINT8 Timeout, UINT8 Gate, UINT8 Mode, UINT8 Control)
{
  return {Read (kGateRegister, Gate),       Write (kGateRegister, Gate | 0x01),
          Read (kModeRegister, Mode),       Write (kModeRegister, Mode & 0xFE),
          Read (kControlRegister, Control), Write (kControlRegister, Control | 0x02),
          Write (kKeyRegister, 0x5C),       Write (kKeyRegister, 0x23),
          Write (kKeyRegister, 0x14),       Write (kKeyRegister, 0x08),
          Write (kKeyRegister, 0x01),       Write (kCounterRegister, 0x00),
          Write (kTimeoutRegister, Timeout)};
}

inline Log StopLog (UINT8 Gate, UINT8 Control)
{
  return {Read (kGateRegister, Gate),       Write (kGateRegister, Gate | 0x01),
          Read (kControlRegister, Control), Write (kControlRegister, Control & 0xFC),
          Write (kTimeoutRegister, 0x00)};
}

}  // namespace wdttest

#endif
