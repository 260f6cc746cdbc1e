// SPDX-License-Identifier: BSD-2-Clause-Patent
// Notification functions that interrupt a call in progress. A timer signal
// signals an event at TPL_CALLBACK every few microseconds; its notification
// runs at once, in the middle of whatever the test is doing, unless the TPL
// holds it back. Nothing that may run from the signal allocates.
#include "tests/strmem/HeapList.h"
#include "tests/SimTest.h"

#include <chrono>
#include <cstdint>
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

//
// Serial slots interrupted at each of their port accesses by a notification
// that prints. The notification is signalled once, at the At-th access of
// the slot's traffic (bring-up, polls and data).
//
void SignalAtAccess (sim::SimFirmware &Fw, EFI_EVENT Event, size_t At)
{
  Fw.Ports.AfterAccess = [&Fw, Event, At, Seen = size_t{0}] (const PortAccess &) mutable {
    if (Seen++ == At) {
      Fw.Signal (Event);
    } else if (Seen == At + 100 && Fw.Ports.Uart.Receive.empty ()) {
      Fw.Ports.Uart.Receive.push_back ('?');  // a key at last, should the notification never run
    }
  };
}

constexpr UINT8 kIer = 0x05;  // a UART interrupt-enable the slots must keep

VOID EFIAPI PrintInNotification (EFI_EVENT, VOID *Context)
{
  ++mNotifyRuns;
  mLib->PutCharA ('b');
  if (Context != nullptr) {  // and the key a waiting client gets next
    static_cast<sim::Uart16550 *> (Context)->Receive.push_back ('x');
  }
}

struct SerialInterruptCase {
  const char                           *Name;
  LIB_PUT_CHAR LIB_SERVICES_PROTOCOL::*Put;  // NULL: the get slot Get
  LIB_GET_CHAR LIB_SERVICES_PROTOCOL::*Get;
  CHAR16                                Ch;
  size_t                                Accesses;  // the slot's own traffic, when not interrupted
  std::vector<UINT8>                    Line;      // what COM1 sends: the slot's bytes, then the notification's
};

class SerialInterrupted : public ::testing::TestWithParam<SerialInterruptCase> {};

// Output: the bring-up and the character (with the CR after a LF) are one
// step, so the notification prints after it, and the divisor bytes never
// reach the line or the interrupt-enable register. Input: the notification
// runs between steps, after the bring-up or after a poll that found no
// key, and leaves the port ready for the next poll.
TEST_P (SerialInterrupted, NotificationThatPrintsWaitsForTheStep)
{
  const SerialInterruptCase &C = GetParam ();
  for (size_t At = 0; At < C.Accesses; ++At) {
    sim::SimFirmware Fw;
    StartServiceLib (Fw);
    Fw.Ports.Uart.Ier = kIer;
    mNotifyRuns       = 0;
    SignalAtAccess (Fw, Fw.NewEvent (TPL_CALLBACK, PrintInNotification, C.Get ? &Fw.Ports.Uart : nullptr), At);

    if (C.Put != nullptr) {
      (mLib->*C.Put) (C.Ch);
    } else {
      EXPECT_EQ ((mLib->*C.Get) (), 'x') << "at access " << At;
    }
    EXPECT_EQ (mNotifyRuns, 1u) << "at access " << At;
    EXPECT_EQ (Fw.Ports.Uart.Transmitted, C.Line) << "at access " << At;
    EXPECT_EQ (Fw.Ports.Uart.Ier, kIer) << "at access " << At;
    EXPECT_EQ (Fw.Ports.Uart.Lcr, 0x03) << "at access " << At;
    EXPECT_EQ (Fw.Ports.Uart.Divisor (), 1) << "at access " << At;
    EXPECT_EQ (Fw.CurrentTpl, static_cast<EFI_TPL> (TPL_APPLICATION));
    EXPECT_EQ (Fw.TplMisuse, 0u);
  }
}

// 26 accesses of bring-up, then one poll and the data (a LF: a poll and
// the CR more). The get slots start with no key queued: the notification
// brings it, and the first poll (access 26) finds none.
INSTANTIATE_TEST_SUITE_P (
  Slots, SerialInterrupted,
  ::testing::Values (
    SerialInterruptCase{"PutCharA", &LIB_SERVICES_PROTOCOL::PutCharA, nullptr, 'a', 28, {'a', 'b'}},
    SerialInterruptCase{"PutCharB", &LIB_SERVICES_PROTOCOL::PutCharB, nullptr, 'a', 28, {'a', 'b'}},
    SerialInterruptCase{"PutCharCLineFeed", &LIB_SERVICES_PROTOCOL::PutCharC, nullptr, '\n', 30, {'\n', '\r', 'b'}},
    SerialInterruptCase{"GetCharA", nullptr, &LIB_SERVICES_PROTOCOL::GetCharA, 0, 27, {'b'}},
    SerialInterruptCase{"GetCharB", nullptr, &LIB_SERVICES_PROTOCOL::GetCharB, 0, 27, {'b'}}),
  CaseName ());

// Which serial steps run raised: in the boot-services copy each step (a put,
// the bring-up of a get, each poll) at TPL_HIGH_LEVEL, giving the caller its
// level back; the SMM copy and a call after the hand-off never raise. Where
// the port I/O protocol is first looked up by the slot (CPU I/O 2, installed
// after ServiceLib), the lookup comes before the raise, so it finds it.
struct SerialTplCase {
  const char *Name;
  bool        SmmCopy, AfterHandoff, LateCpuIo2;
  EFI_TPL     CallerTpl;
  bool        Raises;
};

class SerialTpl : public ::testing::TestWithParam<SerialTplCase> {};

TEST_P (SerialTpl, EachStepRunsRaisedInTheBootServicesCopyOnly)
{
  const SerialTplCase &C = GetParam ();
  sim::SimFirmware     Fw;
  if (C.LateCpuIo2) {
    Fw.UninstallAll (kCpuIoGuid);
  }
  StartServiceLib (Fw, C.SmmCopy);
  if (C.LateCpuIo2) {
    Fw.Install (kCpuIo2Guid, &Fw.CpuIo2);
  }
  if (C.AfterHandoff) {
    Fw.BootServices.ExitBootServices (nullptr, 0);
  }
  const size_t Calls = Fw.Calls.size ();
  Fw.ClearTplLog ();
  Fw.CurrentTpl = C.CallerTpl;
  Fw.Ports.Uart.Receive.push_back ('k');

  mLib->PutCharA ('a');
  EXPECT_EQ (mLib->GetCharA (), 'k');

  const sim::TplCall Raise = {true, TPL_HIGH_LEVEL}, Restore = {false, C.CallerTpl};
  std::vector<sim::TplCall> Expected;
  if (C.LateCpuIo2) {
    Expected = {Raise, Restore};  // the lookup asking for the caller's level
  }
  for (int Step = 0; C.Raises && Step < 3; ++Step) {
    Expected.insert (Expected.end (), {Raise, Restore});
  }
  EXPECT_EQ (Fw.TplCalls (), Expected);
  EXPECT_EQ (Fw.Ports.Uart.Transmitted, std::vector<UINT8> {'a'});
  EXPECT_EQ (Fw.CurrentTpl, C.CallerTpl);
  EXPECT_EQ (Fw.TplMisuse, 0u);
  EXPECT_EQ (Fw.Calls.size (), Calls + (C.LateCpuIo2 ? 2 : 0));  // LocateProtocol of each CPU I/O protocol
}

INSTANTIATE_TEST_SUITE_P (
  Copies, SerialTpl,
  ::testing::Values (SerialTplCase{"BootServicesCopy", false, false, false, TPL_APPLICATION, true},
                     SerialTplCase{"BootServicesCopyFromANotification", false, false, false, TPL_CALLBACK, true},
                     SerialTplCase{"BootServicesCopyLookingUpCpuIo2", false, false, true, TPL_APPLICATION, true},
                     SerialTplCase{"AfterHandoff", false, true, false, TPL_APPLICATION, false},
                     SerialTplCase{"SmmCopy", true, false, false, TPL_APPLICATION, false}), CaseName ());

//
// A scan started by a notification in the middle of another scan, at each
// character the outer scan reads: the outer scan goes on as if nothing had
// happened, and the notification's input routine is not called once its
// scan has ended.
//
struct TextInput {
  const char16_t *Text;
  size_t          Pos, CallsAfterEnd;
  bool            Ended;
};

TextInput mOuter, mInner;
EFI_EVENT mScanEvent;
size_t    mSignalAt;

UINTN EFIAPI ReadInner (INT32 *)
{
  mInner.CallsAfterEnd += mInner.Ended;
  return mInner.Text[mInner.Pos] != 0 ? mInner.Text[mInner.Pos++] : 0;
}

UINTN EFIAPI ReadOuter (INT32 *)
{
  if (mOuter.Pos == mSignalAt) {
    sim::SimFirmware::Current ()->Signal (mScanEvent);
  }
  return mOuter.Text[mOuter.Pos] != 0 ? mOuter.Text[mOuter.Pos++] : 0;
}

VOID EFIAPI ScanInNotification (EFI_EVENT, VOID *)
{
  ++mNotifyRuns;
  INT64  Value  = 0;
  UINT64 Args[] = {reinterpret_cast<UINTN> (&Value)};
  mInner        = {u"99 ", 0, 0, false};
  mNotifyWrong += ScanInput (ReadInner, 0, 0, "%d", reinterpret_cast<VA_LIST> (Args)) != 1 || Value != 99;
  mInner.Ended  = true;
}

// The outer scan: "%d %d%n," over "34  56,x", with push-back at both
// numbers and a count. Reports whether it read what it should have.
bool OuterScanIsRight ()
{
  mOuter = {u"34  56,x", 0, 0, false};
  INT64  First = 0, Second = 0;
  INT32  Consumed = 0;
  UINT64 Args[] = {reinterpret_cast<UINTN> (&First), reinterpret_cast<UINTN> (&Second), reinterpret_cast<UINTN> (&Consumed)};
  const INTN Result = ScanInput (ReadOuter, 0, 0, "%d %d%n,", reinterpret_cast<VA_LIST> (Args));
  return Result == 2 && First == 34 && Second == 56 && Consumed == 6 && mOuter.Pos == 7;  // the ',' read, 'x' left
}

TEST (Interrupted, ScanInANotificationLeavesTheOuterScanAsItWas)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  mScanEvent = Fw.NewEvent (TPL_CALLBACK, ScanInNotification);
  for (mSignalAt = 0; mSignalAt < 7; ++mSignalAt) {
    mNotifyRuns = mNotifyWrong = 0;
    EXPECT_TRUE (OuterScanIsRight ()) << "at character " << mSignalAt;
    EXPECT_EQ (mNotifyRuns, 1u) << "at character " << mSignalAt;
    EXPECT_EQ (mNotifyWrong, 0u) << "at character " << mSignalAt;
    EXPECT_EQ (mInner.CallsAfterEnd, 0u) << "at character " << mSignalAt;
  }
}

// The same from the timer tick, which lands anywhere in the outer scan.
TEST (Interrupted, ScansFromTheTickLeaveTheOuterScanAsItWas)
{
  sim::SimFirmware Fw;
  StartServiceLib (Fw);
  unsigned Runs = 0, Wrong = 0;
  mNotifyRuns = mNotifyWrong = 0;
  mSignalAt   = SIZE_MAX;
  RunInterrupted (Fw, ScanInNotification, [&] {
    ++Runs;
    Wrong += !OuterScanIsRight ();
  });
  EXPECT_GT (mNotifyRuns, 100u) << Fw.Ticks << " ticks";
  EXPECT_EQ (mNotifyWrong, 0u);
  EXPECT_EQ (mInner.CallsAfterEnd, 0u);
  EXPECT_EQ (Wrong, 0u) << "of " << Runs;
}

}  // namespace
