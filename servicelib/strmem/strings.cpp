// SPDX-License-Identifier: BSD-2-Clause-Patent
// Bounded copy and compare (slots 8 and 9) for 8-bit and 16-bit strings.
// One routine body per operation serves both widths: every character is
// widened to 16 bits with its sign (chars.h) and compared as signed, so
// bytes 0x80 to 0xFF behave as the negative values 0xFF80 to 0xFFFF in
// every test.
#include "../servicelib.h"
#include "../chars.h"

namespace {

// The copy index is a signed 32-bit counter, so no copy moves more than
// 2^31 characters however large the count.
constexpr UINTN kMaxCopyCount = 0x80000000ull;

constexpr UINTN kUnbounded = ~static_cast<UINTN> (0);

// Characters are moved as bytes, so a 16-bit string may start at an odd
// address (callers pack strings into buffers at any offset); on x64 each
// still compiles to a single load or store.
template <typename CharT>
CharT LoadUnit (CONST VOID *Base, UINTN Index)
{
  CharT Unit;
  __builtin_memcpy (&Unit, static_cast<CONST UINT8 *> (Base) + Index * sizeof (CharT), sizeof Unit);
  return Unit;
}

template <typename CharT>
VOID StoreUnit (VOID *Base, UINTN Index, CharT Unit)
{
  __builtin_memcpy (static_cast<UINT8 *> (Base) + Index * sizeof (CharT), &Unit, sizeof Unit);
}

template <typename CharT>
INT16 CharAt (CONST VOID *Base, UINTN Index)
{
  return static_cast<INT16> (WidenChar (LoadUnit<CharT> (Base, Index)));
}

template <typename CharT>
VOID Copy (VOID *Dest, CONST VOID *Source, UINTN Count, BOOLEAN StopAtNul)
{
  UINTN Limit = Count < kMaxCopyCount ? Count : kMaxCopyCount;

  for (UINTN Index = 0; Index < Limit; Index++) {
    CharT Ch = LoadUnit<CharT> (Source, Index);
    StoreUnit (Dest, Index, Ch);
    if (StopAtNul != 0 && Ch == 0) {
      break;
    }
  }
}

// Only 'A' to 'Z' are folded; the mask is widened with its sign, so a
// negative mask sets the upper byte as well.
INT16 Fold (INT16 Ch, INT16 Mask)
{
  return (Ch >= 'A' && Ch <= 'Z') ? static_cast<INT16> (Ch | Mask) : Ch;
}

template <typename CharT>
INT32 Compare (CONST VOID *S1, CONST VOID *S2, UINTN Count, INT8 FoldMask, BOOLEAN StopAtNul)
{
  INT16 Mask = FoldMask;
  INT32 Diff = 0;

  for (UINTN Index = 0; Index < Count; Index++) {
    INT16 C1 = Fold (CharAt<CharT> (S1, Index), Mask);
    INT16 C2 = Fold (CharAt<CharT> (S2, Index), Mask);
    Diff = static_cast<INT32> (C1) - static_cast<INT32> (C2);
    if (Diff != 0 || (StopAtNul != 0 && C1 == 0)) {
      break;
    }
  }

  // An unbounded compare reports only the order, as strcmp callers expect.
  if (Count == kUnbounded) {
    return (Diff > 0) - (Diff < 0);
  }
  return Diff;
}

}  // namespace

extern "C" VOID *EFIAPI StringCopy (OUT VOID *Dest, IN CONST VOID *Source, IN UINTN Count, IN BOOLEAN StopAtNul,
                                    IN BOOLEAN Wide)
{
  if (Wide != 0) {
    Copy<CHAR16> (Dest, Source, Count, StopAtNul);
  } else {
    Copy<CHAR8> (Dest, Source, Count, StopAtNul);
  }
  return Dest;
}

extern "C" INT32 EFIAPI StringCompare (IN CONST VOID *S1, IN CONST VOID *S2, IN UINTN Count, IN INT8 FoldMask,
                                       IN BOOLEAN StopAtNul, IN BOOLEAN Wide)
{
  return Wide != 0 ? Compare<CHAR16> (S1, S2, Count, FoldMask, StopAtNul)
                   : Compare<CHAR8> (S1, S2, Count, FoldMask, StopAtNul);
}
