// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared helpers for tests that run ServiceLib on the simulated firmware.
#ifndef TESTS_SIM_TEST_H_
#define TESTS_SIM_TEST_H_

#include "servicelib/servicelib.h"
#include "sim/Guids.h"
#include "sim/SimFirmware.h"
#include "tests/CaseName.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace simtest {

using namespace sim::guids;
inline constexpr EFI_GUID kLibGuid    = LIB_SERVICES_PROTOCOL_GUID;
inline constexpr EFI_GUID kSmmLibGuid = SMM_LIB_SERVICES_PROTOCOL_GUID;

using sim::PortAccess;
using sim::PortPath;

// Starts ServiceLib as loaded from \ServiceLib.efi: the boot-services copy,
// or with InSmm (an SMM Base that says "in SMM") the SMRAM copy. The port
// traffic of the start is forgotten.
inline void StartServiceLib (sim::SimFirmware &Fw, bool InSmm = false)
{
  if (InSmm) {
    Fw.InstallSmmBase (TRUE);
  }
  ASSERT_EQ (ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable), EFI_SUCCESS);
  Fw.Ports.Log.clear ();
}

inline PortAccess Out (PortPath Path, UINT16 Port, UINT32 Value, UINT8 Width = 0, const void *This = nullptr)
{
  return {Path, true, Port, Width, Value, This};
}

inline PortAccess In (PortPath Path, UINT16 Port, UINT32 Value, UINT8 Width = 0, const void *This = nullptr)
{
  return {Path, false, Port, Width, Value, This};
}

inline std::vector<PortAccess> DirectWrites (std::initializer_list<std::pair<UINT16, UINT8>> Writes)
{
  std::vector<PortAccess> Out;
  for (auto [Port, Value] : Writes) {
    Out.push_back ({PortPath::Direct, true, Port, 0, Value, nullptr});
  }
  return Out;
}

}  // namespace simtest

namespace sim {
inline void PrintTo (const PortAccess &A, std::ostream *Os) { *Os << ToString (A); }
}  // namespace sim

#endif
