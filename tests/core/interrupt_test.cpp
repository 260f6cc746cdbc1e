// SPDX-License-Identifier: BSD-2-Clause-Patent
// Notification functions that interrupt a call in progress. A timer signal
// signals an event at TPL_CALLBACK every few microseconds; its notification
// runs at once, in the middle of whatever the test is doing, unless the TPL
// holds it back. Nothing that may run from the signal allocates.
#include "strmem/HeapList.h"
#include "SimTest.h"

#include <chrono>
#include <cstring>

using namespace simtest;

namespace {

constexpr unsigned kTickMicroseconds = 20;
constexpr auto     kRunTime          = std::chrono::milliseconds (150);

// Runs Step over and over for kRunTime with the tick signalling a
// notification that calls Notify.
template <typename STEP>
void RunInterrupted (sim::SimFirmware &Fw, EFI_EVENT_NOTIFY Notify, STEP Step)
{
  Fw.StartTick (Fw.NewEvent (TPL_CALLBACK, Notify), kTickMicroseconds);
  const auto End = std::chrono::steady_clock::now () + kRunTime;
  while (std::chrono::steady_clock::now () < End) {
    Step ();
  }
  Fw.StopTick ();
}

void StartBootServicesCopy (sim::SimFirmware &Fw)
{
  ASSERT_EQ (ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable), EFI_SUCCESS);
}

//
// GUID, time and status texts built while another one is being built.
//
template <int N> struct Sink {
  static inline char     Text[160];
  static inline unsigned Length;
  static VOID EFIAPI Put (CHAR16 Ch)
  {
    if (Length < sizeof Text) {
      Text[Length++] = static_cast<char> (Ch);
    }
  }
  // Formats and reports whether the text is Expected.
  static bool Matches (const char *Format, const UINT64 *Args, const char *Expected)
  {
    Length = 0;
    const UINT32 Count = FormatOutput (Put, 0xFFFFFFFF, 0, Format, reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (Args)));
    return Count == Length && Length == std::strlen (Expected) && std::memcmp (Text, Expected, Length) == 0;
  }
};

const EFI_GUID kGuid  = LIB_SERVICES_PROTOCOL_GUID;
const EFI_TIME kTime  = {2024, 3, 5, 7, 9, 59, 0, 0, 0, 0, 0};
const EFI_TIME kTime2 = {1999, 12, 31, 23, 58, 0, 0, 0, 0, 0, 0};

const UINT64 kMainArgs[]   = {reinterpret_cast<UINTN> (&kGuid), reinterpret_cast<UINTN> (&kTime), 0x8000000000000019ull};
const char   kMainText[]   = "87999fb1-d18c-4de9-b4b6-a130e6beed76|03/05/2024  07:09|8000000000000019";
const UINT64 kNotifyArgs[] = {reinterpret_cast<UINTN> (&kTime2), 0x123456789ABCDEFull, reinterpret_cast<UINTN> (&kGuid)};
const char   kNotifyText[] = "12/31/1999  23:58 123456789ABCDEF 87999FB1-D18C-4DE9-B4B6-A130E6BEED76";

unsigned gNotifyRuns, gNotifyWrong;

VOID EFIAPI FormatInNotification (EFI_EVENT, VOID *)
{
  ++gNotifyRuns;
  gNotifyWrong += !Sink<1>::Matches ("%t %r %G", kNotifyArgs, kNotifyText);
}

TEST (Interrupted, TextBuildsLeaveBothTextsIntact)
{
  sim::SimFirmware Fw;
  unsigned         Runs = 0, Wrong = 0;
  RunInterrupted (Fw, FormatInNotification, [&] {
    ++Runs;
    Wrong += !Sink<0>::Matches ("%g|%t|%r", kMainArgs, kMainText);
  });
  EXPECT_GT (gNotifyRuns, 100u) << Fw.Ticks << " ticks";
  EXPECT_EQ (gNotifyWrong, 0u);
  EXPECT_EQ (Wrong, 0u) << "of " << Runs;
}

}  // namespace
