// SPDX-License-Identifier: BSD-2-Clause-Patent
// HeapAllocFree driven by operation sequences, checked against a model:
// allocations of any size, frees in any order, and frees of pointers that
// are not live payloads (inside and outside the arena, misaligned, double
// frees), which must be refused without a change.
//
// Each step checks what it changed, so that an input costs little more
// than its calls: a new block must lie between an allocated header of its
// own and the end marker, with exactly the capacity asked for, overlapping
// no live block, and the list around it must be whole
// (tests/strmem/HeapList.h); a freed block must have held its pattern to
// the last byte (a header written over a payload shows there) and left a
// free block between allocated ones. When an input ends (and before a
// header is first damaged) the whole list is checked, with two allocated
// headers more than the model has live blocks, and every live payload in
// full. Each input starts and ends with an empty heap: whatever it left
// allocated is freed at the end, after which the arena must be one free
// block again.
//
// A step may also damage a header the way an accident would: one byte
// rewritten with any value, an overflow of 1 to 7 bytes from the block
// before it (tag first), or up to 16 bytes written just before its block
// (links, Next first). The heap must catch these before they do harm, so
// the model still holds, except that a call which meets the damage fails:
// a live block whose free returns NULL stays live, no new block may overlap
// a live one, no payload may change, stray frees are still refused.
//
// Or a step forges a header as someone who knows the heap would: Tag, Prev
// or Next rewritten with any value, links pointing into the arena, just
// past it, or into a guard area outside it, with the check kept, rewritten
// from the input or computed for the forged fields (so that the link tests
// behind it are reached). From then on the model no longer holds; every
// call must still return NULL or a block that lies inside the arena (a
// free: the pointer given), and nothing outside the arena may change.
//
// Inputs that damaged or forged a header end with the arena laid out
// afresh. The model's own checks are left out of the coverage that guides
// the fuzzer (and kept from being inlined into code that counts), which
// then follows the heap and the steps.
#include "servicelib/servicelib.h"
#include "servicelib/strmem/heap.h"

#include "fuzz/FuzzInput.h"
#include "tests/strmem/HeapList.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr UINTN kHdr = kHeapHeaderSize;

struct Live {
  UINT8 *Payload;
  UINTN  Size;
  UINT8  Pattern;
};

enum class Mode { Whole, Damaged, Forged };

[[noreturn]] void Fail () { std::abort (); }

// Where forged links may point outside the arena; it must never change.
constexpr UINT8 kGuardByte = 0xA5;
UINT8           mGuard[256];

// Every one of Size bytes at P is Byte, read eight at a time. It reads only
// the arena and the guard, static and within bounds, so the sanitizers
// have nothing to add here; without them the loop runs wide.
[[clang::no_sanitize ("coverage", "address", "undefined"), gnu::noinline]] bool AllBytesAre (const UINT8 *P, UINTN Size, UINT8 Byte)
{
  const UINT64 Word = Byte * 0x0101010101010101ULL;
  UINT64       Got  = 0;
  UINTN        I    = 0;
  for (; I + 8 <= Size; I += 8) {
    UINT64 Chunk;
    std::memcpy (&Chunk, P + I, sizeof Chunk);
    Got |= Chunk ^ Word;
  }
  for (; I < Size; ++I) {
    Got |= P[I] ^ Byte;
  }
  return Got == 0;
}

[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckGuard ()
{
  if (!AllBytesAre (mGuard, sizeof mGuard, kGuardByte)) Fail ();
}

// A link value drawn from the input: NULL, into the guard area, or into
// the arena or just past it.
HEAP_BLOCK_HEADER *ForgedLink (UINT16 V)
{
  if (V == 0) return nullptr;
  UINT8 *Target = (V & 0x8000) != 0 ? mGuard + V % sizeof mGuard : mHeapArena + V % (sizeof (mHeapArena) + 48);
  return reinterpret_cast<HEAP_BLOCK_HEADER *> (Target);
}

// Rewrites the header at Header as Select says. An accident (Select bits
// 0-1 not 3) writes bytes from the input: one byte anywhere, up to 7 from
// the tag on, or up to 16 back from the end. A forgery (3) rewrites fields
// byte by byte, at whatever alignment, and then keeps the check bytes,
// fills them from the input or computes them for the new fields. Returns
// the mode the heap is in afterwards.
Mode Damage (UINT8 *Header, FuzzInput &In)
{
  const UINT8 Select = In.Take<UINT8> ();
  const UINTN Count  = In.Take<UINT8> ();
  switch (Select & 3) {
    case 0:
      Header[Count % kHdr] = In.Take<UINT8> ();
      return Mode::Damaged;
    case 1:
      for (UINTN I = 0; I <= Count % 7; ++I) Header[I] = In.Take<UINT8> ();
      return Mode::Damaged;
    case 2:
      for (UINTN I = 0; I <= Count % 16; ++I) Header[kHdr - 1 - I] = In.Take<UINT8> ();
      return Mode::Damaged;
    default:
      break;
  }
  if ((Select & 4) != 0) {
    Header[0] = (Select & 8) != 0 ? kHeapTagFree : (Select & 16) != 0 ? kHeapTagAllocated : In.Take<UINT8> ();
  }
  for (UINTN Field : {EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Prev), EFI_OFFSET_OF (HEAP_BLOCK_HEADER, Next)}) {
    if ((Select & (Field == 8 ? 32 : 64)) != 0) {
      HEAP_BLOCK_HEADER *Link = ForgedLink (In.Take<UINT16> ());
      std::memcpy (Header + Field, &Link, sizeof Link);
    }
  }
  auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (Header);
  if ((Count & 1) != 0) {
    heaptest::Reseal (H);
  } else if ((Count & 2) != 0) {
    H->Check[Count % 7] = In.Take<UINT8> ();
  }
  return Mode::Forged;
}

[[clang::no_sanitize ("coverage"), gnu::noinline]] bool HoldsPattern (const Live &L)
{
  return AllBytesAre (L.Payload, L.Size, L.Pattern);
}

[[clang::no_sanitize ("coverage"), gnu::noinline]] bool IsLive (const std::vector<Live> &Model, const UINT8 *P)
{
  for (const Live &L : Model) {
    if (L.Payload == P) return true;
  }
  return false;
}

// A new block of Want bytes at P, between an allocated header of its own
// and the end marker, with no live block's header or bytes inside it.
[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckNewBlock (const std::vector<Live> &Model, UINT8 *P, UINTN Want)
{
  if (P < mHeapArena + 2 * kHdr || P + Want > mHeapArena + sizeof (mHeapArena) - kHdr) Fail ();
  auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (P - kHdr);
  if (H->Tag != kHeapTagAllocated || reinterpret_cast<UINT8 *> (H->Next) != P + Want) Fail ();
  for (const Live &L : Model) {
    if (P - kHdr < L.Payload + L.Size && L.Payload - kHdr < P + Want) Fail ();
  }
}

// The list is whole and holds the live blocks and the two sentinels as
// allocated blocks.
[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckList (const std::vector<Live> &Model)
{
  UINTN Allocated = 0;
  if (!heaptest::ListDamage (&Allocated).empty () || Allocated != Model.size () + 2) Fail ();
}

// The list where a step changed it: from the header before H over Links
// links.
[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckAround (const HEAP_BLOCK_HEADER *H, UINTN Links)
{
  if (!heaptest::StretchDamage (H->Prev != nullptr ? H->Prev : H, Links).empty ()) Fail ();
}

// After Block was freed: the free block that now holds it, between two
// allocated ones.
[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckFreed (const Live &Block)
{
  auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (Block.Payload - kHdr);
  auto *K = H->Prev->Next == H ? H : H->Prev;  // H itself, or the free block before that absorbed it
  if (K->Tag != kHeapTagFree || reinterpret_cast<UINT8 *> (K->Next) < Block.Payload + Block.Size) Fail ();
  CheckAround (K, 2);
}

// Every live payload holds its pattern; with the list whole, every live
// block is also allocated, of exactly its size.
[[clang::no_sanitize ("coverage"), gnu::noinline]] void CheckLiveBlocks (const std::vector<Live> &Model, Mode State)
{
  for (const Live &L : Model) {
    auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (L.Payload - kHdr);
    if (State == Mode::Whole && (H->Tag != kHeapTagAllocated || reinterpret_cast<UINT8 *> (H->Next) != L.Payload + L.Size)) Fail ();
    if (!HoldsPattern (L)) Fail ();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  // Kept from input to input, so that a step allocates nothing of its own.
  static std::vector<Live>    Model;
  static std::vector<UINT8 *> Freed;
  static std::vector<UINT8 *> Damaged;  // headers an accident has rewritten
  Model.clear ();
  Freed.clear ();
  Damaged.clear ();
  FuzzInput In (Data, Size);
  UINT8     NextPattern = 1;
  Mode      State       = Mode::Whole;
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
          if (State == Mode::Forged) {
            if (P < mHeapArena + 2 * kHdr || P + Want > mHeapArena + sizeof (mHeapArena) - kHdr) Fail ();
          } else {
            CheckNewBlock (Model, P, Want);
            if (State == Mode::Whole) CheckAround (reinterpret_cast<HEAP_BLOCK_HEADER *> (P - kHdr), 3);
            Model.push_back ({P, Want, NextPattern});
          }
          std::memset (P, NextPattern, Want);
          ++NextPattern;
        }
        break;
      }
      case 2:  // free a live block
        if (!Model.empty ()) {
          const size_t I = Arg % Model.size ();
          UINT8 *P = Model[I].Payload;
          if (State != Mode::Forged && !HoldsPattern (Model[I])) Fail ();
          VOID *Got = HeapAllocFree (P, 0);
          if (Got == nullptr && State == Mode::Whole) Fail ();
          if (Got != nullptr && Got != P) Fail ();
          if (Got != nullptr && State == Mode::Whole) CheckFreed (Model[I]);
          if (Got != nullptr || State == Mode::Forged) {
            Freed.push_back (P);
            Model.erase (Model.begin () + static_cast<long> (I));
          }
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
        if (State != Mode::Forged && IsLive (Model, P)) break;
        VOID *Got = HeapAllocFree (P, 0);
        if (Got != nullptr && (Got != P || State != Mode::Forged)) Fail ();
        break;
      }
      default:
        if ((Op & 0x80) != 0) {  // damage the header of a live block, the one after it, or a sentinel
          if (State == Mode::Whole) {
            CheckList (Model);
            CheckLiveBlocks (Model, State);
          }
          UINT8 *Header = mHeapArena + ((Arg & 1) != 0 ? 0 : sizeof (mHeapArena) - kHdr);
          if (!Model.empty ()) {
            auto *H = reinterpret_cast<HEAP_BLOCK_HEADER *> (Model[(Arg >> 1) % Model.size ()].Payload - kHdr);
            Header = (Op & 0x40) != 0 && State == Mode::Whole ? reinterpret_cast<UINT8 *> (H->Next) : reinterpret_cast<UINT8 *> (H);
          }
          // Two accidents to one header add up to more than the heap
          // promises to catch.
          bool Again = false;
          for (UINT8 *D : Damaged) Again |= D == Header;
          Damaged.push_back (Header);
          const Mode After = Damage (Header, In);
          State = State == Mode::Forged || Again ? Mode::Forged : After;
        } else if (HeapAllocFree (nullptr, ~UINTN{0} - Arg) != nullptr) {  // a request that can never fit
          Fail ();
        }
        break;
    }
  }
  CheckGuard ();  // nothing else writes there, so a write shows until the input ends
  if (State != Mode::Whole) {
    if (State == Mode::Damaged) CheckLiveBlocks (Model, State);
    HeapHead = nullptr;  // the next input starts with the arena laid out afresh
    return 0;
  }

  CheckList (Model);
  CheckLiveBlocks (Model, State);
  for (const Live &L : Model) {
    if (HeapAllocFree (L.Payload, 0) != L.Payload) Fail ();
  }
  Model.clear ();
  CheckList (Model);
  if (HeapHead != nullptr && HeapHead->Next->Next->Next != nullptr) Fail ();  // lead, one free block, end
  return 0;
}
