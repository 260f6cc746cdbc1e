// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine's field writer: lays out one field (fill, sign or base
// prefix, zeros, text), clamps each run to the engine's remaining count
// once, then hands its characters to the output routine one call each.
#include "format.h"

namespace {

// Hands Count characters of Text to Routine, one call each. A caller's
// 16-bit string may start at an odd address: each character is read where
// it lies.
template <typename CharT> inline void Deliver (FORMAT_OUTPUT_ROUTINE Routine, CONST CharT *Text, UINT32 Count)
{
  for (UINT32 Index = 0; Index < Count; ++Index) {
    Routine (WidenChar (LoadUnaligned<CharT> (Text + Index)));
  }
}

// Hands Ch to Routine Count times.
inline void Repeat (FORMAT_OUTPUT_ROUTINE Routine, CHAR16 Ch, UINT32 Count)
{
  for (; Count != 0; --Count) {
    Routine (Ch);
  }
}

}  // namespace

template <typename CharT>
UINT32 WriteField (CONST CharT *Text, UINT32 Length, CHAR8 *Prefix, FIELD_FORMAT *Field, FORMAT_SINK *Sink)
{
  const FORMAT_OUTPUT_ROUTINE Routine        = Sink->Routine;
  const UINT32                Before         = Sink->Remaining;
  const INT32                 Width          = Field->Width;
  const bool                  PrecisionGiven = Field->PrecisionGiven != 0;
  UINT32                      Left           = Before;

  // Most fields have no precision and a width the text already fills: no
  // fill, no zeros, so only the sign or base prefix needs settling.
  if (!PrecisionGiven && static_cast<UINT32> (Width) <= Length) {
    Field->ZeroPad = 0;
    if (Prefix != NULL) {
      // Signs always, base prefixes only with '#'; a non-negative signed
      // number shows ' ' or '+' only when asked to.
      CHAR8 First = Prefix[0];
      if (First == '+') {
        if (Prefix[1] == 0) {
          First = Field->Space != 0 ? ' ' : Field->Plus != 0 ? '+' : 0;
        }
      } else if (First != '-' && Field->Alternate == 0) {
        First = 0;
      }
      Prefix[0] = First;
      for (UINT32 Index = 0; Prefix[Index] != 0 && Left != 0; ++Index) {
        --Left;
        if (Routine != NULL) {
          Routine (WidenChar (Prefix[Index]));
        }
      }
    }
    const UINT32 Count = Length < Left ? Length : Left;
    Left -= Count;
    if (Routine != NULL) {
      Deliver (Routine, Text, Count);
    }
    const UINT32 Produced = Sink->Remaining - Left;  // read again: see the end
    Sink->Remaining = Left;
    return Produced;
  }

  // Zero fill only while the text is shorter than the width. A negative
  // width, as an unsigned number, is longer than every text and keeps it on.
  UINT32 ZeroPad = Field->ZeroPad;
  if (Length >= static_cast<UINT32> (Width)) {
    ZeroPad        = 0;
    Field->ZeroPad = 0;
  }

  // A number field's prefix, settled: signs always, base prefixes only with
  // '#'. The '+' place-holder of a non-negative signed number becomes ' ',
  // '+', the first of the fill zeros, or nothing. A text field has none.
  UINT32 PrefixLength = 0;
  if (Prefix != NULL) {
    CHAR8 First = Prefix[0];
    if (First == '+') {
      if (Prefix[1] == 0) {
        First = Field->Space != 0 ? (ZeroPad != 0 ? '+' : ' ')
                : ZeroPad != 0    ? (Field->Plus != 0 ? '+' : '0')
                : Field->Plus != 0 ? '+'
                                   : 0;
      }
    } else if (First != '-' && Field->Alternate == 0) {
      First = 0;
    }
    Prefix[0] = First;
    while (Prefix[PrefixLength] != 0) {
      ++PrefixLength;
    }
  }

  // The characters of the text, and the zeros a number's precision adds.
  UINT32 Count = Length;
  UINT32 Zeros = 0;
  if (PrecisionGiven) {
    const INT32 Precision = Field->Precision;
    if (Prefix == NULL) {
      if (static_cast<UINT32> (Precision) < Length) {
        Count = static_cast<UINT32> (Precision);
      }
    } else if (static_cast<INT64> (Precision) > static_cast<INT64> (Length)) {
      // Compared in 64 bits: a precision near the bottom of the INT32
      // range (from a '*') must not wrap round into a run of zeros.
      Zeros = static_cast<UINT32> (Precision) - Length;
    } else if (Precision == 0 && Length == 1 && Text[0] == '0') {
      // A zero with precision 0 prints as one space.
      static constexpr CharT Blank[] = {' ', 0};
      Text = Blank;
    }
  }
  // The fill is what the width leaves, never negative.
  const INT64 Room = static_cast<INT64> (Width) - PrefixLength - Zeros - Count;
  UINT32      Fill = Room > 0 ? static_cast<UINT32> (Room) : 0;
  // A "0" sign position is absorbed by the precision zeros; its place goes
  // to the fill, even past the width.
  if (Zeros != 0 && PrefixLength == 1 && Prefix[0] == '0') {
    Prefix[0]    = 0;
    PrefixLength = 0;
    ++Fill;
  }

  // Spaces before or after, or zeros after the prefix (only without a
  // precision: zero fill with a precision writes no fill at all). The fill
  // zeros and the precision zeros are adjacent, so one run writes both;
  // together they never pass Width + 1.
  const bool   LeftJustify = Field->LeftJustify != 0;
  const UINT32 Leading     = !LeftJustify && ZeroPad == 0 ? Fill : 0;
  const UINT32 Trailing    = LeftJustify ? Fill : 0;
  const UINT32 ZeroRun     = Zeros + (!LeftJustify && ZeroPad != 0 && !PrecisionGiven ? Fill : 0);

  // Each run is cut to what the remaining count still allows. The routine
  // and the count stay in locals while the field goes out: the routine
  // cannot reach the sink.
  auto Take = [&Left] (UINT32 Wanted) {
    const UINT32 Granted = Wanted < Left ? Wanted : Left;
    Left -= Granted;
    return Granted;
  };
  if (Routine == NULL) {
    const UINT64 Total = static_cast<UINT64> (Leading) + PrefixLength + ZeroRun + Count + Trailing;
    Left = Total < Left ? Left - static_cast<UINT32> (Total) : 0;
  } else {
    Repeat (Routine, ' ', Take (Leading));
    Deliver (Routine, Prefix, Take (PrefixLength));
    Repeat (Routine, '0', Take (ZeroRun));
    Deliver (Routine, Text, Take (Count));
    Repeat (Routine, ' ', Take (Trailing));
  }
  // The count on entry is read again rather than kept through the runs:
  // no routine can reach the sink, and one register fewer is live
  // across the calls (docs/stack.md, "Speed tricks").
  const UINT32 Produced = Sink->Remaining - Left;
  Sink->Remaining = Left;
  return Produced;
}

template UINT32 WriteField<CHAR8> (CONST CHAR8 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
template UINT32 WriteField<CHAR16> (CONST CHAR16 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
