// SPDX-License-Identifier: BSD-2-Clause-Patent
// Block heap (slot 10): malloc and free in one entry point, first fit over a
// doubly linked list of blocks laid end to end in a static arena. Block
// sizes are never stored; they follow from the addresses of neighbouring
// headers. The firmware's pool services are never used.
#include "../servicelib.h"
#include "heap.h"
#include "../../common/BootServices.h"

// Zero-initialised, so it costs the image nothing but .bss; each loaded
// copy of the image has its own.
alignas (16) constinit UINT8 mHeapArena[LIB_SERVICES_HEAP_SIZE] = {};
constinit HEAP_BLOCK_HEADER *HeapHead = nullptr;

namespace {

HEAP_BLOCK_HEADER *HeaderAt (UINT8 *Address)
{
  return reinterpret_cast<HEAP_BLOCK_HEADER *> (Address);
}

UINT8 *AddressOf (HEAP_BLOCK_HEADER *Header)
{
  return reinterpret_cast<UINT8 *> (Header);
}

HEAP_BLOCK_HEADER *EndMarker ()
{
  return HeaderAt (mHeapArena + sizeof (mHeapArena) - kHeapHeaderSize);
}

// Bytes 0 to 7 of a header, the tag and its check, as one word.
UINT64 TagAndCheck (const HEAP_BLOCK_HEADER *Header)
{
  UINT64 Word;
  __builtin_memcpy (&Word, Header, sizeof Word);
  return Word;
}

// Every header is written whole, so that its check always matches. Out of
// line for code size: eight call sites, 180 bytes of code saved (HeapCall's
// frame is 16 bytes larger for it). docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] VOID SetHeader (HEAP_BLOCK_HEADER *Header, UINT8 Tag, HEAP_BLOCK_HEADER *Prev, HEAP_BLOCK_HEADER *Next)
{
  const UINT64 Word = HeapHeaderCheck (Tag, Prev, Next) << 8;
  __builtin_memcpy (Header, &Word, sizeof Word);
  Header->Tag  = Tag;
  Header->Prev = Prev;
  Header->Next = Next;
}

// Leading sentinel, one free block over the rest, end marker. The leading
// sentinel gives the first real block a Prev, so free never needs a special
// case for either end of the list.
VOID LayOutArena (VOID)
{
  HEAP_BLOCK_HEADER *Lead = HeaderAt (mHeapArena);
  HEAP_BLOCK_HEADER *Free = HeaderAt (mHeapArena + kHeapHeaderSize);

  SetHeader (Lead, kHeapTagAllocated, nullptr, Free);
  SetHeader (Free, kHeapTagFree, Lead, EndMarker ());
  SetHeader (EndMarker (), kHeapTagAllocated, Free, nullptr);
  HeapHead = Lead;
}

// The headers live next to the callers' bytes, so an overflow can rewrite
// them. Every header is checked before it is followed or changed: N,
// reached from the header From (NULL for the leading sentinel, which
// HeapHead reaches), must lie forward of From's header and inside the
// arena, hold a check that matches its tag and links, and link back to
// From; the two sentinels must still be allocated. (Nothing follows the end
// marker's Next: a walk stops at the end marker, and a free never absorbs
// it.) NULL means the list is damaged there: the call then fails without
// writing anything, rather than writing through a damaged header. Out of
// line: one copy of the check for its two callers (clang keeps it so by
// itself today). docs/stack.md, "Out-of-line helpers".
[[gnu::noinline]] HEAP_BLOCK_HEADER *Reached (HEAP_BLOCK_HEADER *From, HEAP_BLOCK_HEADER *N)
{
  const UINTN At  = reinterpret_cast<UINTN> (N);
  const UINTN End = reinterpret_cast<UINTN> (EndMarker ());
  if (At < reinterpret_cast<UINTN> (From) + kHeapHeaderSize || At > End) {
    return nullptr;
  }
  if (TagAndCheck (N) >> 8 != HeapHeaderCheck (N->Tag, N->Prev, N->Next) || N->Prev != From) {
    return nullptr;
  }
  if ((At == End || From == nullptr) && N->Tag != kHeapTagAllocated) {
    return nullptr;
  }
  return N;
}

// The header after H, once checked; NULL when H is (the list is damaged
// before it).
HEAP_BLOCK_HEADER *NextOf (HEAP_BLOCK_HEADER *H)
{
  return H != nullptr ? Reached (H, H->Next) : nullptr;
}

HEAP_BLOCK_HEADER *Lead ()
{
  return Reached (nullptr, HeapHead);
}

VOID *Allocate (UINTN Size)
{
  HEAP_BLOCK_HEADER *End = EndMarker ();
  for (HEAP_BLOCK_HEADER *P = Lead (); P != End;) {
    HEAP_BLOCK_HEADER *N = NextOf (P);
    if (N == nullptr) {
      return nullptr;
    }
    UINTN Span = static_cast<UINTN> (AddressOf (N) - AddressOf (P));
    // An exact fit is taken whole. Otherwise a split leaves a header behind
    // the payload, so it needs 24 bytes beyond the request. Span is at least
    // one header, and a request near the top of UINTN must not wrap into a
    // fit, hence the order of tests.
    if (P->Tag == kHeapTagFree &&
        (Span - kHeapHeaderSize == Size || (Span >= 2 * kHeapHeaderSize && Size <= Span - 2 * kHeapHeaderSize))) {
      HEAP_BLOCK_HEADER *Rest = N;
      if (Span - kHeapHeaderSize != Size) {
        Rest = HeaderAt (AddressOf (P) + kHeapHeaderSize + Size);
        SetHeader (Rest, kHeapTagFree, P, N);
        SetHeader (N, N->Tag, Rest, N->Next);
      }
      SetHeader (P, kHeapTagAllocated, P->Prev, Rest);
      return AddressOf (P) + kHeapHeaderSize;
    }
    P = N;
  }
  return nullptr;
}

// Frees the allocated block whose payload is Block, merging it with
// whichever neighbours are free so that no two free blocks are ever
// adjacent. Returns FALSE, changing nothing, when Block is not one
// (outside the arena, not a payload address of the list, already free, or
// one of the two sentinels), or when a link on the way is damaged. Every
// link a merge uses is checked before the first write. Addresses are
// compared as integers so that a foreign pointer never takes part in
// pointer arithmetic.
BOOLEAN Release (VOID *Block)
{
  const UINTN Target = reinterpret_cast<UINTN> (Block);
  const UINTN First  = reinterpret_cast<UINTN> (mHeapArena);
  if (Target < First + 2 * kHeapHeaderSize || Target >= First + sizeof (mHeapArena)) {
    return FALSE;
  }

  // The walk stops at the end marker at the latest: its payload would lie
  // past the arena.
  HEAP_BLOCK_HEADER *Prev = Lead ();
  HEAP_BLOCK_HEADER *H    = NextOf (Prev);
  for (;;) {
    if (H == nullptr || reinterpret_cast<UINTN> (H) + kHeapHeaderSize > Target) {
      return FALSE;
    }
    if (reinterpret_cast<UINTN> (H) + kHeapHeaderSize == Target) {
      break;
    }
    Prev = H;
    H    = NextOf (H);
  }
  HEAP_BLOCK_HEADER *Next = NextOf (H);
  if (H->Tag != kHeapTagAllocated || Next == nullptr) {
    return FALSE;
  }
  // A free block after H is absorbed; it is never the end marker, which is
  // allocated.
  HEAP_BLOCK_HEADER *After = Next->Tag == kHeapTagFree ? NextOf (Next) : Next;
  if (After == nullptr) {
    return FALSE;
  }

  // The free block that remains spans up to After: H itself, or the free
  // block before it, which absorbs it. H's header then lies in a payload.
  HEAP_BLOCK_HEADER *Keep = Prev->Tag == kHeapTagFree ? Prev : H;
  SetHeader (Keep, kHeapTagFree, Keep->Prev, After);
  SetHeader (After, After->Tag, Keep, After->Next);
  return TRUE;
}

// One call of slot 10 with the heap to itself.
VOID *HeapCall (IN VOID *Block, IN UINTN Size)
{
  if (HeapHead == nullptr) {
    LayOutArena ();
  }
  if (Block == nullptr) {
    return Size != 0 ? Allocate (Size) : nullptr;
  }
  // A pointer that is not a live payload is refused and changes nothing: a
  // double free or a stray pointer would otherwise corrupt the list.
  return Size == 0 && Release (Block) ? Block : nullptr;
}

}  // namespace

// A notification function may call the heap while it interrupts another
// heap call, so in the boot-services copy each call runs with the TPL
// raised: the notification then waits until the list is whole again. After
// the hand-off to an OS there is nothing left to interrupt (and no boot
// services to call); the SMM copy is never interrupted and must not call
// boot services, and knows itself by its own flag.
extern "C" VOID *EFIAPI HeapAllocFree (IN VOID *Block, IN UINTN Size)
{
  EFI_BOOT_SERVICES *BootServices = mSmmCopy ? nullptr : LiveBootServices (mSystemTable);
  if (BootServices == nullptr) {
    return HeapCall (Block, Size);
  }
  const EFI_TPL Caller = BootServices->RaiseTPL (TPL_HIGH_LEVEL);
  VOID *Result = HeapCall (Block, Size);
  BootServices->RestoreTPL (Caller);
  return Result;
}
