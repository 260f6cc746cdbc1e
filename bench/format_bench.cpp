// SPDX-License-Identifier: BSD-2-Clause-Patent
// FormatOutput against the host C library's vsnprintf, and plain text
// against the floor: the same characters handed to the same output routine,
// one call each, with no format to walk. Compare the times of one group in
// the same run.
#include "servicelib/chars.h"
#include "servicelib/servicelib.h"

#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

char   mSink[4096];
size_t mSinkLength;

// The output routine of every FormatOutput run: appends to a buffer, as a
// client printing into memory would.
VOID EFIAPI Append (CHAR16 Ch) { mSink[mSinkLength++] = static_cast<char> (Ch); }

// Keeps the compiler from calling Append directly in the floor loop.
FORMAT_OUTPUT_ROUTINE OpaqueRoutine ()
{
  FORMAT_OUTPUT_ROUTINE Routine = Append;
  benchmark::DoNotOptimize (Routine);
  return Routine;
}

// The floor's loop: Text handed to Routine one character per call, 8-bit
// characters widened with their sign as the engine widens them.
void HandOver (FORMAT_OUTPUT_ROUTINE Routine, const char *Text)
{
  mSinkLength = 0;
  benchmark::DoNotOptimize (Text);
  for (; *Text != 0; ++Text) {
    Routine (WidenChar (*Text));
  }
  benchmark::ClobberMemory ();
}

int HostFormat (char *Buffer, size_t Size, const char *Format, ...)
{
  va_list Args;
  va_start (Args, Format);
  const int Length = std::vsnprintf (Buffer, Size, Format, Args);
  va_end (Args);
  return Length;
}

//
// Mixed: integers in every base with flags, width and precision, strings,
// and a pointer. The format means the same in both languages except for
// the text of %p.
//
const char kMixed[] = "id=%d neg=%+6d u=%u hex=%#010x HEX=%X oct=%#o w=%-8d| p=%.5d big=%llx s=%-10s| t=%.3s "
                      "c=%c ptr=%p\n";
const char kName[]  = "ServiceLib";
const char kTrim[]  = "abcdef";

// The mixed workload's arguments, one 8-byte slot each; the pointer of %p
// is any address.
struct MixedArgs {
  UINT64 Slot[13];

  explicit MixedArgs (const void *Pointer)
    : Slot{123456, static_cast<UINT64> (-42), 4000000000u, 0xBEEF, 0xC0FFEE, 0755, 17, 42, 0x123456789ABCDEFull,
           reinterpret_cast<UINTN> (kName), reinterpret_cast<UINTN> (kTrim), 'Z', reinterpret_cast<UINTN> (Pointer)}
  {
  }
  VA_LIST List () { return reinterpret_cast<VA_LIST> (Slot); }
};

void BM_Mixed_FormatOutput (benchmark::State &State)
{
  const FORMAT_OUTPUT_ROUTINE Routine = OpaqueRoutine ();
  MixedArgs Args (&State);
  for (auto _ : State) {
    mSinkLength = 0;
    benchmark::DoNotOptimize (FormatOutput (Routine, 0xFFFFFFFF, 0, kMixed, Args.List ()));
    benchmark::ClobberMemory ();
  }
  State.SetItemsProcessed (State.iterations ());
}

// The same run counting only (no routine): the engine's own share.
void BM_Mixed_FormatOutputCountOnly (benchmark::State &State)
{
  MixedArgs Args (&State);
  for (auto _ : State) {
    benchmark::DoNotOptimize (FormatOutput (NULL, 0xFFFFFFFF, 0, kMixed, Args.List ()));
  }
  State.SetItemsProcessed (State.iterations ());
}

void BM_Mixed_vsnprintf (benchmark::State &State)
{
  for (auto _ : State) {
    benchmark::DoNotOptimize (HostFormat (mSink, sizeof mSink, kMixed, 123456, -42, 4000000000u, 0xBEEF, 0xC0FFEE,
                                          0755, 17, 42, 0x123456789ABCDEFull, kName, kTrim, 'Z',
                                          static_cast<void *> (&State)));
    benchmark::ClobberMemory ();
  }
  State.SetItemsProcessed (State.iterations ());
}

// The floor of the mixed workload: the text that FormatOutput produces
// for it, made once, then handed over one character per call. What the
// engine costs beyond this is its own work.
void BM_Mixed_Floor (benchmark::State &State)
{
  const FORMAT_OUTPUT_ROUTINE Routine = OpaqueRoutine ();
  MixedArgs Args (&State);
  mSinkLength = 0;
  FormatOutput (Append, 0xFFFFFFFF, 0, kMixed, Args.List ());
  char Produced[sizeof mSink];
  std::memcpy (Produced, mSink, mSinkLength);
  Produced[mSinkLength] = 0;
  for (auto _ : State) {
    HandOver (Routine, Produced);
  }
  State.SetItemsProcessed (State.iterations ());
}

//
// Plain text: a log line that is nearly all text, one conversion at the end.
//
const char kPlain[] = "ServiceLib: boot-services instance installed, SMM Base notification armed, "
                      "speaker silenced; waiting for the SMRAM copy to start. status=%d\n";
const char kPlainOut[] = "ServiceLib: boot-services instance installed, SMM Base notification armed, "
                         "speaker silenced; waiting for the SMRAM copy to start. status=0\n";

void BM_Plain_FormatOutput (benchmark::State &State)
{
  const FORMAT_OUTPUT_ROUTINE Routine = OpaqueRoutine ();
  const UINT64 Args[] = {0};
  for (auto _ : State) {
    mSinkLength = 0;
    benchmark::DoNotOptimize (
      FormatOutput (Routine, 0xFFFFFFFF, 0, kPlain, reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (Args))));
    benchmark::ClobberMemory ();
  }
  State.SetBytesProcessed (State.iterations () * (sizeof kPlainOut - 1));
}

void BM_Plain_vsnprintf (benchmark::State &State)
{
  for (auto _ : State) {
    benchmark::DoNotOptimize (HostFormat (mSink, sizeof mSink, kPlain, 0));
    benchmark::ClobberMemory ();
  }
  State.SetBytesProcessed (State.iterations () * (sizeof kPlainOut - 1));
}

// The floor: no format at all, the produced text handed over one character
// per call.
void BM_Plain_Floor (benchmark::State &State)
{
  const FORMAT_OUTPUT_ROUTINE Routine = OpaqueRoutine ();
  for (auto _ : State) {
    HandOver (Routine, kPlainOut);
  }
  State.SetBytesProcessed (State.iterations () * (sizeof kPlainOut - 1));
}

BENCHMARK (BM_Mixed_FormatOutput);
BENCHMARK (BM_Mixed_Floor);
BENCHMARK (BM_Mixed_FormatOutputCountOnly);
BENCHMARK (BM_Mixed_vsnprintf);
BENCHMARK (BM_Plain_FormatOutput);
BENCHMARK (BM_Plain_vsnprintf);
BENCHMARK (BM_Plain_Floor);

}  // namespace
