// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slots 11 and 12 in both instances, and the wrappers over mLib.
#include <servicelib.h>

#include "SimTest.h"

using namespace simtest;

namespace {

struct PortCase {
  UINT16 Port;
  UINTN  Width;
  UINT32 Value;
};

// UART scratch (8-bit), the PCI address latch (32-bit), LPC register 0x80 via the data window (16-bit).
constexpr PortCase kCases[] = {{0x3FF, 0, 0xA5}, {0xCF8, 2, 0x8000F880}, {0x3FB, 0, 0x03}};

void StartBootServicesCopy (sim::SimFirmware &Fw)
{
  ASSERT_EQ (ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable), EFI_SUCCESS);
  Fw.Ports.Log.clear ();
}

void StartSmmCopy (sim::SimFirmware &Fw)
{
  Fw.InstallSmmBase (TRUE);
  ASSERT_EQ (ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable), EFI_SUCCESS);
  Fw.Ports.Log.clear ();
}

TEST (PortIo, BootServicesSlotsGoThroughCpuIoOneElementEach)
{
  sim::SimFirmware Fw;
  StartBootServicesCopy (Fw);
  for (const auto &C : kCases) {
    Fw.Ports.Log.clear ();
    EXPECT_EQ (mLib->IoWrite (C.Port, C.Value, C.Width), EFI_SUCCESS);
    EXPECT_EQ (mLib->IoRead (C.Port, C.Width), C.Value);
    EXPECT_EQ (Fw.Ports.Log, (std::vector<PortAccess>{
                               Out (PortPath::CpuIo, C.Port, C.Value, static_cast<UINT8> (C.Width), &Fw.CpuIo),
                               In (PortPath::CpuIo, C.Port, C.Value, static_cast<UINT8> (C.Width), &Fw.CpuIo)}));
  }
}

TEST (PortIo, SmmSlotsPassTheSmmIoMemberAsThis)
{
  sim::SimFirmware Fw;
  StartSmmCopy (Fw);
  for (const auto &C : kCases) {
    Fw.Ports.Log.clear ();
    EXPECT_EQ (mLib->IoWrite (C.Port, C.Value, C.Width), EFI_SUCCESS);
    EXPECT_EQ (mLib->IoRead (C.Port, C.Width), C.Value);
    EXPECT_EQ (Fw.Ports.Log, (std::vector<PortAccess>{
                               Out (PortPath::SmmIo, C.Port, C.Value, static_cast<UINT8> (C.Width), &Fw.Smst.SmmIo),
                               In (PortPath::SmmIo, C.Port, C.Value, static_cast<UINT8> (C.Width), &Fw.Smst.SmmIo)}));
    EXPECT_NE (static_cast<const void *> (&Fw.Smst.SmmIo), static_cast<const void *> (&Fw.Smst));
  }
}

TEST (PortIo, EightBitReadHasUpperBitsZeroWhateverTheDeviceDrives)
{
  sim::SimFirmware Fw;
  StartBootServicesCopy (Fw);
  Fw.Ports.Uart.Present = false;  // the bus floats: 0xFF on every byte lane
  EXPECT_EQ (mLib->IoRead (0x3FD, 0), 0xFFu);
  EXPECT_EQ (mLib->IoRead (0x3FD, 1), 0xFFFFu);
  EXPECT_EQ (IoRead8 (0x3FD), 0xFFu);
}

TEST (PortIo, WriteStatusReachesTheCaller)
{
  sim::SimFirmware Fw;
  StartBootServicesCopy (Fw);
  EXPECT_EQ (mLib->IoWrite (0x80, 0, 3), EFI_INVALID_PARAMETER);  // a width the protocol refuses
}

// A stand-in instance that records what the wrappers hand to slots 11 and 12.
struct SlotCall {
  bool   Write;
  UINT16 Port;
  UINT32 Value;
  UINTN  Width;
  bool   operator== (const SlotCall &) const = default;
};
std::vector<SlotCall> gSlotCalls;

UINT32 EFIAPI RecordRead (UINT16 Port, UINTN Width)
{
  gSlotCalls.push_back ({false, Port, 0, Width});
  return 0x12345678u;
}
EFI_STATUS EFIAPI RecordWrite (UINT16 Port, UINT32 Value, UINTN Width)
{
  gSlotCalls.push_back ({true, Port, Value, Width});
  return EFI_DEVICE_ERROR;
}

TEST (PortWrappers, ExtendValuesAndReturnWhatTheyWereGiven)
{
  LIB_SERVICES_PROTOCOL Recorder{};
  Recorder.IoRead  = RecordRead;
  Recorder.IoWrite = RecordWrite;
  mLib             = &Recorder;
  gSlotCalls.clear ();

  EXPECT_EQ (IoWrite8 (0x3F8, 0xFFE9), 0xFFE9);  // a sign-extended 8-bit character
  EXPECT_EQ (IoWrite8 (0x3F8, 0x0061), 0x0061);
  EXPECT_EQ (IoWrite16 (0xCFC, 0x8000), 0x8000);
  EXPECT_EQ (IoWrite32 (0xCF8, 0x8000F880), 0x8000F880u);
  EXPECT_EQ (IoRead8 (0x3FD), 0x12345678u);
  EXPECT_EQ (IoRead16 (0xCFE), 0x12345678u);

  EXPECT_EQ (gSlotCalls, (std::vector<SlotCall>{{true, 0x3F8, 0xFFFFFFE9u, 0},
                                                {true, 0x3F8, 0x61, 0},
                                                {true, 0xCFC, 0x8000, 1},
                                                {true, 0xCF8, 0x8000F880u, 2},
                                                {false, 0x3FD, 0, 0},
                                                {false, 0xCFE, 0, 1}}));
  mLib = nullptr;
}

}  // namespace
