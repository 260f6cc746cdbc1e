// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared set-up for the WdtControl tests: the simulated firmware with the
// platform's hook and register-access services and a Setup variable.
#ifndef TESTS_WDT_WDT_TEST_H_
#define TESTS_WDT_WDT_TEST_H_

#include "sim/SimFirmware.h"
#include "tests/CaseName.h"
#include "tests/wdt/WdtLogs.h"

#include <gtest/gtest.h>

#include <vector>

namespace wdttest {

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

}  // namespace wdttest

#endif
