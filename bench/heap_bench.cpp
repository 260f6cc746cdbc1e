// SPDX-License-Identifier: BSD-2-Clause-Patent
// HeapAllocFree against the host C library's malloc and free on the same
// sequence of requests, in the same run. The heap walks its list first fit,
// so its cost grows with the number of live blocks; the argument is that
// number. Each iteration starts and ends with nothing allocated.
#include "servicelib/servicelib.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr size_t kSteps = 2048;

// One step: the block in Slot (if any) is freed, then Size bytes are
// allocated into it. Sizes are odd as often as even, as callers ask.
struct Step {
  size_t Slot;
  size_t Size;
};

std::vector<Step> Steps (size_t Live)
{
  std::mt19937      Rng (static_cast<unsigned> (Live));
  std::vector<Step> Result;
  for (size_t I = 0; I < kSteps; ++I) {
    Result.push_back ({Rng () % Live, 1 + Rng () % 128});
  }
  return Result;
}

template <typename AllocT, typename FreeT>
void Run (benchmark::State &State, AllocT Alloc, FreeT Free)
{
  const size_t            Live = static_cast<size_t> (State.range (0));
  const std::vector<Step> Plan = Steps (Live);
  std::vector<void *>     Slots (Live, nullptr);
  for (auto _ : State) {
    for (const Step &S : Plan) {
      if (Slots[S.Slot] != nullptr) {
        Free (Slots[S.Slot]);
      }
      Slots[S.Slot] = Alloc (S.Size);
      if (Slots[S.Slot] == nullptr) {
        State.SkipWithError ("allocation failed");
        return;
      }
      benchmark::DoNotOptimize (Slots[S.Slot]);
    }
    for (void *&P : Slots) {
      if (P != nullptr) {
        Free (P);
        P = nullptr;
      }
    }
  }
  State.SetItemsProcessed (static_cast<int64_t> (State.iterations () * kSteps));
}

void BM_Heap_HeapAllocFree (benchmark::State &State)
{
  Run (State, [] (size_t Size) { return HeapAllocFree (nullptr, Size); }, [] (void *P) { HeapAllocFree (P, 0); });
}

void BM_Heap_malloc (benchmark::State &State)
{
  Run (State, [] (size_t Size) { return std::malloc (Size); }, [] (void *P) { std::free (P); });
}

BENCHMARK (BM_Heap_HeapAllocFree)->Arg (8)->Arg (64)->Arg (256);
BENCHMARK (BM_Heap_malloc)->Arg (8)->Arg (64)->Arg (256);

}  // namespace
