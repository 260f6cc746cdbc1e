// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slot 0: loading a caller's image into SMRAM.
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

#include <algorithm>

using namespace simtest;

namespace {

struct Rig {
  sim::SimFirmware Fw;
  EFI_HANDLE       Image = Fw.CreateImage (u"\\Client.efi");
  Rig () { Fw.InstallSmmBase (FALSE); }
  EFI_HANDLE Run () { return RegisterImageInSmm (Image, &Fw.SystemTable, &Fw.SmmBase.Protocol); }
  size_t     FreesOf (VOID *P) const { return std::count (Fw.Freed.begin (), Fw.Freed.end (), P); }
};

struct StepFailure {
  const char *Name;
  sim::Service Service;
  EFI_GUID     Guid;
  bool        ReachesRegister;
};

class RegisterImageFailure : public ::testing::TestWithParam<StepFailure> {};

TEST_P (RegisterImageFailure, ReturnsNullAndLeavesNoPathBehind)
{
  Rig S;
  S.Fw.FailWith (GetParam ().Service, GetParam ().Guid, EFI_NOT_FOUND);
  EXPECT_EQ (S.Run (), nullptr);
  EXPECT_EQ (S.Fw.SmmBase.RegisterCalls.size (), GetParam ().ReachesRegister ? 1u : 0u);
  EXPECT_TRUE (S.Fw.LivePool.empty ());
  EXPECT_EQ (S.Fw.BadFrees, 0u);
}

INSTANTIATE_TEST_SUITE_P (
  Steps, RegisterImageFailure,
  ::testing::Values (StepFailure{"DevicePathUtilities", sim::Service::LocateProtocol, kDpuGuid, false},
                     StepFailure{"LoadedImage", sim::Service::OpenProtocol, kLoadedImageGuid, false},
                     StepFailure{"DevicePath", sim::Service::OpenProtocol, kDevicePathGuid, false}), CaseName ());

struct RegisterOutcome {
  const char *Name;
  EFI_STATUS  Status;
  bool        ReturnsSmmHandle;  // Register hands back a handle of its own
  bool        Succeeds;
};

class RegisterImageOutcome : public ::testing::TestWithParam<RegisterOutcome> {};

TEST_P (RegisterImageOutcome, FreesTheAppendedPathExactlyOnce)
{
  Rig S;
  int   SmmHandleStorage = 0;
  S.Fw.SmmBase.RegisterStatus = GetParam ().Status;
  S.Fw.SmmBase.RegisterHandle = GetParam ().ReturnsSmmHandle ? &SmmHandleStorage : nullptr;

  EFI_HANDLE Result = S.Run ();

  ASSERT_EQ (S.Fw.SmmBase.RegisterCalls.size (), 1u);
  const auto &Call = S.Fw.SmmBase.RegisterCalls[0];
  EXPECT_EQ (Call.SourceBuffer, nullptr);
  EXPECT_EQ (Call.SourceSize, 0u);
  EXPECT_EQ (Call.LegacyIA32Binary, FALSE);
  EXPECT_EQ (S.FreesOf (const_cast<VOID *> (Call.FilePathPointer)), 1u);
  EXPECT_TRUE (S.Fw.LivePool.empty ());
  if (!GetParam ().Succeeds) {
    EXPECT_EQ (Result, nullptr);
  } else if (GetParam ().ReturnsSmmHandle) {
    EXPECT_EQ (Result, &SmmHandleStorage);
  } else {
    EXPECT_EQ (Result, S.Image);
  }
}

INSTANTIATE_TEST_SUITE_P (
  Statuses, RegisterImageOutcome,
  ::testing::Values (RegisterOutcome{"SuccessNoHandle", EFI_SUCCESS, false, true},
                     RegisterOutcome{"SuccessWithHandle", EFI_SUCCESS, true, true},
                     RegisterOutcome{"AcceptedCodeNoHandle", 0xC000000000000001ULL, false, true},
                     RegisterOutcome{"AcceptedCodeWithHandle", 0xC000000000000001ULL, true, true},
                     RegisterOutcome{"Refused", EFI_OUT_OF_RESOURCES, true, false},
                     RegisterOutcome{"WarningIsNotSuccess", EFI_WARN_WRITE_FAILURE, true, false},
                     RegisterOutcome{"OtherHighBitsError", 0xC000000000000002ULL, false, false}), CaseName ());

TEST (RegisterImage, FailingFreePoolReturnsNull)
{
  Rig S;
  S.Fw.FailWith (sim::Service::FreePool, EFI_INVALID_PARAMETER, 1);
  EXPECT_EQ (S.Run (), nullptr);
  EXPECT_EQ (S.Fw.CountCalls (sim::Service::FreePool), 1u);
}

TEST (RegisterImage, WarningsFromLocateAndOpenDoNotStopIt)
{
  Rig S;
  S.Fw.FailWith (sim::Service::LocateProtocol, kDpuGuid, EFI_WARN_UNKNOWN_GLYPH);
  S.Fw.FailWith (sim::Service::OpenProtocol, EFI_WARN_BUFFER_TOO_SMALL);
  EXPECT_EQ (S.Run (), S.Image);
  EXPECT_EQ (S.Fw.SmmBase.RegisterCalls.size (), 1u);
}

TEST (RegisterImage, ServesAnyCallerWithoutTheDriverHavingStarted)
{
  // As if no entry point had run: the routine must take its services from
  // its SystemTable argument, not from the driver's globals.
  Rig S;
  mBootServices = nullptr;
  mSystemTable  = nullptr;
  EXPECT_EQ (S.Run (), S.Image);
}

}  // namespace
