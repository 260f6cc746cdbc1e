// SPDX-License-Identifier: BSD-2-Clause-Patent
// The test client's callback runs on every SMI; only its own command byte
// with a non-zero data byte is a request, and taking it clears the data
// port, so that a later SMI that leaves port 0xB2 alone is not a second one.
#include "smram/smmbase/client/ApmRequest.h"
#include "tests/CaseName.h"

#include <gtest/gtest.h>

#include <map>

namespace {

std::map<UINT64, UINT8> mPorts;
int                     mWrites;

EFI_STATUS SERVICELIB_EFIAPI PortRead (EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH, UINT64 Port, UINTN,
                                       VOID *Buffer)
{
  *static_cast<UINT8 *> (Buffer) = mPorts[Port];
  return EFI_SUCCESS;
}

EFI_STATUS SERVICELIB_EFIAPI PortWrite (EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH, UINT64 Port, UINTN,
                                        VOID *Buffer)
{
  mWrites++;
  mPorts[Port] = *static_cast<UINT8 *> (Buffer);
  return EFI_SUCCESS;
}

struct APM_CASE {
  const char *Name;
  UINT8      Command;
  UINT8      Data;
  UINT8      Taken;
};

const APM_CASE kCases[] = {
  { "FirmwareCommunicateSmi", 0x00, 0x00, 0 },
  { "OtherCommandWithData", 0x5B, 0x01, 0 },
  { "OwnCommandFromShell", kClientSmiCommand, 0x01, 1 },
  { "OwnCommandAfterHandOff", kClientSmiCommand, 0x02, 2 },
  { "OwnCommandAlreadyTaken", kClientSmiCommand, 0x00, 0 },
};

class ApmRequestRows : public ::testing::TestWithParam<APM_CASE> {};

TEST_P (ApmRequestRows, TakenOnlyWhenOwnAndClearedOnce)
{
  const APM_CASE &Case = GetParam ();
  mPorts  = { { kApmCommandPort, Case.Command }, { kApmDataPort, Case.Data } };
  mWrites = 0;
  EFI_SMM_CPU_IO_INTERFACE SmmIo = { { nullptr, nullptr }, { PortRead, PortWrite } };
  EXPECT_EQ (TakeApmRequest (&SmmIo), Case.Taken);
  EXPECT_EQ (mWrites, Case.Taken != 0 ? 1 : 0);
  EXPECT_EQ (mPorts[kApmDataPort], Case.Taken != 0 ? 0 : Case.Data);
  EXPECT_EQ (mPorts[kApmCommandPort], Case.Command);  // writing 0xB2 would raise another SMI
  EXPECT_EQ (TakeApmRequest (&SmmIo), 0);             // the same SMI source seen again
}

INSTANTIATE_TEST_SUITE_P (Requests, ApmRequestRows, ::testing::ValuesIn (kCases), CaseName ());

}  // namespace
