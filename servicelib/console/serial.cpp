// SPDX-License-Identifier: BSD-2-Clause-Patent
// COM1 character output and input (slots 1 to 5). Every call brings the
// whole path up again (LPC decode, Super I/O, UART line settings) before it
// touches the data register, so no initialisation call is needed and a
// client may use the slots at any time, in either copy of the image. The
// set-up goes through the port wrappers (and so through this copy's own
// port I/O path); only the line-status polls are direct port reads.
//
// A notification function may print too, and the firmware runs it at
// TPL_CALLBACK in the middle of whatever a client is doing. Between the
// divisor-latch write and the line-control write that closes the latch, its
// bring-up would leave the latch closed under ours, and our divisor bytes
// would go out as data and into the interrupt-enable register. So in the
// boot-services copy each step of a call runs at TPL_HIGH_LEVEL (BeginStep,
// EndStep); a notification signalled meanwhile runs when the step ends.
// After the hand-off to an OS there is nothing left to interrupt, and no
// boot services to call. The SMM copy never raises: in SMRAM no
// notification reaches it, and where a test runs it in ordinary memory it
// is not protected against them.
#include <DirectPort.h>

#include "../servicelib.h"
#include "../../common/BootServices.h"

namespace {

struct SIO_INIT_ENTRY {
  UINT16 Port;
  UINT16 Value;  // only the low 8 bits are written
};
// Two 16-bit fields an entry, no padding in the table: docs/stack.md,
// "Layout asserts".
static_assert (sizeof (SIO_INIT_ENTRY) == 4);

constexpr UINT16 kSioTableEnd = 0xFFFF;

// Super I/O: map logical device 0x0C, then put the UART (logical device 7)
// at 0x3F8 and activate it.
constexpr SIO_INIT_ENTRY SioInitTable[] = {
  {0x4E, 0x55},  // enter configuration mode
  {0x4E, 0x07}, {0x4F, 0x0C},  // logical device 0x0C
  {0x4E, 0x68}, {0x4F, 0x07},
  {0x4E, 0x69}, {0x4F, 0x87},
  {0x4E, 0x6A}, {0x4F, 0xF8},  // base address low byte
  {0x4E, 0x6B}, {0x4F, 0x03},  // base address high byte: 0x03F8
  {0x4E, 0x07}, {0x4F, 0x07},  // logical device 7, the UART
  {0x4E, 0x30}, {0x4F, 0x01},  // activate
  {0x4E, 0xAA},  // leave configuration mode
  {kSioTableEnd, 0x00FF},
};

constexpr UINT16 kPciAddress   = 0xCF8;
constexpr UINT16 kPciData      = 0xCFC;
constexpr UINT32 kLpcComDecode = 0x8000F880;  // bus 0, device 31, function 0, register 0x80

constexpr UINT16 kUartData        = 0x3F8;  // divisor low byte while DLAB is set
constexpr UINT16 kUartDivisorHigh = 0x3F9;
constexpr UINT16 kUartLineControl = 0x3FB;
constexpr UINT16 kUartLineStatus  = 0x3FD;

constexpr UINT8 kLsrDataReady   = 0x01;
constexpr UINT8 kLsrTxIdle      = 0x60;  // holding register and transmitter empty
constexpr UINT8 kLcrDlab        = 0x80;
constexpr UINT8 kLcr8N1         = 0x03;
constexpr UINT8 kDivisor115200  = 1;

void BringUp ()
{
  // The SMM copy runs at SMI time, which may fall between the interrupted
  // code's write of a configuration address to 0xCF8 and its access of
  // 0xCFC: that access must still reach the register it chose. So the SMM
  // copy puts the address back once its own configuration accesses are
  // done, before anything that may wait (GetChar's poll waits for ever).
  // The boot-services copy runs with the TPL raised and leaves 0xCF8 as
  // it always did.
  const UINT32 Interrupted = mSmmCopy ? IoRead32 (kPciAddress) : 0;

  // LPC decode of COM A: range 000 (0x3F8-0x3FF) in register 0x80, decode
  // enable in bit 0 of register 0x82.
  IoWrite32 (kPciAddress, kLpcComDecode);
  IoWrite16 (kPciData, static_cast<UINT16> (IoRead16 (kPciData) & ~0x7u));
  IoWrite16 (kPciData + 2, static_cast<UINT16> (IoRead16 (kPciData + 2) | 0x1u));
  if (mSmmCopy) {
    IoWrite32 (kPciAddress, Interrupted);
  }

  for (const SIO_INIT_ENTRY *Entry = SioInitTable; Entry->Port != kSioTableEnd; ++Entry) {
    IoWrite8 (Entry->Port, static_cast<UINT8> (Entry->Value));
  }
  (void)IoRead8 (kUartLineStatus);

  IoWrite8 (kUartLineControl, kLcrDlab);
  IoWrite8 (kUartData, kDivisor115200);
  IoWrite8 (kUartDivisorHigh, 0);
  IoWrite8 (kUartLineControl, kLcr8N1);
}

// The boot services that the step under way was raised with (NULL: not
// raised), and the caller's TPL to go back to. Nothing runs between the
// raise and the restore of a step, so one pair serves every step.
constinit EFI_BOOT_SERVICES *mStepServices = nullptr;
constinit EFI_TPL           mStepCaller   = 0;

// Starts one step that no notification function can split: a bring-up,
// a bring-up with the character after it, or one poll of the receiver. In
// the boot-services copy it raises the TPL, once the port I/O protocol is
// known: the lookup refuses to run above TPL_NOTIFY, and inside a step
// nothing but RaiseTPL and RestoreTPL is called. Out of line: one copy for
// its three callers (clang keeps it so by itself today). docs/stack.md,
// "Out-of-line helpers".
[[gnu::noinline]] VOID BeginStep ()
{
  EFI_BOOT_SERVICES *BootServices = mSmmCopy ? nullptr : LiveBootServices (mSystemTable);
  if (BootServices != nullptr) {
    (void)BootServicesCpuIo ();
    mStepCaller = BootServices->RaiseTPL (TPL_HIGH_LEVEL);
  }
  mStepServices = BootServices;
}

// Out of line for code size: three callers, 32 bytes of code saved.
// docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] VOID EndStep ()
{
  if (mStepServices != nullptr) {
    mStepServices->RestoreTPL (mStepCaller);
  }
}

}  // namespace

// The bring-up, the wait for the transmitter (which the UART ends within a
// character time) and the character, with the carriage return after a line
// feed, are one step.
extern "C" VOID EFIAPI SerialPutChar (IN CHAR16 Ch, ...)
{
  BeginStep ();
  BringUp ();
  for (;;) {
    while ((DirectPortRead8 (kUartLineStatus) & kLsrTxIdle) != kLsrTxIdle) {
    }
    IoWrite8 (kUartData, Ch);
    // A line feed goes out as line feed plus carriage return.
    if (Ch != 0x000A) {
      break;
    }
    Ch = 0x000D;
  }
  EndStep ();
}

// A key may be long in coming, and the timers must not stop meanwhile: the
// bring-up is one step, and each poll another, which reads the byte when
// one is there. Between steps the TPL is the caller's; a notification that
// prints there runs a whole bring-up, which leaves the port as ours did.
extern "C" UINTN EFIAPI SerialGetChar (VOID)
{
  BeginStep ();
  BringUp ();
  for (;;) {
    EndStep ();
    BeginStep ();
    if ((DirectPortRead8 (kUartLineStatus) & kLsrDataReady) != 0) {
      const UINTN Ch = IoRead8 (kUartData);
      EndStep ();
      return Ch;
    }
  }
}
