// SPDX-License-Identifier: BSD-2-Clause-Patent
// ScanInput with a format of either width, an input stream and destination
// buffers large enough for anything a conversion may store given the
// input's length. The input routine returns 0 forever at the end.
//
// Input: a mode byte, a format length, the format, then the input stream.
//   mode % 3     the width flag: 0, 1, or 2 (16-bit format whose %c stores bytes)
//   mode bit 2   input characters are 16-bit units (else bytes)
//   mode bit 3   the format and every destination start one byte past an
//                aligned address
//
// Without %c a conversion stores at most 8 bytes or, for %s, one byte per
// input character and a NUL: every destination is an exactly sized heap
// block, so an over-long store is caught. %c stores its width in characters
// whatever the input holds, up to 9999999 of them, so formats with a 'c'
// write into one buffer of that size.
#include "servicelib/servicelib.h"

#include "fuzz/FuzzInput.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int    kSlots      = 160;
constexpr size_t kLargestC   = 2 * 9999999 + 8;

std::vector<UINT16> mInput;
size_t              mNext;
size_t              mCalls;

UINTN EFIAPI MemoryInput (INT32 *Counter)
{
  (void)Counter;
  // A field must end after a bounded number of reads: the widest %c reads
  // 9999999 characters, so far more than that means a runaway loop.
  if (++mCalls > mInput.size () + 4 * 10000000ull) {
    std::abort ();
  }
  return mNext < mInput.size () ? mInput[mNext++] : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  FuzzInput   In (Data, Size);
  const UINT8 Mode     = In.Take<UINT8> ();
  const UINT8 WideFlag = Mode % 3;
  const bool  Units16  = (Mode & 4) != 0;
  const size_t Skew    = (Mode & 8) != 0 ? 1 : 0;
  const UINT8 FormatLen = In.Take<UINT8> ();

  std::vector<UINT16> Format16;
  std::vector<CHAR8>  Format8;
  bool                HasC = false;
  for (int I = 0; I < FormatLen; ++I) {
    if (WideFlag != 0) {
      const UINT16 Unit = In.Take<UINT16> ();
      HasC |= Unit == 'c';
      Format16.push_back (Unit);
    } else {
      const CHAR8 C = static_cast<CHAR8> (In.Take<UINT8> ());
      HasC |= C == 'c';
      Format8.push_back (C);
    }
  }
  Format16.push_back (0);
  Format8.push_back (0);

  mInput.clear ();
  while (In.RestSize () > 0) {
    mInput.push_back (Units16 ? In.Take<UINT16> () : In.Take<UINT8> ());
  }
  mNext  = 0;
  mCalls = 0;

  static std::unique_ptr<UINT8[]> Large (new UINT8[kLargestC + 1]);
  std::vector<std::unique_ptr<UINT8[]>> Blocks;
  UINT64 Slots[kSlots];
  const size_t BlockSize = mInput.size () + 1 > 8 ? mInput.size () + 1 : 8;
  for (auto &Slot : Slots) {
    if (HasC) {
      Slot = reinterpret_cast<UINT64> (Large.get () + Skew);
    } else {
      Blocks.emplace_back (new UINT8[Skew + BlockSize]);
      Slot = reinterpret_cast<UINT64> (Blocks.back ().get () + Skew);
    }
  }

  const VOID  *Text   = WideFlag != 0 ? static_cast<const VOID *> (Format16.data ()) : Format8.data ();
  const size_t Length = WideFlag != 0 ? Format16.size () * sizeof (UINT16) : Format8.size ();
  std::vector<UINT8> Format (Skew + Length);
  std::memcpy (Format.data () + Skew, Text, Length);
  const INTN Result = ScanInput (MemoryInput, 0, WideFlag, Format.data () + Skew, reinterpret_cast<VA_LIST> (Slots));
  // One assignment at most per conversion, and a format of N units holds
  // fewer than N conversions.
  if (Result < -1 || Result > FormatLen) {
    std::abort ();
  }
  return 0;
}
