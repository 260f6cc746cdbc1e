// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared set-up for the WdtControl tests: the simulated firmware with the
// platform's hook and register-access services and a Setup variable.
#pragma once

#include <SimFirmware.h>
#include <SimRegisterAccess.h>
#include <wdtcontrol.h>

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
};

// The accesses of arming with Timeout, when the registers hold Gate at
// (0x82,0,9), Mode at (1,5,0x8C) and Control at (1,5,0x8E).
inline Log ArmLog (UINT8 Timeout, UINT8 Gate, UINT8 Mode, UINT8 Control)
{
  VOID *C = &DriverContext;
  using sim::RegRead;
  using sim::RegWrite;
  return {RegRead (0x82, 0, 0x09, Gate, C),    RegWrite (0x82, 0, 0x09, Gate | 0x01, C),
          RegRead (0x01, 5, 0x8C, Mode, C),    RegWrite (0x01, 5, 0x8C, Mode & 0xFE, C),
          RegRead (0x01, 5, 0x8E, Control, C), RegWrite (0x01, 5, 0x8E, Control | 0x02, C),
          RegWrite (0x01, 0, 0x0F, 0x5C, C),   RegWrite (0x01, 0, 0x0F, 0x23, C),
          RegWrite (0x01, 0, 0x0F, 0x14, C),   RegWrite (0x01, 0, 0x0F, 0x08, C),
          RegWrite (0x01, 0, 0x0F, 0x01, C),   RegWrite (0x84, 0, 0x800C94, 0x00, C),
          RegWrite (0x01, 5, 0x8B, Timeout, C)};
}

inline Log StopLog (UINT8 Gate, UINT8 Control)
{
  VOID *C = &DriverContext;
  using sim::RegRead;
  using sim::RegWrite;
  return {RegRead (0x82, 0, 0x09, Gate, C),    RegWrite (0x82, 0, 0x09, Gate | 0x01, C),
          RegRead (0x01, 5, 0x8E, Control, C), RegWrite (0x01, 5, 0x8E, Control & 0xFC, C),
          RegWrite (0x01, 5, 0x8B, 0x00, C)};
}

}  // namespace wdttest
