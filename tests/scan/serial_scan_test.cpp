// SPDX-License-Identifier: BSD-2-Clause-Patent
// ScanInput reading the COM1 receive queue through the serial get slots.
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

#include <cstring>

namespace {

TEST (ScanSerial, GetSlotsFeedScanInputFromTheUart)
{
  sim::SimFirmware Fw;
  simtest::StartServiceLib (Fw);

  for (LIB_GET_CHAR Slot : {mLib->GetCharA, mLib->GetCharB}) {
    // The %3s field ends at its width: 'd' and the line feed stay queued,
    // and the UART is never polled for data that will not come.
    const char Line[] = "  -17 0x1F abcd\n";
    Fw.Ports.Uart.Receive.assign (Line, Line + sizeof Line - 1);

    INT64  Dec = 0, Hex = 0;
    CHAR8  Word[8];
    std::memset (Word, 0x5A, sizeof Word);
    UINT64 Args[] = {reinterpret_cast<UINTN> (&Dec), reinterpret_cast<UINTN> (&Hex), reinterpret_cast<UINTN> (Word)};
    INTN   Result = ScanInput (reinterpret_cast<SCAN_INPUT_ROUTINE> (Slot), 0, 0, "%d %x %3s",
                               reinterpret_cast<VA_LIST> (Args));

    EXPECT_EQ (Result, 3);
    EXPECT_EQ (Dec, -17);
    EXPECT_EQ (Hex, 0x1F);
    EXPECT_EQ (std::memcmp (Word, "abc\0\x5A\x5A\x5A\x5A", sizeof Word), 0);
    EXPECT_EQ (std::string (Fw.Ports.Uart.Receive.begin (), Fw.Ports.Uart.Receive.end ()), "d\n");
  }
}

}  // namespace
