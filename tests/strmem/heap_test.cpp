// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slot 10: the block heap. Every test starts from and returns to the empty
// arena (leading sentinel, one free block, end marker), so the tests also
// pass when run one after another in a single process.
#include "tests/CaseName.h"
#include "tests/strmem/HeapList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace heaptest;

namespace {

constexpr UINTN kAll = ~static_cast<UINTN> (0);

VOID *PayloadAt (UINTN HeaderOffset)
{
  return mHeapArena + HeaderOffset + kHdr;
}

class Heap : public ::testing::Test {
protected:
  void SetUp () override
  {
    EXPECT_EQ (HeapAllocFree (nullptr, 0), nullptr);  // lays out the arena if needed
    ASSERT_EQ (ListDamage (), "");
    ASSERT_EQ (Walk (), kEmptyArena);
  }

  void TearDown () override
  {
    EXPECT_EQ (ListDamage (), "");
    EXPECT_EQ (Walk (), kEmptyArena) << "test left blocks allocated";
  }

  static VOID *Alloc (UINTN Size) { return HeapAllocFree (nullptr, Size); }
  static VOID *Free (VOID *Block) { return HeapAllocFree (Block, 0); }
};

// Every test starts with the arena as loaded, so this is the first call of
// slot 10: allocating must not wait for anyone to set the arena up.
TEST (HeapFirstUse, FirstAllocationLaysOutTheArenaItself)
{
  EXPECT_EQ (reinterpret_cast<UINTN> (mHeapArena) % 16, 0u);
  VOID *P = mLibServicesBs.HeapAllocFree (nullptr, 16);
  EXPECT_EQ (P, PayloadAt (kHdr));
  EXPECT_EQ (ListDamage (), "");
  EXPECT_EQ (mLibServicesSmm.HeapAllocFree (P, 0), P);
  EXPECT_EQ (Walk (), kEmptyArena);
}

TEST_F (Heap, OddSizesLeaveHeadersUnalignedAndStillWork)
{
  VOID *A = Alloc (1);
  VOID *B = Alloc (3);
  VOID *C = Alloc (5);
  EXPECT_EQ (OffsetOf (B), OffsetOf (A) + 1 + kHdr);
  EXPECT_EQ (OffsetOf (C), OffsetOf (B) + 3 + kHdr);
  EXPECT_EQ (ListDamage (), "");
  EXPECT_EQ (Free (B), B);
  EXPECT_EQ (Free (A), A);
  EXPECT_EQ (Free (C), C);
}

// A hole of capacity 200 between two allocated blocks, and the free tail.
enum class Where { Hole, Tail, None };
struct FitCase {
  UINTN Size;
  Where Expected;
  int   NewHeaders;
};

void PrintTo (const FitCase &C, std::ostream *Os)
{
  *Os << "size_" << C.Size;
}

constexpr UINTN kHole      = 200;
constexpr UINTN kHoleAt    = kHdr + kHdr + 32;            // header offset of the hole
constexpr UINTN kTailAt    = kHoleAt + kHdr + kHole + kHdr + 32;
constexpr UINTN kTailSpace = kEnd - kTailAt - kHdr;       // capacity of the tail

const FitCase kFitCases[] = {
  {kHole, Where::Hole, 0},          // exact capacity: taken whole, no new header
  {kHole - 1, Where::Tail, 1},      // too big to leave a header behind
  {kHole - 23, Where::Tail, 1},
  {kHole - 24, Where::Hole, 1},     // leaves a free block of capacity 0
  {1, Where::Hole, 1},
  {0, Where::None, 0},
  {kTailSpace, Where::Tail, 0},
  {kTailSpace + 1, Where::None, 0},
  {kArenaSize, Where::None, 0},
  // Sizes near the top must not wrap the split test into a fit.
  {kAll, Where::None, 0},
  {kAll - 23, Where::None, 0},
  {kAll - 47, Where::None, 0},
  {kAll - 48, Where::None, 0},
  {kAll / 2 + 1, Where::None, 0},
};

class HeapFit : public Heap, public ::testing::WithParamInterface<FitCase> {};

TEST_P (HeapFit, FirstFitTakesTheHoleOnlyWhenItFits)
{
  const FitCase &C = GetParam ();
  VOID *Left  = Alloc (32);
  VOID *Hole  = Alloc (kHole);
  VOID *Right = Alloc (32);
  ASSERT_EQ (OffsetOf (Hole), kHoleAt + kHdr);
  ASSERT_EQ (OffsetOf (Right), kTailAt - 32);
  ASSERT_EQ (Free (Hole), Hole);
  const auto Before = Walk ();

  VOID *Got = Alloc (C.Size);
  EXPECT_EQ (ListDamage (), "");
  EXPECT_EQ (Walk ().size (), Before.size () + C.NewHeaders);
  switch (C.Expected) {
    case Where::Hole: EXPECT_EQ (Got, PayloadAt (kHoleAt)); break;
    case Where::Tail: EXPECT_EQ (Got, PayloadAt (kTailAt)); break;
    case Where::None: EXPECT_EQ (Got, nullptr); EXPECT_EQ (Walk (), Before); break;
  }
  if (Got != nullptr) {
    EXPECT_EQ (Free (Got), Got);
  }
  EXPECT_EQ (Free (Left), Left);
  EXPECT_EQ (Free (Right), Right);
}

INSTANTIATE_TEST_SUITE_P (Heap, HeapFit, ::testing::ValuesIn (kFitCases));

// Four blocks and the free tail (block 4); each case frees some of them in
// order and lists the surviving headers by block number with their tags.
struct MergeCase {
  std::vector<int>                     FreeOrder;
  std::vector<std::pair<int, char>>    Expected;
};

void PrintTo (const MergeCase &C, std::ostream *Os)
{
  *Os << "free";
  for (int I : C.FreeOrder) {
    *Os << "_" << I;
  }
}

const MergeCase kMergeCases[] = {
  {{1}, {{0, 'A'}, {1, 'F'}, {2, 'A'}, {3, 'A'}, {4, 'F'}}},
  {{0}, {{0, 'F'}, {1, 'A'}, {2, 'A'}, {3, 'A'}, {4, 'F'}}},   // the sentinel before it is never merged
  {{3}, {{0, 'A'}, {1, 'A'}, {2, 'A'}, {3, 'F'}}},             // joins the tail
  {{1, 2}, {{0, 'A'}, {1, 'F'}, {3, 'A'}, {4, 'F'}}},          // the free block before absorbs it
  {{2, 1}, {{0, 'A'}, {1, 'F'}, {3, 'A'}, {4, 'F'}}},          // it absorbs the free block after
  {{0, 2, 1}, {{0, 'F'}, {3, 'A'}, {4, 'F'}}},                 // between two free: one block over all three
  {{1, 3, 2}, {{0, 'A'}, {1, 'F'}}},
};

class HeapMerge : public Heap, public ::testing::WithParamInterface<MergeCase> {};

TEST_P (HeapMerge, FreeingMergesWithFreeNeighbours)
{
  const MergeCase &C = GetParam ();
  VOID *Blocks[4];
  UINTN Headers[5];
  const UINTN Sizes[4] = {16, 40, 8, 64};
  for (int I = 0; I < 4; I++) {
    Blocks[I]  = Alloc (Sizes[I]);
    Headers[I] = OffsetOf (Blocks[I]) - kHdr;
  }
  Headers[4] = Headers[3] + kHdr + Sizes[3];

  std::vector<bool> Freed (4, false);
  for (int I : C.FreeOrder) {
    EXPECT_EQ (Free (Blocks[I]), Blocks[I]);
    Freed[I] = true;
  }
  ASSERT_EQ (ListDamage (), "");
  std::vector<BlockView> Expected = {{0, 'A'}};
  for (auto [Index, Tag] : C.Expected) {
    Expected.push_back ({Headers[Index], Tag});
  }
  Expected.push_back ({kEnd, 'A'});
  EXPECT_EQ (Walk (), Expected);

  for (int I = 0; I < 4; I++) {
    if (!Freed[I]) {
      EXPECT_EQ (Free (Blocks[I]), Blocks[I]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P (Heap, HeapMerge, ::testing::ValuesIn (kMergeCases));

// Pointers that are not the payload of an allocated block are refused and
// leave every byte of the arena as it was.
TEST_F (Heap, FreeRefusesPointersThatAreNotLiveBlocks)
{
  UINT8 *X = static_cast<UINT8 *> (Alloc (64));
  UINT8 *Y = static_cast<UINT8 *> (Alloc (32));
  UINT8 *Z = static_cast<UINT8 *> (Alloc (16));
  ASSERT_EQ (Free (Y), Y);
  UINT8 Local = 0;

  const std::pair<const char *, VOID *> Stray[] = {
    {"outside the arena", &Local},
    {"arena start", mHeapArena},
    {"leading sentinel's payload", mHeapArena + kHdr},
    {"one byte before a payload", X - 1},
    {"one byte into a payload", X + 1},
    {"a block header", X - kHdr},
    {"a freed block (double free)", Y},
    {"inside a payload", Z + 8},
    {"free tail", Z + 16 + kHdr},
    {"end marker header", mHeapArena + kEnd},
    {"end marker payload", mHeapArena + kArenaSize},
  };
  const std::vector<UINT8> Snapshot (mHeapArena, mHeapArena + kArenaSize);
  for (auto [What, Pointer] : Stray) {
    EXPECT_EQ (Free (Pointer), nullptr) << What;
    EXPECT_TRUE (std::equal (Snapshot.begin (), Snapshot.end (), mHeapArena)) << What;
  }
  EXPECT_EQ (HeapAllocFree (X, 1), nullptr);  // a block and a size: nothing to do
  EXPECT_TRUE (std::equal (Snapshot.begin (), Snapshot.end (), mHeapArena));

  EXPECT_EQ (Free (X), X);
  EXPECT_EQ (Free (X), nullptr);  // second free of the same block
  EXPECT_EQ (Free (Z), Z);
}

// An independent model of the arena: the real blocks between the two
// sentinels as (header offset, free) in address order.
class ArenaModel {
public:
  struct Block {
    UINTN Offset;
    bool  Free;
  };

  std::vector<Block> Blocks{{kHdr, true}};
  int                ExactFits = 0, Splits = 0, Misses = 0;

  UINTN Capacity (size_t I) const
  {
    UINTN Next = I + 1 < Blocks.size () ? Blocks[I + 1].Offset : kEnd;
    return Next - Blocks[I].Offset - kHdr;
  }

  std::optional<UINTN> Alloc (UINTN Size)
  {
    if (Size == 0) {
      return std::nullopt;
    }
    for (size_t I = 0; I < Blocks.size (); I++) {
      if (!Blocks[I].Free || (Capacity (I) != Size && Capacity (I) < Size + kHdr)) {
        continue;
      }
      if (Capacity (I) != Size) {
        Blocks.insert (Blocks.begin () + I + 1, {Blocks[I].Offset + kHdr + Size, true});
        Splits++;
      } else {
        ExactFits++;
      }
      Blocks[I].Free = false;
      return Blocks[I].Offset + kHdr;
    }
    Misses++;
    return std::nullopt;
  }

  void Free (UINTN Payload)
  {
    auto It = std::find_if (Blocks.begin (), Blocks.end (), [&] (auto &B) { return B.Offset + kHdr == Payload; });
    ASSERT_TRUE (It != Blocks.end () && !It->Free);
    It->Free = true;
    if (It + 1 != Blocks.end () && (It + 1)->Free) {
      Blocks.erase (It + 1);
    }
    if (It != Blocks.begin () && (It - 1)->Free) {
      Blocks.erase (It);
    }
  }

  std::vector<BlockView> View () const
  {
    std::vector<BlockView> V = {{0, 'A'}};
    for (auto &B : Blocks) {
      V.push_back ({B.Offset, B.Free ? 'F' : 'A'});
    }
    V.push_back ({kEnd, 'A'});
    return V;
  }
};

struct LiveBlock {
  UINT8              *Payload;
  std::vector<UINT8> Pattern;
};

::testing::AssertionResult PayloadsAreIntact (const std::vector<LiveBlock> &Blocks)
{
  std::vector<const LiveBlock *> Live;
  for (auto &L : Blocks) {
    Live.push_back (&L);
  }
  std::sort (Live.begin (), Live.end (), [] (auto *A, auto *B) { return A->Payload < B->Payload; });
  for (size_t I = 0; I < Live.size (); I++) {
    auto &L = *Live[I];
    UINTN Capacity = OffsetOf (reinterpret_cast<HEAP_BLOCK_HEADER *> (L.Payload - kHdr)->Next) - OffsetOf (L.Payload);
    if (Capacity != L.Pattern.size ()) {
      return ::testing::AssertionFailure () << "block at " << OffsetOf (L.Payload) << " has capacity " << Capacity;
    }
    if (I + 1 < Live.size () && L.Payload + L.Pattern.size () > Live[I + 1]->Payload) {
      return ::testing::AssertionFailure () << "payloads overlap at " << OffsetOf (L.Payload);
    }
    if (!L.Pattern.empty () && std::memcmp (L.Payload, L.Pattern.data (), L.Pattern.size ()) != 0) {
      return ::testing::AssertionFailure () << "payload at " << OffsetOf (L.Payload) << " overwritten";
    }
  }
  return ::testing::AssertionSuccess ();
}

constexpr int kRandomSteps = 25000;

class HeapRandom : public Heap, public ::testing::WithParamInterface<UINT64> {};

// Long runs of allocations, frees in random order and stray frees, checked
// after every step against the model and the payload patterns.
TEST_P (HeapRandom, ListAndPayloadsMatchTheModelAfterEveryStep)
{
  std::mt19937_64        Rng (GetParam ());
  ArenaModel             Model;
  std::vector<LiveBlock> Live;
  std::vector<UINT8 *>   Retired;
  auto Below = [&] (UINTN N) { return static_cast<UINTN> (Rng () % N); };
  int  Refused = 0;

  for (int Step = 0; Step < kRandomSteps; Step++) {
    UINTN Roll = Below (100);
    if (Roll < 48) {
      UINTN Size;
      if (Roll < 30) {
        Size = Below (65);
      } else if (Roll < 40) {
        Size = Below (4097);
      } else {
        // Near a free block's capacity: exact fits, no-fits and tight splits.
        size_t I   = Below (Model.Blocks.size ());
        UINTN  Cap = Model.Capacity (I);
        UINTN  Off = Below (49);
        Size       = Cap > Off ? Cap - Off : Cap;
      }
      auto  Want = Model.Alloc (Size);
      auto *Got  = static_cast<UINT8 *> (HeapAllocFree (nullptr, Size));
      ASSERT_EQ (Got, Want ? mHeapArena + *Want : nullptr) << "size " << Size << " step " << Step;
      if (Got != nullptr) {
        LiveBlock L{Got, std::vector<UINT8> (Size)};
        for (auto &Byte : L.Pattern) {
          Byte = static_cast<UINT8> (Rng ());
        }
        std::memcpy (Got, L.Pattern.data (), Size);
        Live.push_back (std::move (L));
      }
    } else if (Roll < 90) {
      if (Live.empty ()) {
        continue;
      }
      size_t I = Below (Live.size ());
      UINT8 *P = Live[I].Payload;
      ASSERT_EQ (HeapAllocFree (P, 0), P) << "step " << Step;
      Model.Free (OffsetOf (P));
      Live.erase (Live.begin () + I);
      Retired.push_back (P);
    } else {
      UINT8 *P = (Roll < 95 || Retired.empty ()) ? mHeapArena + Below (kArenaSize + 1) : Retired[Below (Retired.size ())];
      bool IsLive = std::any_of (Live.begin (), Live.end (), [&] (auto &L) { return L.Payload == P; });
      if (!IsLive) {
        ASSERT_EQ (HeapAllocFree (P, 0), nullptr) << "stray free at " << OffsetOf (P) << " step " << Step;
        Refused++;
      }
    }
    ASSERT_EQ (ListDamage (), "") << "step " << Step;
    ASSERT_EQ (Walk (), Model.View ()) << "step " << Step;
    ASSERT_TRUE (PayloadsAreIntact (Live)) << "step " << Step;
  }

  // The run must have reached the interesting paths, not just small splits.
  EXPECT_GT (Model.ExactFits, 100);
  EXPECT_GT (Model.Misses, 100);
  EXPECT_GT (Refused, 100);
  std::cout << "splits " << Model.Splits << ", exact fits " << Model.ExactFits << ", misses " << Model.Misses
            << ", refused frees " << Refused << "\n";

  std::shuffle (Live.begin (), Live.end (), Rng);
  for (auto &L : Live) {
    ASSERT_EQ (HeapAllocFree (L.Payload, 0), L.Payload);
  }
}

INSTANTIATE_TEST_SUITE_P (Heap, HeapRandom, ::testing::Values (1u, 2u, 0x5EEDu, 20261208u));

// Headers overwritten by a caller's overflow: three 16-byte blocks A, B
// and C, then B's header forged, with B's old check bytes, one of them
// flipped, or the check recomputed as only a deliberate forger would. Every
// call that reaches B's header (freeing A rewrites B's Prev) fails and
// writes nothing: no byte of the arena changes and nothing outside it is
// touched; behind a recomputed check the links are still tested, and
// freeing A then works when it does not follow B's Next. With B's header
// put back, the heap works on as before.
enum class Link { Keep, Null, Outside, Lead, PastEnd, IntoPayload };
enum class Check { Kept, Flipped, Recomputed };
struct ForgeCase {
  const char *Name;
  UINT8       Tag;
  Link        Prev, Next;
  Check       CheckBytes;
  bool        FreeingAWorks;
};

void PrintTo (const ForgeCase &C, std::ostream *Os) { *Os << C.Name; }

class HeapForgedHeader : public ::testing::TestWithParam<ForgeCase> {};

TEST_P (HeapForgedHeader, CallsReachingItFailWithoutWriting)
{
  static UINT64 Victim[4];
  const ForgeCase &C = GetParam ();
  auto *A = static_cast<UINT8 *> (HeapAllocFree (nullptr, 16));
  auto *B = static_cast<UINT8 *> (HeapAllocFree (nullptr, 16));
  auto *Cb = static_cast<UINT8 *> (HeapAllocFree (nullptr, 16));
  std::memset (Cb, 0xC5, 16);
  auto *Hb = reinterpret_cast<HEAP_BLOCK_HEADER *> (B - kHdr);
  const HEAP_BLOCK_HEADER Original = *Hb;
  auto LinkTo = [&] (Link L, HEAP_BLOCK_HEADER *Kept) -> HEAP_BLOCK_HEADER * {
    switch (L) {
      case Link::Keep: return Kept;
      case Link::Null: return nullptr;
      case Link::Outside: return reinterpret_cast<HEAP_BLOCK_HEADER *> (Victim);
      case Link::Lead: return HeapHead;
      case Link::PastEnd: return reinterpret_cast<HEAP_BLOCK_HEADER *> (mHeapArena + kEnd + 1);
      case Link::IntoPayload: return reinterpret_cast<HEAP_BLOCK_HEADER *> (Cb);
    }
    return Kept;
  };
  // What an overflow of A by 24 bytes writes.
  HEAP_BLOCK_HEADER Forged = Original;
  Forged.Tag  = C.Tag;
  Forged.Prev = LinkTo (C.Prev, Original.Prev);
  Forged.Next = LinkTo (C.Next, Original.Next);
  if (C.CheckBytes == Check::Flipped) {
    Forged.Check[6] ^= 0x01;
  } else if (C.CheckBytes == Check::Recomputed) {
    Reseal (&Forged);
  }
  std::memcpy (A + 16, &Forged, sizeof Forged);

  EXPECT_EQ (HeapAllocFree (A, 0), C.FreeingAWorks ? A : nullptr);
  const std::vector<UINT8> Arena (mHeapArena, mHeapArena + kArenaSize);
  EXPECT_EQ (HeapAllocFree (A, 0), nullptr);
  EXPECT_EQ (HeapAllocFree (B, 0), nullptr);
  EXPECT_EQ (HeapAllocFree (Cb, 0), nullptr);
  EXPECT_EQ (HeapAllocFree (nullptr, 8), nullptr);
  EXPECT_TRUE (std::equal (Arena.begin (), Arena.end (), mHeapArena));
  EXPECT_EQ (Victim[0] | Victim[1] | Victim[2] | Victim[3], 0u);

  std::memcpy (A + 16, &Original, sizeof Original);
  for (UINT8 *P : {B, A, Cb}) {
    if (P != A || !C.FreeingAWorks) {
      EXPECT_EQ (HeapAllocFree (P, 0), P);
    }
  }
  EXPECT_EQ (ListDamage (), "");
  EXPECT_EQ (Walk (), kEmptyArena);
}

INSTANTIATE_TEST_SUITE_P (
  Heap, HeapForgedHeader,
  ::testing::Values (
    ForgeCase{"OneByteOverflowMarksItFree", kHeapTagFree, Link::Keep, Link::Keep, Check::Kept, false},
    ForgeCase{"CheckByteRewritten", kHeapTagAllocated, Link::Keep, Link::Keep, Check::Flipped, false},
    ForgeCase{"TagNeitherFreeNorAllocated", 'X', Link::Keep, Link::Keep, Check::Kept, false},
    ForgeCase{"FreeWithNextOutsideTheArena", kHeapTagFree, Link::Keep, Link::Outside, Check::Kept, false},
    ForgeCase{"FreeWithNextNotLinkingBack", kHeapTagFree, Link::Keep, Link::IntoPayload, Check::Kept, false},
    ForgeCase{"FreeWithNextBackwards", kHeapTagFree, Link::Keep, Link::Lead, Check::Kept, false},
    ForgeCase{"NextNull", kHeapTagAllocated, Link::Keep, Link::Null, Check::Kept, false},
    ForgeCase{"NextBackwards", kHeapTagAllocated, Link::Keep, Link::Lead, Check::Kept, false},
    ForgeCase{"NextPastTheEndMarker", kHeapTagAllocated, Link::Keep, Link::PastEnd, Check::Kept, false},
    ForgeCase{"PrevOutsideTheArena", kHeapTagAllocated, Link::Outside, Link::Keep, Check::Kept, false},
    ForgeCase{"PrevNotTheBlockBefore", kHeapTagAllocated, Link::Lead, Link::Keep, Check::Kept, false},
    ForgeCase{"ForgedFreeWithNextOutsideTheArena", kHeapTagFree, Link::Keep, Link::Outside, Check::Recomputed, false},
    ForgeCase{"ForgedFreeWithNextNotLinkingBack", kHeapTagFree, Link::Keep, Link::IntoPayload, Check::Recomputed, false},
    ForgeCase{"ForgedNextNull", kHeapTagAllocated, Link::Keep, Link::Null, Check::Recomputed, true},
    ForgeCase{"ForgedNextPastTheEndMarker", kHeapTagAllocated, Link::Keep, Link::PastEnd, Check::Recomputed, true},
    ForgeCase{"ForgedPrevNotTheBlockBefore", kHeapTagAllocated, Link::Lead, Link::Keep, Check::Recomputed, false}),
  CaseName ());

// Any one byte of any header rewritten with any value, as a stray write
// would: the leading sentinel, blocks A, B and C, the free tail, the end
// marker. An allocation that only the tail can serve checks every header,
// so it fails; so does freeing a block whose walk reaches the damaged header
// (up to the header after its own, or after that when that one is free).
// Nothing is written, and with the byte put back the heap is as before.
TEST_F (Heap, EveryOneByteRewriteOfAHeaderIsCaughtWithoutWriting)
{
  UINT8 *Blocks[3];
  for (auto *&B : Blocks) {
    B = static_cast<UINT8 *> (Alloc (16));
  }
  const auto Headers = Walk ();
  ASSERT_EQ (Headers.size (), 6u);
  const std::vector<UINT8> Arena (mHeapArena, mHeapArena + kArenaSize);
  std::vector<UINT8>       Damaged = Arena;
  // Where any of these calls would write: the headers up to the tail, the
  // 32 bytes taken from it and the header behind them, and the end marker.
  const UINTN Used = Headers[4].Offset + 2 * kHdr + 32;
  auto WroteNothing = [&] {
    return std::equal (mHeapArena, mHeapArena + Used, Damaged.begin ()) &&
           std::equal (mHeapArena + kEnd, mHeapArena + kArenaSize, Damaged.begin () + kEnd);
  };
  for (size_t H = 0; H < Headers.size (); ++H) {
    for (UINTN Byte = 0; Byte < kHdr; ++Byte) {
      const UINTN At = Headers[H].Offset + Byte;
      for (unsigned Value = 0; Value < 256; ++Value) {
        if (Value == Arena[At]) {
          continue;
        }
        mHeapArena[At] = Damaged[At] = static_cast<UINT8> (Value);
        ASSERT_EQ (Alloc (32), nullptr) << "header " << H << " byte " << Byte << " value " << Value;
        for (size_t I = 1; I <= 3; ++I) {
          if (H <= I + 1 || I == 3) {
            ASSERT_EQ (Free (Blocks[I - 1]), nullptr) << "header " << H << " byte " << Byte << " value " << Value;
          }
        }
        ASSERT_TRUE (WroteNothing ()) << "header " << H << " byte " << Byte << " value " << Value;
        mHeapArena[At] = Damaged[At] = Arena[At];
      }
    }
  }
  EXPECT_TRUE (std::equal (Arena.begin (), Arena.end (), mHeapArena));
  for (UINT8 *B : Blocks) {
    EXPECT_EQ (Free (B), B);
  }
}

}  // namespace
