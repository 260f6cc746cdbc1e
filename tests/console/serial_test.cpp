// SPDX-License-Identifier: BSD-2-Clause-Patent
// COM1 character I/O: the bring-up before every character, the direct
// line-status poll, and what reaches the line.
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

using namespace simtest;

namespace {

constexpr UINT16 kLpcComRange  = 0x0017;  // range bits 0-2 set (a non-COM1 range), other bits kept
constexpr UINT16 kLpcComEnable = 0x3400;  // decode enable (bit 0) clear, other bits kept
constexpr UINT8  kLineIdle      = 0x60;    // line status: transmitter empty, nothing received
constexpr UINT8  kLineDataReady = 0x61;    // and a received byte waiting

struct Copy {
  PortPath    Path;
  const char *Name;
};

// Starts the copy whose port path is Path, with COM A's decoding off.
void Start (sim::SimFirmware &Fw, PortPath Path)
{
  StartServiceLib (Fw, Path == PortPath::SmmIo);
  Fw.Ports.Pci.LpcWrite16 (0x80, kLpcComRange);
  Fw.Ports.Pci.LpcWrite16 (0x82, kLpcComEnable);
}

// The 23 writes and 3 reads that precede every character, through the
// copy's own port path; the SMM copy also reads the configuration address
// the caller left in 0xCF8 first and writes it back after its own accesses
// (24 writes, 4 reads). LineStatus is what the bring-up's line-status read
// finds.
std::vector<PortAccess> BringUp (PortPath Path, const void *This, UINT32 CallerAddress = 0,
                                 UINT8 LineStatus = kLineIdle)
{
  std::vector<PortAccess> Seq;
  if (Path == PortPath::SmmIo) {
    Seq.push_back (In (Path, 0xCF8, CallerAddress, 2, This));
  }
  Seq.insert (Seq.end (), {
    Out (Path, 0xCF8, 0x8000F880, 2, This),
    In (Path, 0xCFC, kLpcComRange, 1, This),
    Out (Path, 0xCFC, kLpcComRange & ~7u, 1, This),
    In (Path, 0xCFE, kLpcComEnable, 1, This),
    Out (Path, 0xCFE, kLpcComEnable | 1u, 1, This),
  });
  if (Path == PortPath::SmmIo) {
    Seq.push_back (Out (Path, 0xCF8, CallerAddress, 2, This));
  }
  const std::pair<UINT16, UINT8> Sio[] = {
    {0x4E, 0x55}, {0x4E, 0x07}, {0x4F, 0x0C}, {0x4E, 0x68}, {0x4F, 0x07}, {0x4E, 0x69}, {0x4F, 0x87}, {0x4E, 0x6A},
    {0x4F, 0xF8}, {0x4E, 0x6B}, {0x4F, 0x03}, {0x4E, 0x07}, {0x4F, 0x07}, {0x4E, 0x30}, {0x4F, 0x01}, {0x4E, 0xAA},
  };
  for (auto [Port, Value] : Sio) {
    Seq.push_back (Out (Path, Port, Value, 0, This));
  }
  Seq.push_back (In (Path, 0x3FD, LineStatus, 0, This));
  for (auto [Port, Value] : {std::pair<UINT16, UINT8>{0x3FB, 0x80}, {0x3F8, 0x01}, {0x3F9, 0x00}, {0x3FB, 0x03}}) {
    Seq.push_back (Out (Path, Port, Value, 0, This));
  }
  return Seq;
}

const void *ThisFor (sim::SimFirmware &Fw, PortPath Path)
{
  return Path == PortPath::SmmIo ? static_cast<const void *> (&Fw.Smst.SmmIo) : static_cast<const void *> (&Fw.CpuIo);
}

class SerialBothCopies : public ::testing::TestWithParam<Copy> {};

TEST_P (SerialBothCopies, PutCharBringsThePathUpThenPollsDirectlyAndSends)
{
  sim::SimFirmware Fw;
  Start (Fw, GetParam ().Path);
  const void *This = ThisFor (Fw, GetParam ().Path);

  SerialPutChar ('a');

  auto Expected = BringUp (GetParam ().Path, This);
  Expected.push_back (In (PortPath::Direct, 0x3FD, 0x60));
  Expected.push_back (Out (GetParam ().Path, 0x3F8, 'a', 0, This));
  EXPECT_EQ (Fw.Ports.Log, Expected);
  EXPECT_EQ (Fw.Ports.Uart.Transmitted, (std::vector<UINT8>{0x61}));
  // The line is set up for 115200 8N1 and COM A decodes at 0x3F8.
  EXPECT_EQ (Fw.Ports.Uart.Divisor (), 1);
  EXPECT_EQ (Fw.Ports.Uart.Lcr, 0x03);
  EXPECT_EQ (Fw.Ports.Pci.LpcRead16 (0x80) & 7, 0);
  EXPECT_EQ (Fw.Ports.Pci.LpcRead16 (0x82) & 1, 1);
  EXPECT_EQ (Fw.Ports.Sio.Reg (0x07, 0x30), 0x01);
  EXPECT_FALSE (Fw.Ports.Sio.InConfig);
}

TEST_P (SerialBothCopies, GetCharBringsThePathUpThenWaitsForData)
{
  sim::SimFirmware Fw;
  Start (Fw, GetParam ().Path);
  const void *This = ThisFor (Fw, GetParam ().Path);
  Fw.Ports.Uart.Receive.push_back ('z');

  EXPECT_EQ (SerialGetChar (), UINTN{'z'});

  // With a byte waiting, the line status read during bring-up shows data ready.
  auto Expected = BringUp (GetParam ().Path, This, 0, kLineDataReady);
  Expected.push_back (In (PortPath::Direct, 0x3FD, 0x61));
  Expected.push_back (In (GetParam ().Path, 0x3F8, 'z', 0, This));
  EXPECT_EQ (Fw.Ports.Log, Expected);
}

// An SMI may come between the interrupted code's write to 0xCF8 and its
// access of 0xCFC: the SMM copy leaves the address as it found it, before
// the wait. The boot-services copy runs with the TPL raised and leaves the
// LPC bridge's address there.
TEST_P (SerialBothCopies, ConfigurationAddressOfTheCallerAfterPutAndGet)
{
  constexpr UINT32 kCallerAddress = 0x80001A44;  // bus 0, device 3, register 0x44
  sim::SimFirmware Fw;
  Start (Fw, GetParam ().Path);
  const void *This = ThisFor (Fw, GetParam ().Path);
  const UINT32 Left = GetParam ().Path == PortPath::SmmIo ? kCallerAddress : 0x8000F880;

  Fw.Ports.Pci.Address = kCallerAddress;
  SerialPutChar ('a');
  EXPECT_EQ (Fw.Ports.Pci.Address, Left);

  // GetChar puts it back before its poll, the one step that may wait.
  Fw.Ports.Pci.Address = kCallerAddress;
  Fw.Ports.Pci.LpcWrite16 (0x80, kLpcComRange);
  Fw.Ports.Pci.LpcWrite16 (0x82, kLpcComEnable);
  Fw.Ports.Log.clear ();
  Fw.Ports.Uart.Receive.push_back ('z');
  EXPECT_EQ (SerialGetChar (), UINTN{'z'});
  EXPECT_EQ (Fw.Ports.Pci.Address, Left);
  auto Expected = BringUp (GetParam ().Path, This, kCallerAddress, kLineDataReady);
  Expected.push_back (In (PortPath::Direct, 0x3FD, 0x61));
  Expected.push_back (In (GetParam ().Path, 0x3F8, 'z', 0, This));
  EXPECT_EQ (Fw.Ports.Log, Expected);
}

INSTANTIATE_TEST_SUITE_P (Copies, SerialBothCopies,
                          ::testing::Values (Copy{PortPath::CpuIo, "BootServices"}, Copy{PortPath::SmmIo, "Smm"}),
                          CaseName ());

struct LineCase {
  const char           *Name;
  std::vector<CHAR16>   Sent;
  std::vector<UINT8>    OnTheLine;
};

class SerialLine : public ::testing::TestWithParam<LineCase> {};

TEST_P (SerialLine, CharactersReachTheLineAsBytes)
{
  sim::SimFirmware Fw;
  Start (Fw, PortPath::CpuIo);
  for (CHAR16 Ch : GetParam ().Sent) {
    Fw.Ports.Log.clear ();
    SerialPutChar (Ch);
    // Nothing is cached: every character brings the whole path up again.
    size_t Writes = 0, Reads = 0;
    for (const auto &A : Fw.Ports.Through (PortPath::CpuIo)) {
      (A.Write ? Writes : Reads) += 1;
    }
    const size_t Sent = Ch == 0x000A ? 2 : 1;
    EXPECT_EQ (Writes, 23 + Sent);
    EXPECT_EQ (Reads, 3u);
  }
  EXPECT_EQ (Fw.Ports.Uart.Transmitted, GetParam ().OnTheLine);
}

INSTANTIATE_TEST_SUITE_P (
  Bytes, SerialLine,
  ::testing::Values (LineCase{"LineFeedGetsCarriageReturn", {'a', 0x0A, 'b'}, {0x61, 0x0A, 0x0D, 0x62}},
                     LineCase{"LoneCarriageReturnOnce", {0x0D}, {0x0D}},
                     LineCase{"WideLineFeedLookalikeIsNotALineFeed", {0x010A}, {0x0A}},
                     LineCase{"SignExtendedByteSendsItsLowByte", {0xFFE9}, {0xE9}}), CaseName ());

TEST (Serial, TransmitterBusyIsPolledDirectlyUntilIdle)
{
  sim::SimFirmware Fw;
  Start (Fw, PortPath::CpuIo);
  Fw.Ports.Uart.TxBusyPolls = 4;  // the bring-up's own status read takes one

  SerialPutChar ('x');

  const auto Direct = Fw.Ports.Through (PortPath::Direct);
  ASSERT_EQ (Direct.size (), 4u);
  for (size_t I = 0; I < 3; ++I) {
    EXPECT_EQ (Direct[I], In (PortPath::Direct, 0x3FD, 0x00));
  }
  EXPECT_EQ (Direct[3], In (PortPath::Direct, 0x3FD, 0x60));
  EXPECT_EQ (Fw.Ports.Uart.Transmitted, (std::vector<UINT8>{'x'}));
}

TEST (Serial, WithoutAUartOutputReturnsAtOnceAndInputReadsTheFloatingBus)
{
  sim::SimFirmware Fw;
  Start (Fw, PortPath::CpuIo);
  Fw.Ports.Uart.Present = false;  // status and data read 0xFF

  SerialPutChar ('\n');
  // One direct poll per byte sent: 0x0A and 0x0D.
  EXPECT_EQ (Fw.Ports.Through (PortPath::Direct),
             (std::vector<PortAccess>{In (PortPath::Direct, 0x3FD, 0xFF), In (PortPath::Direct, 0x3FD, 0xFF)}));
  EXPECT_TRUE (Fw.Ports.Uart.Transmitted.empty ());

  Fw.Ports.Log.clear ();
  EXPECT_EQ (SerialGetChar (), 0xFFu);
  EXPECT_EQ (Fw.Ports.Through (PortPath::Direct).size (), 1u);
}

}  // namespace
