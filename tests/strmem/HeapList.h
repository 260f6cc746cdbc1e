// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reading the block heap's list from tests: a walk of its headers and a
// check that the list is whole.
#pragma once

#include <servicelib.h>
#include <strmem/heap.h>

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

namespace heaptest {

inline constexpr UINTN kArenaSize = LIB_SERVICES_HEAP_SIZE;
inline constexpr UINTN kHdr       = HEAP_HEADER_SIZE;
inline constexpr UINTN kEnd       = kArenaSize - kHdr;  // offset of the end marker

struct BlockView {
  UINTN Offset;
  char  Tag;
  bool operator== (const BlockView &) const = default;
};

inline std::ostream &operator<< (std::ostream &Os, const BlockView &B) { return Os << B.Tag << "@" << B.Offset; }

inline UINTN OffsetOf (const VOID *Address)
{
  return static_cast<UINTN> (static_cast<const UINT8 *> (Address) - mHeapArena);
}

// Checks the list from HeapHead: sentinels in place, Prev and Next agree,
// headers in address order at least one header apart (so the blocks tile
// the arena without gap or overlap), tags valid, no two free neighbours.
inline ::testing::AssertionResult ListIsWellFormed ()
{
  auto *Lead = HeapHead;
  if (reinterpret_cast<UINT8 *> (Lead) != mHeapArena || Lead->Tag != HEAP_TAG_ALLOCATED || Lead->Prev != nullptr) {
    return ::testing::AssertionFailure () << "leading sentinel damaged";
  }
  UINTN Steps = 0;
  for (auto *H = Lead; H->Next != nullptr; H = H->Next) {
    auto *N = H->Next;
    UINTN Here = OffsetOf (H), There = OffsetOf (N);
    if (++Steps > kArenaSize / kHdr || There > kEnd || There < Here + kHdr) {
      return ::testing::AssertionFailure () << "bad Next " << There << " after " << Here;
    }
    if (N->Prev != H) {
      return ::testing::AssertionFailure () << "Prev of " << There << " is not " << Here;
    }
    if (N->Tag != HEAP_TAG_FREE && N->Tag != HEAP_TAG_ALLOCATED) {
      return ::testing::AssertionFailure () << "bad tag at " << There;
    }
    if (H->Tag == HEAP_TAG_FREE && N->Tag == HEAP_TAG_FREE) {
      return ::testing::AssertionFailure () << "free neighbours at " << Here << " and " << There;
    }
    if (N->Next == nullptr && (There != kEnd || N->Tag != HEAP_TAG_ALLOCATED)) {
      return ::testing::AssertionFailure () << "list ends at " << There;
    }
  }
  return ::testing::AssertionSuccess ();
}

inline std::vector<BlockView> Walk ()
{
  std::vector<BlockView> Blocks;
  for (auto *H = HeapHead; H != nullptr; H = H->Next) {
    Blocks.push_back ({OffsetOf (H), static_cast<char> (H->Tag)});
  }
  return Blocks;
}

inline const std::vector<BlockView> kEmptyArena = {{0, 'A'}, {kHdr, 'F'}, {kEnd, 'A'}};

}  // namespace heaptest
