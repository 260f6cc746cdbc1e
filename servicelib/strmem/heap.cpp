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

// Distance from a header to the next one. Never asked of the end marker.
UINTN SpanOf (HEAP_BLOCK_HEADER *Header)
{
  return static_cast<UINTN> (AddressOf (Header->Next) - AddressOf (Header));
}

VOID SetHeader (HEAP_BLOCK_HEADER *Header, UINT8 Tag, HEAP_BLOCK_HEADER *Prev, HEAP_BLOCK_HEADER *Next)
{
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
  HEAP_BLOCK_HEADER *Free = HeaderAt (mHeapArena + HEAP_HEADER_SIZE);
  HEAP_BLOCK_HEADER *End  = HeaderAt (mHeapArena + sizeof (mHeapArena) - HEAP_HEADER_SIZE);

  SetHeader (Lead, HEAP_TAG_ALLOCATED, nullptr, Free);
  SetHeader (Free, HEAP_TAG_FREE, Lead, End);
  SetHeader (End, HEAP_TAG_ALLOCATED, Free, nullptr);
  HeapHead = Lead;
}

VOID *Allocate (UINTN Size)
{
  for (HEAP_BLOCK_HEADER *P = HeapHead; P->Next != nullptr; P = P->Next) {
    if (P->Tag != HEAP_TAG_FREE) {
      continue;
    }
    UINTN Span = SpanOf (P);
    if (Span - HEAP_HEADER_SIZE == Size) {
      P->Tag = HEAP_TAG_ALLOCATED;
      return AddressOf (P) + HEAP_HEADER_SIZE;
    }
    // A split leaves a header behind the payload, so it needs 24 bytes
    // beyond the request. Span is at least one header, and a request near
    // the top of UINTN must not wrap into a fit, hence the order of tests.
    if (Span >= 2 * HEAP_HEADER_SIZE && Size <= Span - 2 * HEAP_HEADER_SIZE) {
      HEAP_BLOCK_HEADER *Q = HeaderAt (AddressOf (P) + HEAP_HEADER_SIZE + Size);
      SetHeader (Q, HEAP_TAG_FREE, P, P->Next);
      P->Next->Prev = Q;
      P->Next       = Q;
      P->Tag        = HEAP_TAG_ALLOCATED;
      return AddressOf (P) + HEAP_HEADER_SIZE;
    }
  }
  return nullptr;
}

// The allocated block whose payload is Block, or NULL when Block is not one
// (outside the arena, not a payload address of the list, already free, or
// one of the two sentinels). Addresses are compared as integers so that a
// foreign pointer never takes part in pointer arithmetic.
HEAP_BLOCK_HEADER *FindAllocatedBlock (VOID *Block)
{
  UINTN Target = reinterpret_cast<UINTN> (Block);
  UINTN First  = reinterpret_cast<UINTN> (mHeapArena);

  if (Target < First + 2 * HEAP_HEADER_SIZE || Target >= First + sizeof (mHeapArena)) {
    return nullptr;
  }
  // Start after the leading sentinel and stop before the end marker.
  for (HEAP_BLOCK_HEADER *H = HeapHead->Next; H->Next != nullptr; H = H->Next) {
    UINTN Payload = reinterpret_cast<UINTN> (H) + HEAP_HEADER_SIZE;
    if (Payload == Target) {
      return H->Tag == HEAP_TAG_ALLOCATED ? H : nullptr;
    }
    if (Payload > Target) {
      break;
    }
  }
  return nullptr;
}

// Marks H free and merges it with whichever neighbours are free, so no two
// free blocks are ever adjacent. Both neighbours exist: the sentinels are
// never freed.
VOID Release (HEAP_BLOCK_HEADER *H)
{
  H->Tag = HEAP_TAG_FREE;

  HEAP_BLOCK_HEADER *Next = H->Next;
  if (Next->Tag == HEAP_TAG_FREE) {
    H->Next       = Next->Next;
    H->Next->Prev = H;
  }

  HEAP_BLOCK_HEADER *Prev = H->Prev;
  if (Prev->Tag == HEAP_TAG_FREE) {
    Prev->Next    = H->Next;
    H->Next->Prev = Prev;
  }
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
  if (Size != 0) {
    return nullptr;
  }

  // A pointer that is not a live payload is refused and changes nothing: a
  // double free or a stray pointer would otherwise corrupt the list.
  HEAP_BLOCK_HEADER *H = FindAllocatedBlock (Block);
  if (H == nullptr) {
    return nullptr;
  }
  Release (H);
  return Block;
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
