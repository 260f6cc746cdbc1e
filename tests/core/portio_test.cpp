// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slots 11 and 12 in both instances, and the wrappers over mLib.
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

using namespace simtest;

namespace {

struct PortCase {
  UINT16 Port;
  UINTN  Width;
  UINT32 Value;
};

// UART scratch (8-bit), the PCI address latch (32-bit), LPC register 0x80 via the data window (16-bit).
constexpr PortCase kCases[] = {{0x3FF, 0, 0xA5}, {0xCF8, 2, 0x8000F880}, {0x3FB, 0, 0x03}};

// Each case written and read back through mLib's slots: one element each
// way, by Path, with This as the interface pointer.
void ExpectEachCaseGoesThrough (sim::SimFirmware &Fw, PortPath Path, const void *This)
{
  for (const auto &C : kCases) {
    Fw.Ports.Log.clear ();
    EXPECT_EQ (mLib->IoWrite (C.Port, C.Value, C.Width), EFI_SUCCESS);
    EXPECT_EQ (mLib->IoRead (C.Port, C.Width), C.Value);
    EXPECT_EQ (Fw.Ports.Log, (std::vector<PortAccess>{Out (Path, C.Port, C.Value, static_cast<UINT8> (C.Width), This),
                                                      In (Path, C.Port, C.Value, static_cast<UINT8> (C.Width), This)}));
  }
}

TEST (PortIo, BootServicesSlotsGoThroughCpuIoOneElementEach)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  ExpectEachCaseGoesThrough (Fw, PortPath::CpuIo, &Fw.CpuIo);
}

TEST (PortIo, SmmSlotsPassTheSmmIoMemberAsThis)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw, true);
  ExpectEachCaseGoesThrough (Fw, PortPath::SmmIo, &Fw.Smst.SmmIo);
  EXPECT_NE (static_cast<const void *> (&Fw.Smst.SmmIo), static_cast<const void *> (&Fw.Smst));
}

TEST (PortIo, EightBitReadHasUpperBitsZeroWhateverTheDeviceDrives)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  Fw.Ports.Uart.Present = false;  // the bus floats: 0xFF on every byte lane
  EXPECT_EQ (mLib->IoRead (0x3FD, 0), 0xFFu);
  EXPECT_EQ (mLib->IoRead (0x3FD, 1), 0xFFFFu);
  EXPECT_EQ (IoRead8 (0x3FD), 0xFFu);
}

TEST (PortIo, WriteStatusReachesTheCaller)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  EXPECT_EQ (mLib->IoWrite (0x80, 0, 3), EFI_INVALID_PARAMETER);  // a width the protocol refuses
}

// Width codes above 2 (32 bits, the room of the slots' buffer) never reach
// the protocol, even one that would honour them with a wider access: a
// read gives all ones and a write EFI_INVALID_PARAMETER.
struct WidthCase {
  const char *Name;
  bool        InSmm;
  UINTN       Width;
};

void PrintTo (const WidthCase &C, std::ostream *Os) { *Os << C.Name; }

UINT32 mProtocolCalls;

template <typename ThisT, typename WidthT>
EFI_STATUS EFIAPI HonourAnyWidth (ThisT *, WidthT, UINT64, UINTN, VOID *Buffer)
{
  ++mProtocolCalls;
  std::memset (Buffer, 0x5A, sizeof (UINT64));  // a 64-bit access
  return EFI_SUCCESS;
}

class PortIoWidth : public ::testing::TestWithParam<WidthCase> {};

TEST_P (PortIoWidth, WiderThan32BitsMakesNoCall)
{
  const WidthCase &C = GetParam ();
  sim::SimFirmware Fw;
  StartServiceLib (Fw, C.InSmm);
  Fw.CpuIo.Io.Read = Fw.CpuIo.Io.Write = HonourAnyWidth;
  Fw.Smst.SmmIo.Io.Read = Fw.Smst.SmmIo.Io.Write = HonourAnyWidth;
  mProtocolCalls = 0;
  EXPECT_EQ (mLib->IoRead (0x80, C.Width), 0xFFFFFFFFu);
  EXPECT_EQ (mLib->IoWrite (0x80, 0x12345678, C.Width), EFI_INVALID_PARAMETER);
  EXPECT_EQ (mProtocolCalls, 0u);
}

INSTANTIATE_TEST_SUITE_P (Codes, PortIoWidth,
                          ::testing::Values (WidthCase{"BootServices64Bit", false, 3},
                                             WidthCase{"BootServicesLow32BitsZero", false, 0x100000000ull},
                                             WidthCase{"Smm64Bit", true, 3},
                                             WidthCase{"SmmAllOnes", true, ~UINTN{0}}),
                          CaseName ());

// Which CPU I/O protocol the boot-services slots take, as the platform's
// protocols come and go around the entry point and the first access.
enum class Via { FrameworkCpuIo, CpuIo2, Nothing };
struct PlatformCase {
  const char *Name;
  bool        FrameworkAtEntry, Cpu2AtEntry;
  bool        FrameworkLater, Cpu2Later;  // installed after the entry point, before the access
  Via         First;                      // the first access goes here
  bool        FrameworkAfterFirst;        // then the Framework protocol appears
  Via         Second;
};

class PortIoPlatform : public ::testing::TestWithParam<PlatformCase> {};

TEST_P (PortIoPlatform, TakesFrameworkElseCpuIo2ElseReadsAllOnes)
{
  const PlatformCase &C = GetParam ();
  sim::SimFirmware    Fw;
  Fw.UninstallAll (kCpuIoGuid);
  auto Install = [&] (bool Framework) { Fw.Install (Framework ? kCpuIoGuid : kCpuIo2Guid, Framework ? &Fw.CpuIo : &Fw.CpuIo2); };
  if (C.FrameworkAtEntry) Install (true);
  if (C.Cpu2AtEntry) Install (false);
  StartServiceLib (Fw);
  // A Framework CPU I/O driver that runs after ours is waited for.
  EXPECT_EQ (Fw.Notifications.size (), C.FrameworkAtEntry ? 1u : 2u);
  if (C.FrameworkLater) Install (true);
  if (C.Cpu2Later) Install (false);

  auto Check = [&] (Via Expected) {
    Fw.Ports.Log.clear ();
    const EFI_STATUS Written = mLib->IoWrite (0x3FF, 0x5A, 0);
    const UINT32     Read[]  = {mLib->IoRead (0x3FF, 0), mLib->IoRead (0xCFC, 1), mLib->IoRead (0xCF8, 2)};
    if (Expected == Via::Nothing) {
      EXPECT_EQ (Written, EFI_NOT_READY);
      EXPECT_EQ (Read[0], 0xFFu);
      EXPECT_EQ (Read[1], 0xFFFFu);
      EXPECT_EQ (Read[2], 0xFFFFFFFFu);
      EXPECT_TRUE (Fw.Ports.Log.empty ());
      return;
    }
    const void *This = Expected == Via::FrameworkCpuIo ? &Fw.CpuIo : &Fw.CpuIo2;
    EXPECT_EQ (Written, EFI_SUCCESS);
    EXPECT_EQ (Read[0], 0x5Au);
    ASSERT_EQ (Fw.Ports.Log.size (), 4u);
    for (const auto &Access : Fw.Ports.Log) {
      EXPECT_EQ (Access.This, This);
    }
    // Once a protocol is known, an access calls no boot service.
    const size_t Calls = Fw.Calls.size ();
    Fw.ClearTplLog ();
    mLib->IoRead (0x3FF, 0);
    EXPECT_EQ (Fw.Calls.size (), Calls);
    EXPECT_EQ (Fw.TplCallCount, 0u);
  };
  Check (C.First);
  if (C.FrameworkAfterFirst) Install (true);
  Check (C.Second);
}

INSTANTIATE_TEST_SUITE_P (
  Protocols, PortIoPlatform,
  ::testing::Values (PlatformCase{"FrameworkOnly", true, false, false, false, Via::FrameworkCpuIo, false, Via::FrameworkCpuIo},
                     PlatformCase{"Both", true, true, false, false, Via::FrameworkCpuIo, false, Via::FrameworkCpuIo},
                     PlatformCase{"Cpu2Only", false, true, false, false, Via::CpuIo2, false, Via::CpuIo2},
                     PlatformCase{"Neither", false, false, false, false, Via::Nothing, false, Via::Nothing},
                     PlatformCase{"NeitherThenFramework", false, false, false, false, Via::Nothing, true, Via::FrameworkCpuIo},
                     PlatformCase{"FrameworkAfterEntry", false, false, true, false, Via::FrameworkCpuIo, false, Via::FrameworkCpuIo},
                     PlatformCase{"Cpu2AfterEntry", false, false, false, true, Via::CpuIo2, false, Via::CpuIo2},
                     PlatformCase{"FrameworkAfterCpu2WasTaken", false, true, false, false, Via::CpuIo2, true, Via::FrameworkCpuIo}),
  CaseName ());

// Without a known protocol, an access asks the firmware only when it may:
// not after the hand-off to an OS, and not above TPL_NOTIFY.
TEST (PortIoPlatform, AsksForNoProtocolAfterHandoffOrAboveNotify)
{
  sim::SimFirmware Fw;
  Fw.UninstallAll (kCpuIoGuid);
  StartServiceLib (Fw);
  Fw.Install (kCpuIo2Guid, &Fw.CpuIo2);
  const size_t Calls = Fw.Calls.size ();

  Fw.CurrentTpl = TPL_HIGH_LEVEL;
  EXPECT_EQ (mLib->IoRead (0x3FF, 0), 0xFFu);
  EXPECT_EQ (Fw.Calls.size (), Calls);
  Fw.CurrentTpl = TPL_APPLICATION;

  Fw.BootServices.ExitBootServices (nullptr, 0);
  EXPECT_EQ (mLib->IoWrite (0x3FF, 1, 0), EFI_NOT_READY);
  EXPECT_EQ (mLib->IoRead (0x3FF, 0), 0xFFu);
  EXPECT_EQ (Fw.Calls.size (), Calls + 1);  // ExitBootServices itself
  EXPECT_TRUE (Fw.Ports.Log.empty ());
}

TEST (PortIo, SmmSlotsWithoutASystemTableTouchNothing)
{
  sim::SimFirmware Fw;
  Fw.InstallSmmBase (TRUE);
  Fw.SmmBase.GetSmstStatus = EFI_UNSUPPORTED;
  ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable);
  ASSERT_EQ (Smst, nullptr);
  Fw.Ports.Log.clear ();
  EXPECT_EQ (mLib->IoWrite (0x3FF, 1, 0), EFI_NOT_READY);
  EXPECT_EQ (mLib->IoRead (0xCFC, 1), 0xFFFFu);
  SerialPutChar ('A');
  EXPECT_EQ (Fw.Ports.Through (PortPath::SmmIo).size (), 0u);
  EXPECT_EQ (Fw.Ports.Through (PortPath::CpuIo).size (), 0u);
}

// A stand-in instance that records what the wrappers hand to slots 11 and 12.
struct SlotCall {
  bool   Write;
  UINT16 Port;
  UINT32 Value;
  UINTN  Width;
  bool   operator== (const SlotCall &) const = default;
};
std::vector<SlotCall> mSlotCalls;

UINT32 EFIAPI RecordRead (UINT16 Port, UINTN Width)
{
  mSlotCalls.push_back ({false, Port, 0, Width});
  return 0x12345678u;
}
EFI_STATUS EFIAPI RecordWrite (UINT16 Port, UINT32 Value, UINTN Width)
{
  mSlotCalls.push_back ({true, Port, Value, Width});
  return EFI_DEVICE_ERROR;
}

TEST (PortWrappers, ExtendValuesAndReturnWhatTheyWereGiven)
{
  LIB_SERVICES_PROTOCOL Recorder{};
  Recorder.IoRead  = RecordRead;
  Recorder.IoWrite = RecordWrite;
  mLib             = &Recorder;
  mSlotCalls.clear ();

  EXPECT_EQ (IoWrite8 (0x3F8, 0xFFE9), 0xFFE9);  // a sign-extended 8-bit character
  EXPECT_EQ (IoWrite8 (0x3F8, 0x0061), 0x0061);
  EXPECT_EQ (IoWrite16 (0xCFC, 0x8000), 0x8000);
  EXPECT_EQ (IoWrite32 (0xCF8, 0x8000F880), 0x8000F880u);
  EXPECT_EQ (IoRead8 (0x3FD), 0x12345678u);
  EXPECT_EQ (IoRead16 (0xCFE), 0x12345678u);

  EXPECT_EQ (mSlotCalls, (std::vector<SlotCall>{{true, 0x3F8, 0xFFFFFFE9u, 0},
                                                {true, 0x3F8, 0x61, 0},
                                                {true, 0xCFC, 0x8000, 1},
                                                {true, 0xCF8, 0x8000F880u, 2},
                                                {false, 0x3FD, 0, 0},
                                                {false, 0xCFE, 0, 1}}));
  mLib = nullptr;
}

}  // namespace
