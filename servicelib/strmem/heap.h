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
  UINT8             Reserved[7];
  HEAP_BLOCK_HEADER *Prev;
  HEAP_BLOCK_HEADER *Next;   // NULL after the end marker
};
#pragma pack(pop)

EFI_STATIC_ASSERT (sizeof (HEAP_BLOCK_HEADER) == 24, "heap block header is 24 bytes");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Tag) == 0, "HEAP_BLOCK_HEADER.Tag");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Prev) == 8, "HEAP_BLOCK_HEADER.Prev");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Next) == 16, "HEAP_BLOCK_HEADER.Next");

inline constexpr UINT8 kHeapTagFree      = 'F';
inline constexpr UINT8 kHeapTagAllocated = 'A';
inline constexpr UINTN kHeapHeaderSize   = sizeof (HEAP_BLOCK_HEADER);

// The arena of this copy of the image. Once laid out (by the first call of
// HeapAllocFree) it holds, in order: an allocated header of capacity 0 that
// every real block follows, the blocks handed out or free, and an allocated
// end marker in the last 24 bytes whose Next is NULL. Neither sentinel can
// be freed.
extern constinit UINT8 mHeapArena[LIB_SERVICES_HEAP_SIZE];

// First header of the list (the leading sentinel); NULL until laid out.
extern constinit HEAP_BLOCK_HEADER *HeapHead;

#endif
