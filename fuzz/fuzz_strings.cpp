// SPDX-License-Identifier: BSD-2-Clause-Patent
// StringCopy and StringCompare on buffers owned here, with counts that stay
// inside them, checked against a direct model of the two routines.
//
// Input: a mode byte (bit 0 16-bit, bit 1 StopAtNul, bit 2 unbounded
// compare), a fold mask, a count, then the bytes of two strings.
#include "servicelib/servicelib.h"

#include "fuzz/FuzzInput.h"

#include <cstdlib>
#include <type_traits>
#include <vector>

namespace {

template <typename CharT> INT32 UnitAt (const std::vector<UINT8> &Buf, size_t I)
{
  CharT C;
  std::memcpy (&C, Buf.data () + I * sizeof (CharT), sizeof (CharT));
  return static_cast<INT16> (static_cast<std::make_signed_t<CharT>> (C));
}

template <typename CharT>
INT32 ModelCompare (const std::vector<UINT8> &A, const std::vector<UINT8> &B, UINTN Count, INT8 Fold, bool StopAtNul)
{
  INT32 Diff = 0;
  for (UINTN I = 0; I < Count; ++I) {
    INT32 C1 = UnitAt<CharT> (A, I), C2 = UnitAt<CharT> (B, I);
    if (C1 >= 'A' && C1 <= 'Z') C1 = static_cast<INT16> (C1 | Fold);
    if (C2 >= 'A' && C2 <= 'Z') C2 = static_cast<INT16> (C2 | Fold);
    Diff = C1 - C2;
    if (Diff != 0 || (StopAtNul && C1 == 0)) break;
  }
  if (Count == ~UINTN{0}) return Diff > 0 ? 1 : Diff < 0 ? -1 : 0;
  return Diff;
}

template <typename CharT> void Check (FuzzInput &In, UINT8 Mode)
{
  const bool  StopAtNul = (Mode & 2) != 0;
  const INT8  Fold      = In.Take<INT8> ();
  const UINT16 Wanted   = In.Take<UINT16> ();
  const size_t Half     = In.RestSize () / 2 / sizeof (CharT) * sizeof (CharT);
  // Two strings of the same length, each followed by a terminator, so an
  // unbounded compare with StopAtNul ends inside them.
  std::vector<UINT8> A (In.Rest (), In.Rest () + Half), B (In.Rest () + Half, In.Rest () + 2 * Half);
  A.resize (Half + sizeof (CharT), 0);
  B.resize (Half + sizeof (CharT), 0);
  const size_t Units = Half / sizeof (CharT) + 1;

  UINTN Count = Units == 0 ? 0 : Wanted % (Units + 1);
  if ((Mode & 4) != 0 && StopAtNul) {
    Count = ~UINTN{0};
  }
  const INT32 Got = StringCompare (A.data (), B.data (), Count, Fold, StopAtNul, sizeof (CharT) == 2);
  if (Got != ModelCompare<CharT> (A, B, Count, Fold, StopAtNul)) {
    std::abort ();
  }

  // Copy into a destination of exactly the source's size, pre-filled, and
  // check what was copied and what was left alone.
  const UINTN        CopyCount = Wanted % (Units + 1);
  std::vector<UINT8> Dest (A.size (), 0xA5);
  if (StringCopy (Dest.data (), A.data (), CopyCount, StopAtNul, sizeof (CharT) == 2) != Dest.data ()) {
    std::abort ();
  }
  size_t Copied = 0;
  while (Copied < CopyCount) {
    ++Copied;
    if (StopAtNul && UnitAt<CharT> (A, Copied - 1) == 0) break;
  }
  for (size_t I = 0; I < Dest.size (); ++I) {
    const bool  InCopy   = I < Copied * sizeof (CharT);
    if (Dest[I] != (InCopy ? A[I] : 0xA5)) {
      std::abort ();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t *Data, size_t Size)
{
  FuzzInput   In (Data, Size);
  const UINT8 Mode = In.Take<UINT8> ();
  if ((Mode & 1) != 0) {
    Check<UINT16> (In, Mode);
  } else {
    Check<UINT8> (In, Mode);
  }
  return 0;
}
