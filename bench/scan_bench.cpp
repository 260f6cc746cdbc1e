// SPDX-License-Identifier: BSD-2-Clause-Patent
// ScanInput over an in-memory input routine against the host C library's
// sscanf on the same lines, in the same run.
#include "servicelib/servicelib.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

const char *mCursor;

UINTN EFIAPI ReadCursor (INT32 *Counter)
{
  (void)Counter;
  const unsigned char Ch = static_cast<unsigned char> (*mCursor);
  if (Ch != 0) {
    ++mCursor;
  }
  return Ch;
}

constexpr size_t kLines = 512;

// Five integer fields a line: signed decimal, plain decimal, hex with and
// without a prefix in both cases, and a '+' sign, with varying whitespace.
std::vector<std::string> IntegerLines ()
{
  std::mt19937             Rng (42);
  std::vector<std::string> Lines;
  char                     Buf[128];
  for (size_t I = 0; I < kLines; ++I) {
    int A = static_cast<int> (Rng () % 2000001) - 1000000;
    int B = static_cast<int> (Rng () % 100000);
    unsigned C = Rng () & 0x7FFFFFF;
    unsigned D = Rng () & 0xFFFF;
    int E = static_cast<int> (Rng () % 99999);
    std::snprintf (Buf, sizeof Buf, "%*s%d %d\t0x%x  %X +%d\n", static_cast<int> (I % 3), "", A, B, C, D, E);
    Lines.emplace_back (Buf);
  }
  return Lines;
}

// Two words and two single characters a line.
std::vector<std::string> TextLines ()
{
  std::mt19937             Rng (7);
  std::vector<std::string> Lines;
  auto Word = [&Rng] (size_t Len) {
    std::string W;
    for (size_t I = 0; I < Len; ++I) {
      W += static_cast<char> ('a' + Rng () % 26);
    }
    return W;
  };
  for (size_t I = 0; I < kLines; ++I) {
    Lines.push_back ("  " + Word (3 + Rng () % 10) + " " + static_cast<char> ('A' + Rng () % 26) + "  " +
                     Word (1 + Rng () % 14) + " " + Word (3) + "\n");
  }
  return Lines;
}

const std::vector<std::string> &Ints ()
{
  static const std::vector<std::string> Lines = IntegerLines ();
  return Lines;
}

const std::vector<std::string> &Texts ()
{
  static const std::vector<std::string> Lines = TextLines ();
  return Lines;
}

struct IntFields {
  INT64 V[5];
};

INTN ScanIntLine (const std::string &Line, IntFields &F)
{
  UINT64 Args[5];
  for (int I = 0; I < 5; ++I) {
    Args[I] = reinterpret_cast<UINTN> (&F.V[I]);
  }
  mCursor = Line.c_str ();
  return ScanInput (ReadCursor, 0, 0, "%d %d %x %X %d", reinterpret_cast<VA_LIST> (Args));
}

int SscanfIntLine (const std::string &Line, int (&V)[5])
{
  return std::sscanf (Line.c_str (), "%d %d %x %X %d", &V[0], &V[1], &V[2], &V[3], &V[4]);
}

struct TextFields {
  char W1[16], C1, W2[16], C2[3];
};

INTN ScanTextLine (const std::string &Line, TextFields &F)
{
  UINT64 Args[] = {reinterpret_cast<UINTN> (F.W1), reinterpret_cast<UINTN> (&F.C1), reinterpret_cast<UINTN> (F.W2),
                   reinterpret_cast<UINTN> (F.C2)};
  mCursor = Line.c_str ();
  return ScanInput (ReadCursor, 0, 0, "%15s %c %15s %3c", reinterpret_cast<VA_LIST> (Args));
}

int SscanfTextLine (const std::string &Line, TextFields &F)
{
  return std::sscanf (Line.c_str (), "%15s %c %15s %3c", F.W1, &F.C1, F.W2, F.C2);
}

// Both readers must agree on every line before their speed means anything.
bool SameResults ()
{
  for (const auto &Line : Ints ()) {
    IntFields Ours;
    int       Theirs[5];
    if (ScanIntLine (Line, Ours) != 5 || SscanfIntLine (Line, Theirs) != 5) {
      return false;
    }
    for (int I = 0; I < 5; ++I) {
      if (Ours.V[I] != Theirs[I]) {
        return false;
      }
    }
  }
  for (const auto &Line : Texts ()) {
    TextFields Ours{}, Theirs{};
    if (ScanTextLine (Line, Ours) != 4 || SscanfTextLine (Line, Theirs) != 4 ||
        std::string (Ours.W1) != Theirs.W1 || Ours.C1 != Theirs.C1 || std::string (Ours.W2) != Theirs.W2 ||
        std::string (Ours.C2, 3) != std::string (Theirs.C2, 3)) {
      return false;
    }
  }
  return true;
}

template <typename Fn>
void RunLines (benchmark::State &State, const std::vector<std::string> &Lines, Fn Scan)
{
  if (!SameResults ()) {
    State.SkipWithError ("ScanInput and sscanf disagree");
    return;
  }
  for (auto _ : State) {
    for (const auto &Line : Lines) {
      benchmark::DoNotOptimize (Scan (Line));
    }
    benchmark::ClobberMemory ();
  }
  State.SetItemsProcessed (static_cast<int64_t> (State.iterations () * Lines.size ()));
}

void BM_Integers_ScanInput (benchmark::State &State)
{
  IntFields F;
  RunLines (State, Ints (), [&F] (const std::string &L) { return ScanIntLine (L, F); });
}

void BM_Integers_sscanf (benchmark::State &State)
{
  int V[5];
  RunLines (State, Ints (), [&V] (const std::string &L) { return SscanfIntLine (L, V); });
}

void BM_Text_ScanInput (benchmark::State &State)
{
  TextFields F;
  RunLines (State, Texts (), [&F] (const std::string &L) { return ScanTextLine (L, F); });
}

void BM_Text_sscanf (benchmark::State &State)
{
  TextFields F;
  RunLines (State, Texts (), [&F] (const std::string &L) { return SscanfTextLine (L, F); });
}

// The input routine alone, called as often as ScanInput calls it on the
// text lines: the share of ScanInput's time that the one-call-per-character
// interface costs, which sscanf does not pay.
void BM_Text_InputRoutineOnly (benchmark::State &State)
{
  std::vector<size_t> Reads;
  for (const auto &Line : Texts ()) {
    TextFields F;
    ScanTextLine (Line, F);
    Reads.push_back (static_cast<size_t> (mCursor - Line.c_str ()));
  }
  SCAN_INPUT_ROUTINE Routine = ReadCursor;
  benchmark::DoNotOptimize (Routine);  // called through a pointer, as ScanInput does
  for (auto _ : State) {
    for (size_t I = 0; I < Reads.size (); ++I) {
      mCursor     = Texts ()[I].c_str ();
      INT32 Count = 0;
      for (size_t N = 0; N < Reads[I]; ++N) {
        Count += Routine (&Count) != 0;
      }
      benchmark::DoNotOptimize (Count);
    }
  }
  State.SetItemsProcessed (static_cast<int64_t> (State.iterations () * Reads.size ()));
}

BENCHMARK (BM_Integers_ScanInput);
BENCHMARK (BM_Integers_sscanf);
BENCHMARK (BM_Text_ScanInput);
BENCHMARK (BM_Text_sscanf);
BENCHMARK (BM_Text_InputRoutineOnly);

}  // namespace
