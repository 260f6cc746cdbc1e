// SPDX-License-Identifier: BSD-2-Clause-Patent
// Number rendering and field layout for the format engine. The field
// writer clamps each run of a field (fill, prefix, zeros, text) to the
// engine's remaining count once, then hands its characters to the output
// routine one call each.
#include "format.h"

namespace {

constexpr CHAR8 kHexDigits[] = "0123456789ABCDEF";

}  // namespace

template <typename CharT> CharT *NumberToText (NUMBER_FORMAT *Number)
{
  CharT *Digits = static_cast<CharT *> (Number->Digits);
  Digits[kDigitSlots - 1] = 0;

  const bool Negative = Number->Signed == 1 && static_cast<INT64> (Number->Value) < 0;
  UINT64 Magnitude = Negative ? 0 - Number->Value : Number->Value;
  const UINT64 Original = Magnitude;

  // Digits are written from slot 64 downwards. Base 10 divides by a
  // constant (in 32 bits once the value fits) and the powers of two shift
  // and look the digit up, so no digit costs a hardware division; any other
  // base divides.
  const UINT32 Base = Number->Base;
  CharT        *Out = Digits + kDigitSlots - 1;
  if (Base == 10) {
    while (Magnitude > 0xFFFFFFFFu) {
      *--Out = static_cast<CharT> ('0' + Magnitude % 10);
      Magnitude /= 10;
    }
    UINT32 Small = static_cast<UINT32> (Magnitude);
    do {
      *--Out = static_cast<CharT> ('0' + Small % 10);
      Small /= 10;
    } while (Small != 0);
  } else if (Base == 16 || Base == 8 || Base == 2) {
    // '0'..'9' already have the lower-case bit, so it only changes letters.
    const UINT32 Shift = Base == 16 ? 4 : Base == 8 ? 3 : 1;
    const UINT32 Case  = Number->Lowercase == 1 ? 0x20 : 0;
    do {
      *--Out = static_cast<CharT> (kHexDigits[Magnitude & (Base - 1)] | Case);
      Magnitude >>= Shift;
    } while (Magnitude != 0);
  } else {
    const UINT32 Letter = 'A' - 10 + (Number->Lowercase == 1 ? 32 : 0);
    do {
      const UINT32 Digit = static_cast<UINT32> (Magnitude % Base);
      Magnitude /= Base;
      *--Out = static_cast<CharT> (Digit < 10 ? '0' + Digit : Letter + Digit);
    } while (Magnitude != 0);
  }
  // Zeros in front up to MinDigits digits, but never more than 64 digits
  // (slots 1 to 64): slot 0 is never written. No base of 2 or more needs
  // more than 64 slots for the value itself.
  const INT32 MinDigits = Number->MinDigits > 64 ? 64 : Number->MinDigits;
  CharT *const Least = Digits + kDigitSlots - 1 - (MinDigits > 0 ? MinDigits : 1);
  while (Out > Least) {
    *--Out = '0';
  }

  CHAR8 *Prefix = Number->Prefix;
  Prefix[0] = Prefix[1] = Prefix[2] = 0;
  if (Number->Signed == 1) {
    Prefix[0] = Negative ? '-' : '+';
  } else if (Original != 0) {
    if (Base == 16) {
      Prefix[0] = '0';
      Prefix[1] = static_cast<CHAR8> ('X' | (32 * Number->Lowercase));
    } else if (Base == 8) {
      Prefix[0] = '0';
    }
  }
  return Out;
}

template <typename CharT>
UINT32 WriteField (CONST CharT *Text, UINT32 Length, CHAR8 *Prefix, FIELD_FORMAT *Field, FORMAT_SINK *Sink)
{
  // Most fields have no precision and a width the text already fills: no
  // fill, no zeros, so only the sign or base prefix needs settling. A
  // negative width is left to the full path (it keeps zero fill on).
  if (Field->PrecisionGiven == 0 && Field->Width >= 0 && static_cast<UINT32> (Field->Width) <= Length) {
    Field->ZeroPad = 0;
    const FORMAT_OUTPUT_ROUTINE Routine = Sink->Routine;
    const UINT32 Before = Sink->Remaining;
    UINT32       Left   = Before;
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
      for (UINT32 Index = 0; Index < Count; ++Index) {
        Routine (WidenChar (Text[Index]));
      }
    }
    Sink->Remaining = Left;
    return Before - Left;
  }

  // A text field has an empty prefix of its own.
  CHAR8 NoPrefix[1] = {0};
  const bool NumberField = Prefix != NULL;
  if (!NumberField) {
    Prefix = NoPrefix;
  }

  // Base prefixes ("0x", "0X", "0") only with '#'; signs always.
  if (Prefix[0] != '+' && Prefix[0] != '-' && Field->Alternate == 0) {
    Prefix[0] = 0;
  }

  // Nothing to fill: zero fill is off. A negative width, as an unsigned
  // number, is larger than every length and keeps it on.
  if (Length >= static_cast<UINT32> (Field->Width)) {
    Field->ZeroPad = 0;
  }

  // Settle the sign place-holder of a non-negative signed number. With zero
  // fill and no sign flag, the sign position is the first of the zeros.
  if (Prefix[0] == '+' && Prefix[1] == 0) {
    if (Field->Space != 0) {
      Prefix[0] = Field->ZeroPad != 0 ? '+' : ' ';
    } else if (Field->ZeroPad != 0) {
      Prefix[0] = Field->Plus != 0 ? '+' : '0';
    } else if (Field->Plus == 0) {
      Prefix[0] = 0;
    }
  }

  const bool LeadingSpaces  = Field->LeftJustify == 0 && Field->ZeroPad == 0;
  const bool ZerosAfterSign = Field->LeftJustify == 0 && Field->ZeroPad != 0 && Field->PrecisionGiven == 0;
  const bool TrailingSpaces = Field->LeftJustify != 0;

  UINT32 Count = Length;
  INT32  Zeros = 0;
  if (!NumberField) {
    if (Field->PrecisionGiven != 0 && static_cast<UINT32> (Field->Precision) < Length) {
      Count = static_cast<UINT32> (Field->Precision);
    }
  } else if (Field->PrecisionGiven != 0) {
    // Worked out in 64 bits: a precision near the bottom of the INT32 range
    // (from a '*') must not wrap round into a huge run of zeros.
    const INT64 Missing = static_cast<INT64> (Field->Precision) - Length;
    Zeros = Missing > 0 ? static_cast<INT32> (Missing) : 0;
    // A zero with precision 0 prints as one space.
    if (Zeros == 0 && Field->Precision == 0 && Length == 1 && Text[0] == '0') {
      static constexpr CharT Blank[] = {' ', 0};
      Text = Blank;
    }
  }

  UINT32 PrefixLength = 0;
  while (Prefix[PrefixLength] != 0) {
    ++PrefixLength;
  }
  const INT64 Room = static_cast<INT64> (Field->Width) - PrefixLength - Zeros - Count;
  INT32 Fill = Room > 0 ? static_cast<INT32> (Room) : 0;
  // A "0" sign position is absorbed by the precision zeros; its place goes
  // to the fill, even past the width.
  if (Prefix[0] == '0' && Prefix[1] == 0 && Zeros > 0) {
    Prefix[0] = 0;
    PrefixLength = 0;
    ++Fill;
  }

  // The fill zeros and the precision zeros are adjacent, so one run writes
  // both. Fill and Zeros together never pass Width + 1. The routine and the
  // remaining count stay in locals while the field is written: the routine
  // cannot reach the sink.
  const UINT32 Spaces  = static_cast<UINT32> (Fill);
  const UINT32 ZeroRun = (ZerosAfterSign ? Spaces : 0) + static_cast<UINT32> (Zeros);
  const FORMAT_OUTPUT_ROUTINE Routine = Sink->Routine;
  const UINT32 Before = Sink->Remaining;
  UINT32       Left   = Before;
  auto Repeated = [&] (CHAR16 Ch, UINT32 Count) {
    Count = Count < Left ? Count : Left;
    Left -= Count;
    if (Routine != NULL) {
      while (Count-- != 0) {
        Routine (Ch);
      }
    }
  };
  auto Chars = [&] (auto *From, UINT32 Count) {
    Count = Count < Left ? Count : Left;
    Left -= Count;
    if (Routine != NULL) {
      for (UINT32 Index = 0; Index < Count; ++Index) {
        Routine (WidenChar (From[Index]));
      }
    }
  };
  Repeated (' ', LeadingSpaces ? Spaces : 0);
  Chars (Prefix, PrefixLength);
  Repeated ('0', ZeroRun);
  Chars (Text, Count);
  Repeated (' ', TrailingSpaces ? Spaces : 0);
  Sink->Remaining = Left;
  return Before - Left;
}

template CHAR8 *NumberToText<CHAR8> (NUMBER_FORMAT *);
template CHAR16 *NumberToText<CHAR16> (NUMBER_FORMAT *);
template UINT32 WriteField<CHAR8> (CONST CHAR8 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
template UINT32 WriteField<CHAR16> (CONST CHAR16 *, UINT32, CHAR8 *, FIELD_FORMAT *, FORMAT_SINK *);
