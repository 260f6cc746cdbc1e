// SPDX-License-Identifier: BSD-2-Clause-Patent
// Raises the test client's software SMI after ExitBootServices, as an OS
// would, then powers off. What runs then runs in SMRAM only: the client's
// callback and ServiceLib's SMM instance, with no boot services left.
#include "../client/ApmRequest.h"
#include "testkit/PowerOff.h"

namespace {

constexpr UINT8 kAfterExitBootServices = 2;

constexpr UINT32 kSmiWaitLimit = 1000000;

// A PCI configuration address of the tool's own (bus 0, device 0, register
// 8), left in 0xCF8 across the SMI as an OS's interrupted 0xCF8/0xCFC pair
// would: the SMM copy's serial bring-up must give it back.
constexpr UINT16 kPciAddressPort = 0xCF8;
constexpr UINT32 kOwnPciAddress  = 0x80000008;

VOID OutByte (UINT16 Port, UINT8 Value)
{
  __asm__ __volatile__ ("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

VOID OutLong (UINT16 Port, UINT32 Value)
{
  __asm__ __volatile__ ("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}

UINT32 InLong (UINT16 Port)
{
  UINT32 Value;
  __asm__ __volatile__ ("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
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
  OutLong (kPciAddressPort, kOwnPciAddress);
  const UINT32 Before = InLong (kPciAddressPort);
  OutByte (kApmDataPort, kAfterExitBootServices);
  OutByte (kApmCommandPort, kClientSmiCommand);
  UINT32 Polls = 0;
  while (InByte (kApmDataPort) != 0 && Polls < kSmiWaitLimit) {
    Polls++;
  }
  LogLine (kLogSmiReturned, Polls < kSmiWaitLimit ? "was taken" : "is still pending");
  const UINT32 After = InLong (kPciAddressPort);
  LogLine (kLogCf8AroundSmi, static_cast<UINT64> (Before), static_cast<UINT64> (After));
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmiTriggerMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  HandOffAndPowerOff (ImageHandle, SystemTable, RaiseClientSmi);
}
