// SPDX-License-Identifier: BSD-2-Clause-Patent
// FormatOutput with a format of either width, a maximum count, a NULL or a
// recording output routine, and argument slots drawn from the input.
//
// Input: a mode byte, then (by mode) the slots, then the format text.
//   bit 0     16-bit format
//   bit 1     NULL output routine
//   bit 2     slots are pointers (into buffers owned here, or NULL); clear:
//             slots are raw integers and the conversions that would take a
//             pointer are turned into %d, since a caller passing a number
//             where a pointer belongs is outside the contract
//   bits 3-4  maximum count: 0, one byte, two bytes, or 1 MiB
//   bit 5     the format and the argument list start at odd addresses
//
// A pointer slot's selector byte chooses NULL or where in its buffer the
// data starts: at an aligned address, or 1 or 3 bytes past one, so that
// strings, GUIDs, times and %n destinations come misaligned too.
//
// The maximum count is kept finite so that a '*' width taken from an
// address cannot ask for billions of characters; the engine must stop
// producing at the count and still return.
#include "fuzz/FuzzInput.h"
#include "servicelib/console/format.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr int    kSlots    = 24;
constexpr size_t kSlotSize = 64;

// Each buffer starts 8-aligned and has room for the largest skew.
alignas (16) UINT8 mSlotBuffers[kSlots][kSlotSize + 8];
// Where a pointer slot's data starts, by its selector's low bits (0: NULL).
constexpr size_t kSkews[] = {0, 0, 1, 3};
UINT32 mCalls;

VOID EFIAPI CountingOutput (CHAR16 Ch)
{
  (void)Ch;
  ++mCalls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  FuzzInput   In (Data, Size);
  const UINT8 Mode        = In.Take<UINT8> ();
  const bool  Wide        = (Mode & 1) != 0;
  const bool  NullRoutine = (Mode & 2) != 0;
  const bool  Pointers    = (Mode & 4) != 0;
  const bool  OddLists    = (Mode & 32) != 0;
  UINT32      MaxCount;
  switch ((Mode >> 3) & 3) {
    case 0:  MaxCount = 0; break;
    case 1:  MaxCount = In.Take<UINT8> (); break;
    case 2:  MaxCount = In.Take<UINT16> (); break;
    default: MaxCount = 1u << 20; break;
  }

  UINT64 Slots[kSlots];
  for (int I = 0; I < kSlots; ++I) {
    if (Pointers) {
      const UINT8 Selector = In.Take<UINT8> ();
      size_t      Got;
      const UINT8 *Fill = In.Bytes ((Selector >> 2) % (kSlotSize - 1), &Got);
      UINT8 *const Start = mSlotBuffers[I] + kSkews[Selector & 3];
      std::memset (mSlotBuffers[I], 0, sizeof mSlotBuffers[I]);
      std::memcpy (Start, Fill, Got);  // at most 62 bytes: a NUL unit follows for either width
      Slots[I] = (Selector & 3) == 0 ? 0 : reinterpret_cast<UINT64> (Start);
    } else {
      Slots[I] = In.Take<UINT64> ();
    }
  }

  std::vector<UINT16> Wide16;
  std::vector<CHAR8>  Narrow;
  const UINT8        *Text = In.Rest ();
  const size_t        Len  = In.RestSize ();
  if (Wide) {
    for (size_t I = 0; I + 1 < Len; I += 2) {
      UINT16 Unit = static_cast<UINT16> (Text[I] | (Text[I + 1] << 8));
      Wide16.push_back (!Pointers && TakesPointer (Unit) ? UINT16{'d'} : Unit);
    }
    Wide16.push_back (0);
  } else {
    for (size_t I = 0; I < Len; ++I) {
      const CHAR8 C = static_cast<CHAR8> (Text[I]);
      Narrow.push_back (!Pointers && TakesPointer (static_cast<UINT8> (C)) ? 'd' : C);
    }
    Narrow.push_back (0);
  }
  const VOID  *FormatText = Wide ? static_cast<const VOID *> (Wide16.data ()) : Narrow.data ();
  const size_t FormatSize = Wide ? Wide16.size () * sizeof (UINT16) : Narrow.size ();

  // Every conversion and every '*' takes one slot, so a format of N units
  // takes fewer than N: give it that many, repeating the drawn ones.
  const size_t        SlotCount = Wide ? Wide16.size () : Narrow.size ();
  std::vector<UINT64> Args (SlotCount);
  for (size_t I = 0; I < Args.size (); ++I) {
    Args[I] = Slots[I % kSlots];
  }

  // The format and the list, moved one byte past their aligned start when
  // asked to.
  const size_t       Skew = OddLists ? 1 : 0;
  std::vector<UINT8> FormatBytes (FormatSize + 1), ArgBytes (SlotCount * sizeof (UINT64) + 1);
  std::memcpy (FormatBytes.data () + Skew, FormatText, FormatSize);
  std::memcpy (ArgBytes.data () + Skew, Args.data (), SlotCount * sizeof (UINT64));

  mCalls = 0;
  const UINT32 Result = FormatOutput (NullRoutine ? nullptr : CountingOutput, MaxCount, Wide ? 1 : 0,
                                      FormatBytes.data () + Skew, reinterpret_cast<VA_LIST> (ArgBytes.data () + Skew));
  if (Result > MaxCount || (!NullRoutine && Result != mCalls) || (NullRoutine && mCalls != 0)) {
    std::abort ();
  }
  return 0;
}
