// SPDX-License-Identifier: BSD-2-Clause-Patent
// HeapAllocFree driven by operation sequences, checked against a model
// after every step: allocations of any size, frees in any order, and frees
// of pointers that are not live payloads (inside and outside the arena,
// misaligned, double frees), which must be refused without a change.
//
// Each input starts and ends with an empty heap: whatever it left allocated
// is freed at the end, after which the arena must be one free block again.
//
// A step may also forge a header, as a caller's overflow would: its Tag,
// Prev or Next rewritten with any value, links pointing into the arena,
// just past it, or into a guard area outside it. From then on the model no
// longer holds; every call must still return NULL or a block that lies
// inside the arena (a free: the pointer given), and nothing outside the
// arena may change. Such an input ends with the arena laid out afresh.
#include "servicelib/servicelib.h"
#include "servicelib/strmem/heap.h"

#include "fuzz/FuzzInput.h"
#include "tests/strmem/HeapList.h"

#include <cstdlib>
#include <vector>

namespace {

struct Live {
  UINT8 *Payload;
  UINTN  Size;
  UINT8  Pattern;
};

[[noreturn]] void Fail () { std::abort (); }

// Where forged links may point outside the arena; it must never change.
constexpr UINT8 kGuardByte = 0xA5;
UINT8           mGuard[256];

void CheckGuard ()
{
  for (UINT8 Byte : mGuard) {
    if (Byte != kGuardByte) Fail ();
  }
}

// A link value drawn from the input: NULL, into the guard area, or into
// the arena or just past it.
HEAP_BLOCK_HEADER *ForgedLink (UINT16 V)
{
  if (V == 0) return nullptr;
  UINT8 *Target = (V & 0x8000) != 0 ? mGuard + V % sizeof mGuard : mHeapArena + V % (sizeof (mHeapArena) + 48);
  return reinterpret_cast<HEAP_BLOCK_HEADER *> (Target);
}

// Rewrites fields of the header at Header as Select says, the way an
// overflow writes them: byte by byte, at whatever alignment.
void Forge (UINT8 *Header, FuzzInput &In)
{
  const UINT8 Select = In.Take<UINT8> ();
  if ((Select & 1) != 0) {
    Header[0] = (Select & 2) != 0 ? kHeapTagFree : (Select & 4) != 0 ? kHeapTagAllocated : In.Take<UINT8> ();
  }
  for (UINTN Field : {EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Prev), EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Next)}) {
    if ((Select & (Field == 8 ? 8 : 16)) != 0) {
      HEAP_BLOCK_HEADER *Link = ForgedLink (In.Take<UINT16> ());
      std::memcpy (Header + Field, &Link, sizeof Link);
    }
  }
}

// The list is whole (tests/strmem/HeapList.h), and every live payload is
// an allocated block of at least its size that still holds its pattern.
void CheckHeap (const std::vector<Live> &Model, bool Whole = false)
{
  if (!heaptest::ListDamage ().empty ()) Fail ();
  size_t Allocated = 0;
  for (const heaptest::BlockView &B : heaptest::Walk ()) {
    Allocated += B.Tag == kHeapTagAllocated;
  }
  if (Allocated != Model.size () + 2) Fail ();  // the two sentinels are allocated too
  for (const Live &L : Model) {
    auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (L.Payload - kHeapHeaderSize);
    if (H->Tag != kHeapTagAllocated) Fail ();
    if (static_cast<UINTN> (reinterpret_cast<UINT8 *> (H->Next) - L.Payload) < L.Size) Fail ();
    // A header written over a payload shows at its ends, so the ends are
    // checked after every step and the whole payload once an input ends.
    for (UINTN I = 0; I < L.Size; ++I) {
      if (L.Payload[I] != L.Pattern) Fail ();
      if (!Whole && I == 31 && L.Size > 64) I = L.Size - 33;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  FuzzInput          In (Data, Size);
  std::vector<Live>  Model;
  std::vector<UINT8 *> Freed;
  UINT8              NextPattern = 1;
  bool               Forged = false;
  std::memset (mGuard, kGuardByte, sizeof mGuard);

  if (HeapAllocFree (nullptr, 0) != nullptr) Fail ();  // asks for nothing, gets nothing
  HeapAllocFree (HeapAllocFree (nullptr, 1), 0);     // the arena is laid out on first use
  while (In.RestSize () > 0) {
    const UINT8  Op  = In.Take<UINT8> ();
    const UINT16 Arg = In.Take<UINT16> ();
    switch (Op % 5) {
      case 0:
      case 1: {  // allocate, up to a little over the arena
        const UINTN Want = (Op & 0x80) != 0 ? UINTN{Arg} * 2 : Arg % 4096;
        auto *P = static_cast<UINT8 *> (HeapAllocFree (nullptr, Want));
        if (P != nullptr) {
          // Between a header of its own and the end marker.
          if (P < mHeapArena + 2 * kHeapHeaderSize || P + Want > mHeapArena + sizeof (mHeapArena) - kHeapHeaderSize) Fail ();
          std::memset (P, NextPattern, Want);
          if (!Forged) Model.push_back ({P, Want, NextPattern});
          ++NextPattern;
        }
        break;
      }
      case 2:  // free a live block
        if (!Model.empty ()) {
          const size_t I = Arg % Model.size ();
          UINT8 *P = Model[I].Payload;
          VOID  *Got = HeapAllocFree (P, 0);
          if (Got != P && (!Forged || Got != nullptr)) Fail ();
          Freed.push_back (P);
          Model.erase (Model.begin () + static_cast<long> (I));
        }
        break;
      case 3: {  // free something that is not a live payload: refused, nothing changes
        UINT8 *P;
        if ((Op & 0x80) != 0 && !Freed.empty ()) {
          P = Freed[Arg % Freed.size ()];
        } else if ((Op & 0x40) != 0) {
          static UINT8 Outside[64];
          P = Outside + Arg % 64;
        } else {
          P = mHeapArena + (Arg % (sizeof (mHeapArena) + 64));
        }
        bool IsLive = false;
        for (const Live &L : Model) IsLive |= L.Payload == P;
        if (IsLive && !Forged) break;
        VOID *Got = HeapAllocFree (P, 0);
        if (Got != nullptr && (Got != P || !Forged)) Fail ();
        break;
      }
      default:
        if ((Op & 0x80) != 0) {  // forge the header of a live block, or a sentinel
          UINT8 *Header = !Model.empty () ? Model[Arg % Model.size ()].Payload - kHeapHeaderSize
                          : (Arg & 1) != 0 ? mHeapArena
                                           : mHeapArena + sizeof (mHeapArena) - kHeapHeaderSize;
          Forge (Header, In);
          Forged = true;
        } else if (HeapAllocFree (nullptr, ~UINTN{0} - Arg) != nullptr) {  // a request that can never fit
          Fail ();
        }
        break;
    }
    CheckGuard ();
    if (!Forged) CheckHeap (Model);
  }
  if (Forged) {
    HeapHead = nullptr;  // the next input starts with the arena laid out afresh
    return 0;
  }

  CheckHeap (Model, true);
  for (const Live &L : Model) {
    if (HeapAllocFree (L.Payload, 0) != L.Payload) Fail ();
  }
  Model.clear ();
  CheckHeap (Model);
  if (HeapHead != nullptr && HeapHead->Next->Next->Next != nullptr) Fail ();  // lead, one free block, end
  return 0;
}
