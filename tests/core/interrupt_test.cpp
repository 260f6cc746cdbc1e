// SPDX-License-Identifier: BSD-2-Clause-Patent
// Notification functions that interrupt a call in progress. A timer signal
// signals an event at TPL_CALLBACK every few microseconds; its notification
// runs at once, in the middle of whatever the test is doing, unless the TPL
// holds it back. Nothing that may run from the signal allocates.
#include "tests/strmem/HeapList.h"
#include "tests/SimTest.h"

#include <chrono>
#include <cstring>

using namespace simtest;

namespace {

constexpr unsigned kTickMicroseconds = 20;
constexpr auto     kRunTime          = std::chrono::milliseconds (150);

// Runs Step over and over for kRunTime with the tick signalling a
// notification that calls Notify.
template <typename StepT>
void RunInterrupted (sim::SimFirmware &Fw, EFI_EVENT_NOTIFY Notify, StepT Step)
{
  Fw.StartTick (Fw.NewEvent (TPL_CALLBACK, Notify), kTickMicroseconds);
  const auto End = std::chrono::steady_clock::now () + kRunTime;
  while (std::chrono::steady_clock::now () < End) {
    Step ();
  }
  Fw.StopTick ();
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

// What the notifications did; each test starts them afresh, since a test
// program run whole keeps them from the test before.
unsigned mNotifyRuns, mNotifyWrong;

VOID EFIAPI FormatInNotification (EFI_EVENT, VOID *)
{
  ++mNotifyRuns;
  mNotifyWrong += !Sink<1>::Matches ("%t %r %G", kNotifyArgs, kNotifyText);
}

TEST (Interrupted, TextBuildsLeaveBothTextsIntact)
{
  sim::SimFirmware Fw;
  unsigned         Runs = 0, Wrong = 0;
  mNotifyRuns = mNotifyWrong = 0;
  RunInterrupted (Fw, FormatInNotification, [&] {
    ++Runs;
    Wrong += !Sink<0>::Matches ("%g|%t|%r", kMainArgs, kMainText);
  });
  EXPECT_GT (mNotifyRuns, 100u) << Fw.Ticks << " ticks";
  EXPECT_EQ (mNotifyWrong, 0u);
  EXPECT_EQ (Wrong, 0u) << "of " << Runs;
}

//
// Heap calls interrupted by heap calls.
//
constexpr unsigned kLiveBlocks = 24;

struct HeapLoad {
  UINT8   *Block[kLiveBlocks] = {};
  UINTN    Size[kLiveBlocks]  = {};
  unsigned Next = 0, Lost = 0;

  // Frees the oldest block after checking its bytes, allocates another.
  void Step (UINTN Want, UINT8 Pattern)
  {
    const unsigned I = Next++ % kLiveBlocks;
    if (Block[I] != nullptr) {
      for (UINTN K = 0; K < Size[I]; ++K) {
        Lost += Block[I][K] != static_cast<UINT8> (Pattern ^ I);
      }
      Lost += HeapAllocFree (Block[I], 0) != Block[I];
    }
    Block[I] = static_cast<UINT8 *> (HeapAllocFree (nullptr, Want));
    Size[I]  = Block[I] != nullptr ? Want : 0;
    if (Block[I] != nullptr) {
      std::memset (Block[I], Pattern ^ I, Want);
    }
  }
  void Clear ()
  {
    for (auto *&B : Block) {
      if (B != nullptr) {
        Lost += HeapAllocFree (B, 0) != B;
        B = nullptr;
      }
    }
  }
};

HeapLoad mNotifyLoad;

VOID EFIAPI HeapInNotification (EFI_EVENT, VOID *)
{
  ++mNotifyRuns;
  mNotifyLoad.Step (8 + mNotifyRuns % 40, 0x5A);
}

TEST (Interrupted, HeapCallsKeepTheListWhole)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  HeapLoad Main;
  mNotifyRuns = 0;
  mNotifyLoad = {};
  RunInterrupted (Fw, HeapInNotification, [&] { Main.Step (1 + Main.Next % 97, 0xC3); });

  EXPECT_GT (mNotifyRuns, 100u) << Fw.Ticks << " ticks";
  EXPECT_GT (Fw.DeferredNotifies, 0u) << "no notification waited for a heap call to end";
  EXPECT_EQ (Fw.TplMisuse, 0u);
  EXPECT_EQ (Fw.CurrentTpl, static_cast<EFI_TPL> (TPL_APPLICATION));
  ASSERT_EQ (heaptest::ListDamage (), "");
  Main.Clear ();
  mNotifyLoad.Clear ();
  EXPECT_EQ (Main.Lost + mNotifyLoad.Lost, 0u);
  EXPECT_EQ (heaptest::Walk (), heaptest::kEmptyArena);
}

// In the boot-services copy each heap call runs at TPL_HIGH_LEVEL and
// gives the caller its level back; the SMM copy and a call after the
// hand-off call no boot service for it.
struct HeapTplCase {
  const char *Name;
  bool        SmmCopy, AfterHandoff;
  EFI_TPL     CallerTpl;
  bool        Raises;
};

class HeapTpl : public ::testing::TestWithParam<HeapTplCase> {};

TEST_P (HeapTpl, EachCallRunsRaisedInTheBootServicesCopyOnly)
{
  const HeapTplCase &C = GetParam ();
  sim::SimFirmware   Fw;
  if (C.SmmCopy) {
    Fw.InstallSmmBase (TRUE);
  }
  ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable);
  if (C.AfterHandoff) {
    Fw.BootServices.ExitBootServices (nullptr, 0);
  }
  const size_t Calls = Fw.Calls.size ();
  Fw.ClearTplLog ();
  Fw.CurrentTpl = C.CallerTpl;

  VOID *Block = HeapAllocFree (nullptr, 10);
  ASSERT_NE (Block, nullptr);
  EXPECT_EQ (HeapAllocFree (Block, 0), Block);

  const std::vector<sim::TplCall> Raised = {{true, TPL_HIGH_LEVEL}, {false, C.CallerTpl}};
  std::vector<sim::TplCall> Expected;
  if (C.Raises) {
    Expected = Raised;
    Expected.insert (Expected.end (), Raised.begin (), Raised.end ());
  }
  EXPECT_EQ (Fw.TplCalls (), Expected);
  EXPECT_EQ (Fw.CurrentTpl, C.CallerTpl);
  EXPECT_EQ (Fw.TplMisuse, 0u);
  EXPECT_EQ (Fw.Calls.size (), Calls);
}

INSTANTIATE_TEST_SUITE_P (
  Copies, HeapTpl,
  ::testing::Values (HeapTplCase{"BootServicesCopy", false, false, TPL_APPLICATION, true},
                     HeapTplCase{"BootServicesCopyFromANotification", false, false, TPL_CALLBACK, true},
                     HeapTplCase{"BootServicesCopyAtHighLevel", false, false, TPL_HIGH_LEVEL, true},
                     HeapTplCase{"AfterHandoff", false, true, TPL_APPLICATION, false},
                     HeapTplCase{"SmmCopy", true, false, TPL_APPLICATION, false}), CaseName ());

}  // namespace
