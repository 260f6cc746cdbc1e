// SPDX-License-Identifier: BSD-2-Clause-Patent
// The register traffic of WdtControl's sequences as the simulated
// register-access service logs it, and the GUIDs that the driver and the
// platform services go by, shared by the tests and the fuzz target.
#ifndef TESTS_WDT_WDT_LOGS_H_
#define TESTS_WDT_WDT_LOGS_H_

#include "sim/Guids.h"
#include "sim/SimRegisterAccess.h"
#include "wdtcontrol/registers.h"
#include "wdtcontrol/wdtcontrol.h"

#include <vector>

namespace wdttest {

using Log = std::vector<sim::RegisterAccessRecord>;

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

// The reads of the status word, when the registers hold Gate, Mode,
// Control and Timeout.
inline Log StatusLog (UINT8 Gate, UINT8 Mode, UINT8 Control, UINT8 Timeout)
{
  return {Read (kGateRegister, Gate), Read (kModeRegister, Mode), Read (kControlRegister, Control),
          Read (kTimeoutRegister, Timeout)};
}

// The driver's own GUIDs beside the platform's.
using namespace sim::guids;
inline constexpr EFI_GUID kSetupGuid    = WDT_SETUP_VARIABLE_GUID;
inline constexpr EFI_GUID kWatchdogGuid = WATCHDOG_CONTROL_PROTOCOL_GUID;

}  // namespace wdttest

#endif
