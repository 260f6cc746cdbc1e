// SPDX-License-Identifier: BSD-2-Clause-Patent
// The block heap's list layout, shared by the heap and by code that walks
// the list to check it.
#ifndef SERVICELIB_STRMEM_HEAP_H_
#define SERVICELIB_STRMEM_HEAP_H_

#include <LibServices.h>

// Every block starts with this header; the caller's bytes follow it
// directly. A block's capacity is the distance to the next header minus the
// header itself. Payload sizes are not rounded, so headers may sit at any
// address: the header is byte-packed so that it can be read wherever it is.
#pragma pack(push, 1)
struct HEAP_BLOCK_HEADER {
  UINT8             Tag;
  UINT8             Check[7];  // HeapHeaderCheck, little-endian: catches a header rewritten by an overflow
  HEAP_BLOCK_HEADER *Prev;
  HEAP_BLOCK_HEADER *Next;     // NULL after the end marker
};
#pragma pack(pop)

EFI_STATIC_ASSERT (sizeof (HEAP_BLOCK_HEADER) == 24, "heap block header is 24 bytes");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Tag) == 0, "HEAP_BLOCK_HEADER.Tag");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Prev) == 8, "HEAP_BLOCK_HEADER.Prev");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Next) == 16, "HEAP_BLOCK_HEADER.Next");

inline constexpr UINT8 kHeapTagFree      = 'F';
inline constexpr UINT8 kHeapTagAllocated = 'A';
inline constexpr UINTN kHeapHeaderSize   = sizeof (HEAP_BLOCK_HEADER);

// The check in bytes 1 to 7 of a header: bits 8 to 63 of (Prev XOR Next
// XOR Tag << 56) times an odd constant. Only accidents are to be caught, not
// forgers, so there is no secret. A product by an odd number keeps a change
// at bit n at bit n and may carry it upwards, never down, and this
// multiplier moves any change in the low byte past bit 8: so the check
// changes whenever exactly one byte of the header does, and a new tag
// changes only its top byte, header byte 7, so an overflow that stops short
// of that byte cannot keep the header valid. Links that differ from the
// stored ones by less than 2^55 never give the same check (the assertion
// below), so no rewrite of the links alone that leaves them pointing into
// the arena passes either.
inline constexpr UINT64 kHeapCheckMultiplier = 0x6A09E667;

inline UINT64 HeapHeaderCheck (UINT8 Tag, const HEAP_BLOCK_HEADER *Prev, const HEAP_BLOCK_HEADER *Next)
{
  const UINT64 Mix = reinterpret_cast<UINTN> (Prev) ^ reinterpret_cast<UINTN> (Next) ^ (UINT64{Tag} << 56);
  return (Mix * kHeapCheckMultiplier) >> 8;
}

// Two mixes give the same check only when their products differ by less
// than 256, that is when the mixes differ by E / kHeapCheckMultiplier
// (modulo 2^64) for some E below 256 in size: each of those is at least
// 2^55 in size.
constexpr bool HeapCheckSeparatesLinks ()
{
  UINT64 Inverse = kHeapCheckMultiplier;  // Newton's iteration doubles the correct low bits each step
  for (int Step = 0; Step < 5; Step++) {
    Inverse *= 2 - kHeapCheckMultiplier * Inverse;
  }
  for (UINT64 E = 1; E < 256; E++) {
    const UINT64 Delta = E * Inverse;
    if (Delta < (1ULL << 55) || Delta > 0 - (1ULL << 55)) {
      return false;
    }
  }
  return kHeapCheckMultiplier * Inverse == 1;
}

EFI_STATIC_ASSERT (HeapCheckSeparatesLinks (), "the heap check multiplier hides a change of links inside the arena");

// The arena of this copy of the image. Once laid out (by the first call of
// HeapAllocFree) it holds, in order: an allocated header of capacity 0 that
// every real block follows, the blocks handed out or free, and an allocated
// end marker in the last 24 bytes whose Next is NULL. Neither sentinel can
// be freed.
extern constinit UINT8 mHeapArena[LIB_SERVICES_HEAP_SIZE];

// First header of the list (the leading sentinel); NULL until laid out.
extern constinit HEAP_BLOCK_HEADER *HeapHead;

#endif
