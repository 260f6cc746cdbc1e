// SPDX-License-Identifier: BSD-2-Clause-Patent
// Reading the block heap's list from tests and the heap fuzzer: a walk of
// its headers, a check that the list is whole, and headers forged with a
// valid check, as someone who knows the heap would write them.
#ifndef TESTS_STRMEM_HEAP_LIST_H_
#define TESTS_STRMEM_HEAP_LIST_H_

#include "servicelib/servicelib.h"
#include "servicelib/strmem/heap.h"

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace heaptest {

inline constexpr UINTN kArenaSize = LIB_SERVICES_HEAP_SIZE;
inline constexpr UINTN kHdr       = kHeapHeaderSize;
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

[[clang::no_sanitize ("coverage")]] inline bool CheckMatches (const HEAP_BLOCK_HEADER *H)
{
  UINT64 Word;
  std::memcpy (&Word, H, sizeof Word);
  return Word >> 8 == HeapHeaderCheck (H->Tag, H->Prev, H->Next);
}

// Writes H's check bytes for what H holds now.
inline void Reseal (HEAP_BLOCK_HEADER *H)
{
  const UINT64 Check = HeapHeaderCheck (H->Tag, H->Prev, H->Next);
  std::memcpy (H->Check, &Check, sizeof H->Check);
}

// Checks Count links of the list from H on (fewer where it ends): Prev and
// Next agree, headers in address order at least one header apart (so the
// blocks tile the arena without gap or overlap), tags valid, checks
// matching, no two free neighbours, the list ending at the end marker.
// Returns what is wrong first, or an empty string; counts the allocated
// headers it saw, H included, in *Allocated. The fuzzer runs it after every
// step: it stays out of the coverage that guides the fuzzer.
[[clang::no_sanitize ("coverage"), gnu::noinline]] inline std::string StretchDamage (const HEAP_BLOCK_HEADER *H, UINTN Count,
                                                                                   UINTN *Allocated = nullptr)
{
  auto At = [] (const HEAP_BLOCK_HEADER *X) { return std::to_string (OffsetOf (X)); };
  if ((H->Tag != kHeapTagFree && H->Tag != kHeapTagAllocated) || !CheckMatches (H)) {
    return "header at " + At (H) + " damaged";
  }
  UINTN Tags = H->Tag == kHeapTagAllocated;
  for (; Count > 0 && H->Next != nullptr; --Count, H = H->Next) {
    auto *N = H->Next;
    const UINTN Here = OffsetOf (H), There = OffsetOf (N);
    if (There > kEnd || There < Here + kHdr) {
      return "bad Next " + At (N) + " after " + At (H);
    }
    if (N->Prev != H) {
      return "Prev of " + At (N) + " is not " + At (H);
    }
    if (N->Tag != kHeapTagFree && N->Tag != kHeapTagAllocated) {
      return "bad tag at " + At (N);
    }
    if (!CheckMatches (N)) {
      return "check of " + At (N) + " does not match";
    }
    if (H->Tag == kHeapTagFree && N->Tag == kHeapTagFree) {
      return "free neighbours at " + At (H) + " and " + At (N);
    }
    if (N->Next == nullptr && (There != kEnd || N->Tag != kHeapTagAllocated)) {
      return "list ends at " + At (N);
    }
    Tags += N->Tag == kHeapTagAllocated;
  }
  if (Allocated != nullptr) {
    *Allocated = Tags;
  }
  return {};
}

// Checks the whole list from HeapHead, the leading sentinel in place (see
// StretchDamage).
inline std::string ListDamage (UINTN *Allocated = nullptr)
{
  auto *Lead = HeapHead;
  if (reinterpret_cast<UINT8 *> (Lead) != mHeapArena || Lead->Tag != kHeapTagAllocated || Lead->Prev != nullptr) {
    return "leading sentinel damaged";
  }
  return StretchDamage (Lead, kArenaSize / kHdr, Allocated);
}

// The headers from HeapHead on; a damaged list that loops is cut off once
// it has more headers than the arena holds.
inline std::vector<BlockView> Walk ()
{
  std::vector<BlockView> Blocks;
  for (auto *H = HeapHead; H != nullptr && Blocks.size () <= kArenaSize / kHdr; H = H->Next) {
    Blocks.push_back ({OffsetOf (H), static_cast<char> (H->Tag)});
  }
  return Blocks;
}

inline const std::vector<BlockView> kEmptyArena = {{0, 'A'}, {kHdr, 'F'}, {kEnd, 'A'}};

}  // namespace heaptest

#endif
