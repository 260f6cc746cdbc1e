// SPDX-License-Identifier: BSD-2-Clause-Patent
// COM1 character output and input (slots 1 to 5). Every call brings the
// whole path up again (LPC decode, Super I/O, UART line settings) before it
// touches the data register, so no initialisation call is needed and a
// client may use the slots at any time, in either copy of the image. The
// set-up goes through the port wrappers (and so through this copy's own
// port I/O path); only the line-status polls are direct port reads.
#include <DirectPort.h>

#include "../servicelib.h"

namespace {

struct SIO_INIT_ENTRY {
  UINT16 Port;
  UINT16 Value;  // only the low 8 bits are written
};
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
  // LPC decode of COM A: range 000 (0x3F8-0x3FF) in register 0x80, decode
  // enable in bit 0 of register 0x82.
  IoWrite32 (kPciAddress, kLpcComDecode);
  IoWrite16 (kPciData, static_cast<UINT16> (IoRead16 (kPciData) & ~0x7u));
  IoWrite16 (kPciData + 2, static_cast<UINT16> (IoRead16 (kPciData + 2) | 0x1u));

  for (const SIO_INIT_ENTRY *Entry = SioInitTable; Entry->Port != kSioTableEnd; ++Entry) {
    IoWrite8 (Entry->Port, static_cast<UINT8> (Entry->Value));
  }
  (void)IoRead8 (kUartLineStatus);

  IoWrite8 (kUartLineControl, kLcrDlab);
  IoWrite8 (kUartData, kDivisor115200);
  IoWrite8 (kUartDivisorHigh, 0);
  IoWrite8 (kUartLineControl, kLcr8N1);
}

}  // namespace

extern "C" VOID EFIAPI SerialPutChar (IN CHAR16 Ch, ...)
{
  BringUp ();
  for (;;) {
    while ((DirectPortRead8 (kUartLineStatus) & kLsrTxIdle) != kLsrTxIdle) {
    }
    IoWrite8 (kUartData, Ch);
    // A line feed goes out as line feed plus carriage return.
    if (Ch != 0x000A) {
      return;
    }
    Ch = 0x000D;
  }
}

extern "C" UINTN EFIAPI SerialGetChar (VOID)
{
  BringUp ();
  while ((DirectPortRead8 (kUartLineStatus) & kLsrDataReady) == 0) {
  }
  return IoRead8 (kUartData);
}
