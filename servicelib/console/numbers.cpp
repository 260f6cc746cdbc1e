// SPDX-License-Identifier: BSD-2-Clause-Patent
// Number rendering and field layout for the format engine. The field
// writer clamps each run of a field (fill, prefix, zeros, text) to the
// engine's remaining count once, then hands its characters to the output
// routine one call each.
#include "format.h"

namespace {

// The chunks below are eight characters in one 64-bit word, the first
// character in the lowest byte, as x64 stores it.
static_assert (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

constexpr UINT64 kEightZeros = 0x3030303030303030ULL;  // "00000000"

// The text of a decimal number below 10^8, eight digits with leading
// zeros, as the eight bytes of the result in memory order (most
// significant digit first). The number splits into halves, pairs and
// digits in parallel lanes of one 64-bit word, each split a multiply and
// a shift, so the digits cost no chain of divisions (docs/stack.md, "Speed
// tricks").
inline UINT64 DecimalChunk (UINT32 Value)
{
  const UINT64 Halves   = (Value / 10000) | (static_cast<UINT64> (Value % 10000) << 32);
  const UINT64 Hundreds = ((Halves * 10486) >> 20) & 0x0000007F0000007FULL;  // exact below 10^4
  const UINT64 Pairs    = Hundreds | ((Halves - Hundreds * 100) << 16);
  const UINT64 Tens     = ((Pairs * 103) >> 10) & 0x000F000F000F000FULL;      // exact below 100
  return (Tens | ((Pairs - Tens * 10) << 8)) | kEightZeros;
}

// The eight hexadecimal digits of Value, laid out as DecimalChunk's.
// LetterOffset is what a digit above 9 adds beyond '0' + digit: 7 gives
// 'A'..'F', 39 gives 'a'..'f'.
inline UINT64 HexChunk (UINT32 Value, UINT64 LetterOffset)
{
  UINT64 Nibbles = Value;
  Nibbles = (Nibbles | (Nibbles << 16)) & 0x0000FFFF0000FFFFULL;
  Nibbles = (Nibbles | (Nibbles << 8)) & 0x00FF00FF00FF00FFULL;
  Nibbles = (Nibbles | (Nibbles << 4)) & 0x0F0F0F0F0F0F0F0FULL;
  Nibbles = __builtin_bswap64 (Nibbles);  // least significant nibble was first
  const UINT64 Letters = ((Nibbles + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
  return Nibbles + kEightZeros + Letters * LetterOffset;
}

// Stores the eight characters of a chunk at At.
inline void StoreChunk (CHAR8 *At, UINT64 Chunk) { __builtin_memcpy (At, &Chunk, sizeof Chunk); }

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

// NumberToText for 8-bit digits.
CHAR8 *RenderNarrow (NUMBER_FORMAT *Number)
{
  // Every member is read first: the character stores below could, as far
  // as the compiler knows, land in the record.
  CHAR8 *const End       = static_cast<CHAR8 *> (Number->Digits) + kDigitSlots - 1;
  CHAR8 *const PrefixOut = Number->Prefix;
  UINT64       Magnitude = Number->Value;
  const UINT32 Base      = Number->Base;
  const INT32  MinDigits = Number->MinDigits;
  const UINT32 Lowercase = Number->Lowercase;
  const bool   Signed    = Number->Signed == 1;

  // The prefix: a sign for a signed number ('+' is a place-holder that the
  // field writer settles), else "0X"/"0x" or "0" for a non-zero number in
  // base 16 or 8. Built as the prefix's first two bytes; the third is 0.
  UINT32 Prefix = 0;
  if (Signed) {
    Prefix = '+';
    if (static_cast<INT64> (Magnitude) < 0) {
      Prefix    = '-';
      Magnitude = 0 - Magnitude;
    }
  } else if (Magnitude != 0) {
    if (Base == 16) {
      const UINT32 X = ('X' | (32u * Lowercase)) & 0xFF;  // 'x' for lower case
      Prefix = '0' | (X << 8);
    } else if (Base == 8) {
      Prefix = '0';
    }
  }
  PrefixOut[0] = static_cast<CHAR8> (Prefix);
  PrefixOut[1] = static_cast<CHAR8> (Prefix >> 8);
  PrefixOut[2] = 0;
  *End         = 0;

  // Digits end in slot 64. Bases 10 and 16 write whole chunks of eight
  // digits with leading zeros (at most 24 slots, so slot 0 is never
  // reached); Out is then moved to the most significant digit, and
  // Written marks the lowest slot that holds a digit or a zero. Bases 8 and
  // 2 shift a digit at a time; any other base divides.
  CHAR8 *Out;
  CHAR8 *Written;
  if (Base == 10 || Base == 16) {
    // '0'..'9' already have the lower-case bit, so it only changes letters.
    const UINT64 LetterOffset = Lowercase == 1 ? 'a' - '0' - 10 : 'A' - '0' - 10;
    UINT64       Chunk;
    Written = End;
    do {
      Written -= 8;
      if (Base == 10) {
        // Eight digits a pass; most numbers need no 64-bit division.
        UINT32 Low = static_cast<UINT32> (Magnitude);
        if (Magnitude >= 100000000u) {
          Low = static_cast<UINT32> (Magnitude % 100000000u);
          Magnitude /= 100000000u;
        } else {
          Magnitude = 0;
        }
        Chunk = DecimalChunk (Low);
      } else {
        Chunk = HexChunk (static_cast<UINT32> (Magnitude), LetterOffset);
        Magnitude >>= 32;
      }
      StoreChunk (Written, Chunk);
    } while (Magnitude != 0);
    // The last chunk's leading zeros are its first bytes equal to '0'; at
    // least its last digit stays.
    const UINT64 Significant = Chunk ^ kEightZeros;
    Out = Written + (Significant != 0 ? __builtin_ctzll (Significant) / 8 : 7);
  } else {
    // Bases 8 and 2 shift; any other base divides.
    const UINT32 Shift  = Base == 8 ? 3 : Base == 2 ? 1 : 0;
    const UINT32 Letter = 'A' - 10 + (Lowercase == 1 ? 32 : 0);
    Out = End;
    do {
      UINT32 Digit;
      if (Shift != 0) {
        Digit = static_cast<UINT32> (Magnitude & (Base - 1));
        Magnitude >>= Shift;
      } else {
        Digit = static_cast<UINT32> (Magnitude % Base);
        Magnitude /= Base;
      }
      *--Out = static_cast<CHAR8> (Digit < 10 ? '0' + Digit : Letter + Digit);
    } while (Magnitude != 0);
    Written = Out;
  }

  // Zeros in front up to MinDigits digits, but never more than 64 digits
  // (slots 1 to 64): slot 0 is never written. No base of 2 or more needs
  // more than 64 slots for the value itself. The chunks' own leading zeros
  // serve first.
  if (MinDigits > 1) {
    CHAR8 *const Least = End - (MinDigits > 64 ? 64 : MinDigits);
    if (Out > Least) {
      Out = Written > Least ? Written : Least;
      while (Out > Least) {
        *--Out = '0';
      }
    }
  }
  return Out;
}

}  // namespace

template <typename CharT> CharT *NumberToText (NUMBER_FORMAT *Number)
{
  if constexpr (sizeof (CharT) == sizeof (CHAR8)) {
    return RenderNarrow (Number);
  } else {
    // The 16-bit text is the 8-bit one widened: rendered in 8-bit
    // characters into the upper half of the buffer (8-bit slot k at byte
    // 66 + k), then widened in place from the front. 16-bit slot k (bytes
    // 2k and 2k + 1) is written only after byte 66 + k has been read, and
    // 2k + 1 < 66 + k for every slot up to 64, so no byte is overwritten
    // before it is read. No second buffer and no second renderer:
    // docs/stack.md, "16-bit digits in the top half".
    CHAR16 *const Wide   = static_cast<CHAR16 *> (Number->Digits);
    CHAR8 *const  Narrow = static_cast<CHAR8 *> (Number->Digits) + kDigitSlots;
    NUMBER_FORMAT Rendering = *Number;
    Rendering.Digits        = Narrow;
    CHAR8 *From             = NumberToText<CHAR8> (&Rendering);
    CHAR16 *const First     = Wide + (From - Narrow);
    for (CHAR16 *To = First; *From != 0; ++To, ++From) {
      *To = static_cast<UINT8> (*From);
    }
    Wide[kDigitSlots - 1] = 0;
    return First;
  }
}

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
    Sink->Remaining = Left;
    return Before - Left;
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
  Sink->Remaining = Left;
  return Before - Left;
}

template CHAR8 *NumberToText<CHAR8> (NUMBER_FORMAT *);
template CHAR16 *NumberToText<CHAR16> (NUMBER_FORMAT *);
template UINT32 WriteField<CHAR8> (CONST CHAR8 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
template UINT32 WriteField<CHAR16> (CONST CHAR16 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
