// SPDX-License-Identifier: BSD-2-Clause-Patent
// The entry point's two roles and its SMM Base notification.
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

using namespace simtest;

namespace {

// PIT channel 2 programmed for the tone, then the gate: silent (0x00) or sounding (0x0B).
const auto kSilenced = DirectWrites ({{0x43, 0xB6}, {0x42, 0x0B}, {0x42, 0x0B}, {0x61, 0x00}});
const auto kTone     = DirectWrites ({{0x43, 0xB6}, {0x42, 0x0B}, {0x42, 0x0B}, {0x61, 0x0B}});
const auto kTimerOnly = DirectWrites ({{0x43, 0xB6}, {0x42, 0x0B}, {0x42, 0x0B}});

TEST (EntryOutsideSmm, InstallsBootServicesInstanceArmsNotificationAndSilencesSpeaker)
{
  sim::SimFirmware Fw;
  EFI_HANDLE Image = Fw.CreateImage (u"\\ServiceLib.efi");

  ASSERT_EQ (ServiceLibEntryPoint (Image, &Fw.SystemTable), EFI_SUCCESS);

  EXPECT_EQ (Fw.FindOn (Image, kLibGuid), &mLibServicesBs);
  EXPECT_EQ (Fw.Find (kSmmLibGuid), nullptr);
  EXPECT_EQ (mLib, &mLibServicesBs);
  EXPECT_EQ (CpuIo, &Fw.CpuIo);
  ASSERT_EQ (Fw.Notifications.size (), 1u);
  EXPECT_TRUE (Fw.Notifications[0].first == kSmmBaseGuid);
  EXPECT_EQ (Fw.Notifications[0].second->Type, EVT_NOTIFY_SIGNAL);
  EXPECT_EQ (Fw.Notifications[0].second->Tpl, static_cast<EFI_TPL> (TPL_CALLBACK));
  EXPECT_EQ (Fw.Notifications[0].second->SignalCount, 0u);
  EXPECT_EQ (Fw.Ports.Log, kSilenced);
  EXPECT_FALSE (Fw.Ports.Pit.Sounding ());
  EXPECT_EQ (Fw.Ports.Pit.Channel2Divisor, 0x0B0B);
}

TEST (EntryOutsideSmm, UsesAnInstanceInstalledByAnotherImage)
{
  sim::SimFirmware      Fw;
  LIB_SERVICES_PROTOCOL Other{};
  Fw.Install (kLibGuid, &Other);
  EFI_HANDLE Image = Fw.CreateImage (u"\\ServiceLib.efi");

  ASSERT_EQ (ServiceLibEntryPoint (Image, &Fw.SystemTable), EFI_SUCCESS);

  EXPECT_EQ (mLib, &Other);
  EXPECT_EQ (Fw.FindOn (Image, kLibGuid), nullptr);
  EXPECT_EQ (Fw.CountCalls (sim::Service::InstallMultipleProtocolInterfaces), 0u);
  EXPECT_EQ (Fw.CountCalls (sim::Service::CreateEvent), 0u);
  EXPECT_EQ (Fw.CountCalls (sim::Service::CreateEventEx), 0u);
  EXPECT_EQ (Fw.CountCalls (sim::Service::RegisterProtocolNotify), 0u);
  EXPECT_EQ (Fw.Ports.Log, kSilenced);
}

TEST (EntryOutsideSmm, FailedLocateOfOwnInstanceReturnsItsStatusWithoutTouchingTheSpeaker)
{
  sim::SimFirmware Fw;
  EFI_HANDLE Image = Fw.CreateImage (u"\\ServiceLib.efi");
  // The first locate (is it there already?) and the one after installing both fail.
  Fw.FailWith (sim::Service::LocateProtocol, kLibGuid, EFI_DEVICE_ERROR);

  EXPECT_EQ (ServiceLibEntryPoint (Image, &Fw.SystemTable), EFI_DEVICE_ERROR);
  EXPECT_TRUE (Fw.Ports.Log.empty ());
}

// A parameterized test of the entry point of an image loaded from
// \ServiceLib.efi.
template <typename CaseT>
class EntryTest : public ::testing::TestWithParam<CaseT> {
 protected:
  sim::SimFirmware Fw;
  EFI_HANDLE       Image = Fw.CreateImage (u"\\ServiceLib.efi");

  EFI_STATUS Enter () { return ServiceLibEntryPoint (Image, &Fw.SystemTable); }
};

// What SMM Base's Register answers, and whether the SMM copy counts as
// loaded by that answer.
struct RegisterCase {
  const char *Name;
  EFI_STATUS  RegisterStatus;
  bool        Loaded;
};

// An SMM Base that is already there when the boot-services copy starts:
// the copy signals its own notification, so the SMM copy is loaded during
// the entry point, before the own instance is located. A failed load is
// retried by the next installation of SMM Base; a successful one is not
// repeated.
class SmmBaseAtEntry : public EntryTest<RegisterCase> {};

TEST_P (SmmBaseAtEntry, LoadsTheSmmCopyDuringTheEntryPoint)
{
  Fw.InstallSmmBase (FALSE);
  Fw.SmmBase.RegisterStatus = GetParam ().RegisterStatus;

  ASSERT_EQ (Enter (), EFI_SUCCESS);
  EXPECT_EQ (Fw.SmmBase.InSmmCalls, 1u);
  EXPECT_EQ (Fw.FindOn (Image, kLibGuid), &mLibServicesBs);
  ASSERT_EQ (Fw.SmmBase.RegisterCalls.size (), 1u);
  // Signalled straight after the registration, run inside SignalEvent,
  // and done before the entry point locates its own instance.
  const auto &Calls  = Fw.Calls;
  const auto Signal = std::find (Calls.begin (), Calls.end (), sim::ServiceCall (sim::Service::SignalEvent));
  ASSERT_NE (Signal, Calls.end ());
  EXPECT_EQ (Signal[-1], sim::ServiceCall (sim::Service::RegisterProtocolNotify, kSmmBaseGuid));
  EXPECT_EQ (Signal[1], sim::ServiceCall (sim::Service::LocateProtocol, kSmmBaseGuid));
  EXPECT_EQ (Calls.back (), sim::ServiceCall (sim::Service::LocateProtocol, kLibGuid));

  Fw.SmmBase.RegisterStatus = EFI_SUCCESS;
  Fw.Install (kSmmBaseGuid, &Fw.SmmBase.Protocol);
  EXPECT_EQ (Fw.SmmBase.RegisterCalls.size (), GetParam ().Loaded ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P (Outcomes, SmmBaseAtEntry,
                          ::testing::Values (RegisterCase{"Loaded", EFI_SUCCESS, true},
                                             RegisterCase{"RefusedThenRetried", EFI_ACCESS_DENIED, false}),
                          CaseName ());

struct SmmStartCase {
  EFI_STATUS SmstStatus;
};

class EntryInSmm : public EntryTest<SmmStartCase> {};

TEST_P (EntryInSmm, InstallsSmmInstanceAndReturnsExactlyGetSmstLocationsStatus)
{
  Fw.InstallSmmBase (TRUE);
  Fw.SmmBase.GetSmstStatus = GetParam ().SmstStatus;

  EXPECT_EQ (Enter (), GetParam ().SmstStatus);

  EXPECT_EQ (Fw.FindOn (Image, kSmmLibGuid), &mLibServicesSmm);
  EXPECT_EQ (Fw.FindOn (Image, kLibGuid), nullptr);
  EXPECT_EQ (mLib, &mLibServicesSmm);
  EXPECT_EQ (Fw.SmmBase.GetSmstCalls, 1u);
  if (!EFI_ERROR (GetParam ().SmstStatus)) {
    EXPECT_EQ (Smst, &Fw.Smst);
  }
  EXPECT_TRUE (Fw.Notifications.empty ());
  EXPECT_TRUE (Fw.Ports.Log.empty ());
}

INSTANTIATE_TEST_SUITE_P (Statuses, EntryInSmm,
                          ::testing::Values (SmmStartCase{EFI_SUCCESS}, SmmStartCase{EFI_WARN_DELETE_FAILURE},
                                             SmmStartCase{EFI_UNSUPPORTED}));

TEST (EntryInSmmFailure, FailedLocateLeavesSteadyToneAndReturnsTheStatus)
{
  sim::SimFirmware Fw;
  Fw.InstallSmmBase (TRUE);
  Fw.FailWith (sim::Service::LocateProtocol, kSmmLibGuid, EFI_NOT_FOUND);
  EFI_HANDLE Image = Fw.CreateImage (u"\\ServiceLib.efi");

  EXPECT_EQ (ServiceLibEntryPoint (Image, &Fw.SystemTable), EFI_NOT_FOUND);

  EXPECT_EQ (Fw.Ports.Log, kTone);
  EXPECT_TRUE (Fw.Ports.Pit.Sounding ());
  EXPECT_EQ (Fw.Ports.Pit.Channel2Divisor, 0x0B0B);
  EXPECT_EQ (Fw.SmmBase.GetSmstCalls, 0u);
}

class SmmBaseNotification : public EntryTest<RegisterCase> {};

TEST_P (SmmBaseNotification, RegistersOwnImageAndProgramsTimerOnlyOnFailure)
{
  ASSERT_EQ (Enter (), EFI_SUCCESS);
  Fw.Ports.Log.clear ();
  Fw.SmmBase.RegisterStatus = GetParam ().RegisterStatus;

  Fw.InstallSmmBase (FALSE);  // signals the notification

  ASSERT_EQ (Fw.SmmBase.RegisterCalls.size (), 1u);
  const auto &Call = Fw.SmmBase.RegisterCalls[0];
  EXPECT_EQ (Call.This, &Fw.SmmBase.Protocol);
  EXPECT_EQ (Call.SourceBuffer, nullptr);
  EXPECT_EQ (Call.SourceSize, 0u);
  EXPECT_EQ (Call.LegacyIA32Binary, FALSE);
  // The full path: the device's path without its end node, then the file path.
  auto *Loaded = Fw.LoadedImageOf (Image);
  auto *Device = static_cast<EFI_DEVICE_PATH_PROTOCOL *> (Fw.FindOn (Loaded->DeviceHandle, kDevicePathGuid));
  std::vector<UINT8> Expected (reinterpret_cast<UINT8 *> (Device),
                               reinterpret_cast<UINT8 *> (Device) + sim::DevicePathSize (Device) - 4);
  auto *File = reinterpret_cast<UINT8 *> (Loaded->FilePath);
  Expected.insert (Expected.end (), File, File + sim::DevicePathSize (Loaded->FilePath));
  EXPECT_EQ (Call.FilePath, Expected);

  if (GetParam ().Loaded) {
    EXPECT_TRUE (Fw.Ports.Log.empty ());
  } else {
    EXPECT_EQ (Fw.Ports.Log, kTimerOnly);
    EXPECT_FALSE (Fw.Ports.Pit.Sounding ());
  }
  EXPECT_TRUE (Fw.LivePool.empty ());
}

INSTANTIATE_TEST_SUITE_P (Outcomes, SmmBaseNotification,
                          ::testing::Values (RegisterCase{"Success", EFI_SUCCESS, true},
                                             RegisterCase{"AcceptedWithErrorBits", 0xC000000000000001ULL, true},
                                             RegisterCase{"Refused", EFI_ACCESS_DENIED, false}), CaseName ());

TEST (SmmBaseNotificationLocate, DoesNothingWhenTheProtocolCannotBeLocated)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  Fw.FailWith (sim::Service::LocateProtocol, kSmmBaseGuid, EFI_NOT_FOUND);

  Fw.InstallSmmBase (FALSE);

  EXPECT_TRUE (Fw.SmmBase.RegisterCalls.empty ());
  EXPECT_TRUE (Fw.Ports.Log.empty ());
}

// A table that any driver may have installed under the SMM GUID first:
// the SMM copy must never call it.
unsigned mPlantedCalls;
UINT32 EFIAPI PlantedRead (UINT16, UINTN) { return ++mPlantedCalls; }
EFI_STATUS EFIAPI PlantedWrite (UINT16, UINT32, UINTN) { return ++mPlantedCalls, EFI_SUCCESS; }

TEST (EntryInSmmPlanted, KeepsItsOwnTableWhateverTheLocateFinds)
{
  sim::SimFirmware      Fw;
  LIB_SERVICES_PROTOCOL Planted{};
  Planted.IoRead  = PlantedRead;
  Planted.IoWrite = PlantedWrite;
  Fw.Install (kSmmLibGuid, &Planted);

  StartServiceLib (Fw, true);
  EXPECT_EQ (mLib, &mLibServicesSmm);
  SerialPutChar ('A');
  EXPECT_EQ (mPlantedCalls, 0u);
  EXPECT_EQ (Fw.Ports.Uart.Transmitted, std::vector<UINT8>{'A'});
  EXPECT_TRUE (Fw.Ports.Through (PortPath::CpuIo).empty ());
  EXPECT_FALSE (Fw.Ports.Through (PortPath::SmmIo).empty ());
}

// The image goes into SMRAM once: later installations of SMM Base do
// nothing after a load succeeded, and retry after one failed.
TEST (SmmBaseNotificationRepeat, LoadsTheImageIntoSmramAtMostOnce)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  struct Round {
    EFI_STATUS Status;
    size_t     RegisterCalls;  // so far
    bool       Quiet;          // no boot service called
  };
  const Round Rounds[] = {{EFI_OUT_OF_RESOURCES, 1, false}, {EFI_SUCCESS, 2, false}, {EFI_SUCCESS, 2, true}};
  for (const Round &R : Rounds) {
    Fw.SmmBase.RegisterStatus = R.Status;
    const size_t Calls = Fw.Calls.size ();
    Fw.Install (kSmmBaseGuid, &Fw.SmmBase.Protocol);
    EXPECT_EQ (Fw.SmmBase.RegisterCalls.size (), R.RegisterCalls);
    EXPECT_EQ (Fw.Calls.size () == Calls, R.Quiet);
  }
  EXPECT_TRUE (Fw.LivePool.empty ());
}

TEST (ProtocolTables, InstancesDifferOnlyInPortSlots)
{
  for (const LIB_SERVICES_PROTOCOL *T : {&mLibServicesBs, &mLibServicesSmm}) {
    EXPECT_EQ (T->Revision, 7u);
    EXPECT_EQ (T->Size, 112u);
  }
  auto *A = reinterpret_cast<const UINT8 *> (&mLibServicesBs);
  auto *B = reinterpret_cast<const UINT8 *> (&mLibServicesSmm);
  EXPECT_EQ (std::memcmp (A, B, 96), 0) << "header and slots 0 to 10 must match";
  EXPECT_EQ (mLibServicesBs.IoRead, &IoReadBs);
  EXPECT_EQ (mLibServicesBs.IoWrite, &IoWriteBs);
  EXPECT_EQ (mLibServicesSmm.IoRead, &IoReadSmm);
  EXPECT_EQ (mLibServicesSmm.IoWrite, &IoWriteSmm);
  EXPECT_EQ (reinterpret_cast<void *> (mLibServicesBs.PutCharA), reinterpret_cast<void *> (mLibServicesBs.PutCharC));
  EXPECT_EQ (reinterpret_cast<void *> (mLibServicesBs.GetCharA), reinterpret_cast<void *> (mLibServicesBs.GetCharB));
}

}  // namespace
