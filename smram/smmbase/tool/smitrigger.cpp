// SPDX-License-Identifier: BSD-2-Clause-Patent
// Raises the test client's software SMI after ExitBootServices, as an OS
// would, then powers off. What runs then runs in SMRAM only: the client's
// callback and ServiceLib's SMM instance, with no boot services left.
#include "../client/ApmRequest.h"
#include "../../../fixture/PowerOff.h"

namespace {

constexpr UINT8 kAfterExitBootServices = 2;

constexpr UINT32 kSmiWaitLimit = 1000000;

VOID OutByte (UINT16 Port, UINT8 Value)
{
  __asm__ __volatile__ ("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

UINT8 InByte (UINT16 Port)
{
  UINT8 Value;
  __asm__ __volatile__ ("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

// Data first: writing the command port raises the SMI. The machine enters
// SMM a few instructions later, not at the write itself, so the tool waits
// until the callback has taken the request off the data port.
VOID RaiseClientSmi ()
{
  LogStr ("APP raising the client's SMI after ExitBootServices\n");
  OutByte (kApmDataPort, kAfterExitBootServices);
  OutByte (kApmCommandPort, kClientSmiCommand);
  UINT32 Polls = 0;
  while (InByte (kApmDataPort) != 0 && Polls < kSmiWaitLimit) {
    Polls++;
  }
  LogStr (Polls < kSmiWaitLimit ? "APP back from the SMI: the request was taken\n"
                                 : "APP back from the SMI: the request is still pending\n");
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmiTriggerMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  HandOffAndPowerOff (ImageHandle, SystemTable, RaiseClientSmi);
}
