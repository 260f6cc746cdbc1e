// SPDX-License-Identifier: BSD-2-Clause-Patent
// The watchdog's registers behind the platform's register-access service,
// each as (type, bank, register). The register sequences, the host tests,
// the real-firmware fixture and the firmware checks (through the facts the
// build writes, tests/integration/facts.cpp) take them from here.
#ifndef WDTCONTROL_REGISTERS_H_
#define WDTCONTROL_REGISTERS_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

struct REGISTER_ID {
  UINT8  Type;
  UINT8  Bank;
  UINT32 Register;
};

inline constexpr REGISTER_ID kGateRegister    = {0x82, 0, 0x09};
inline constexpr REGISTER_ID kModeRegister    = {0x01, 5, 0x8C};
inline constexpr REGISTER_ID kControlRegister = {0x01, 5, 0x8E};
inline constexpr REGISTER_ID kTimeoutRegister = {0x01, 5, 0x8B};
inline constexpr REGISTER_ID kKeyRegister     = {0x01, 0, 0x0F};
inline constexpr REGISTER_ID kCounterRegister = {0x84, 0, 0x800C94};

#endif
