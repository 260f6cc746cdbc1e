// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine's parser: reads one conversion from the format text
// into a CONVERSION record and takes its argument slots. It renders
// nothing; the converters (convert.h) render from the record.
//
// Always inlined, so that it works in the engine's frame, on the record
// the converters read: out of line (clang's choice for plain inline) the
// engine's frame grows by 16 bytes, which the deepest path counts twice
// (docs/stack.md, "One frame for parser and converters").
#ifndef SERVICELIB_CONSOLE_FORMATPARSE_H_
#define SERVICELIB_CONSOLE_FORMATPARSE_H_

#include "format.h"
#include "../argslots.h"

// The format character at At as the steps compare it: widened to 16 bits,
// then held as a signed number, so that an 8-bit character costs one sign
// extension. Every character the steps look for is ASCII. A 16-bit format
// may start at an odd address, so the character is read where it lies.
template <typename CharT> inline INT32 FormatChar (CONST CharT *At)
{
  return static_cast<INT16> (WidenChar (LoadUnaligned<CharT> (At)));
}

// Where a digit run or a '*' goes: the width until a '.' has been read, the
// precision from then on (only the '.' sets PrecisionGiven before the
// conversion letter).
inline INT32 &NumberTarget (FIELD_FORMAT &Field) { return Field.PrecisionGiven != 0 ? Field.Precision : Field.Width; }

// Reads the conversion whose '%' lies just before Position into *Conversion
// and returns where the text goes on: past the conversion letter, or, for
// an Invalid conversion, at the failing character, which is then printed
// as text. Every '*' and the conversion's own argument take their slots
// from Slots, in the order of the format.
//
// Steps (each a label; NEXT_STEP takes the next format character, and the
// end of the format there makes the conversion End, whatever the step;
// HAND_ON hands the current character on to another step; labels rather
// than a state variable: docs/stack.md, "Speed tricks"):
//
//   FlagsStep           flags and '*' stay here; '.' goes to
//                       PrecisionDigitsStep, '1'..'9' to WidthDigitsStep,
//                       a modifier to ModifiersStep; a conversion letter
//                       ends the parse (IntegerStep for the integers and
//                       %p, ArgumentStep for the others that take a slot);
//                       any other character is Invalid
//   WidthDigitsStep,    collect digits into the width or precision; an
//   PrecisionDigitsStep 8th digit, or a '.' right after a precision's
//                       digits, is Invalid; anything else goes back to
//                       FlagsStep
//   ModifiersStep       h, l, ll, q, I32, I64 (the last one counts); an 'I'
//                       without 32 or 64 is Invalid; anything else goes
//                       back to FlagsStep
//   InvalidStep         the conversion is abandoned at its failing
//                       character; End when the format ends right after it
template <typename CharT>
[[gnu::always_inline]] inline CONST CharT *ParseConversion (CONST CharT *Position, ARG_SLOTS &Slots,
                                                             CONVERSION *Conversion)
{
  FIELD_FORMAT  &Field  = Conversion->Field;
  NUMBER_FORMAT &Number = Conversion->Number;
  UINT32        CollectedDigits   = 0;  // digits of the current width or precision
  bool          InPrecisionDigits = false;
  INT32         Ch;

  Field               = {0, 0, 0, 0, 0, 0, 0, 1};
  Conversion->ArgSize = 0;
  Number.Base         = 10;
  Number.MinDigits    = -1;
  Number.Signed       = 0;
  Number.Lowercase    = 1;

  // Position stays one past Ch, the character the current step handles.
#define NEXT_STEP(S)              \
  do {                            \
    Ch = FormatChar (Position++); \
    if (Ch == 0) {                \
      goto EndStep;               \
    }                             \
    goto S##Step;                 \
  } while (0)
#define HAND_ON(S) goto S##Step

  NEXT_STEP (Flags);

FlagsStep:
  switch (Ch) {
    case ' ': Field.Space = 1; NEXT_STEP (Flags);
    case '#': Field.Alternate = 1; NEXT_STEP (Flags);
    case '+': Field.Plus = 1; NEXT_STEP (Flags);
    case '-': Field.LeftJustify = 1; NEXT_STEP (Flags);
    case '0': Field.ZeroPad = 1; NEXT_STEP (Flags);
    case '*': NumberTarget (Field) = static_cast<INT32> (Slots.Take ()); NEXT_STEP (Flags);
    case '.':
      // Every later number of this conversion is the precision.
      Field.ZeroPad        = 0;
      Field.PrecisionGiven = 1;
      Field.Precision      = 0;  // "." alone is precision 0
      CollectedDigits      = 0;
      NEXT_STEP (PrecisionDigits);
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      NumberTarget (Field) = 0;  // a digit run replaces an earlier value
      CollectedDigits      = 0;
      InPrecisionDigits    = false;
      HAND_ON (WidthDigits);
    case 'h': case 'l': case 'q': case 'I':
      HAND_ON (Modifiers);
    // The letter's own branch settles the base, so the integer converter
    // needs no second dispatch on the letter.
    case 'd': case 'i':
      Number.Signed = 1;
      HAND_ON (Integer);
    case 'u':
      HAND_ON (Integer);
    case 'x':
      Number.Base = 16;
      HAND_ON (Integer);
    case 'X':
      Number.Base      = 16;
      Number.Lowercase = 0;
      HAND_ON (Integer);
    case 'o':
      Number.Base = 8;
      HAND_ON (Integer);
    case 'b':
      Number.Base = 2;
      HAND_ON (Integer);
    case 'p':
      // At least 16 upper-case digits, filled with spaces only.
      Conversion->ArgSize  = 64;
      Field.ZeroPad        = 0;
      Field.PrecisionGiven = 0;
      Field.Plus           = 0;
      Number.MinDigits     = 16;
      Number.Base          = 16;
      Number.Lowercase     = 0;
      HAND_ON (Integer);
    case 'S':
      Conversion->ArgSize = 32;
      Conversion->Kind    = CONVERSION_KIND::String;
      HAND_ON (Argument);
    case 's': case 'a':
      Conversion->Kind = CONVERSION_KIND::String;
      HAND_ON (Argument);
    case 'c':
      Conversion->Kind = CONVERSION_KIND::Character;
      HAND_ON (Argument);
    case 'g': case 'G':
      Number.Lowercase = Ch == 'g';
      Conversion->Kind = CONVERSION_KIND::Guid;
      HAND_ON (Argument);
    case 't':
      Conversion->Kind = CONVERSION_KIND::Time;
      HAND_ON (Argument);
    case 'r':
      Conversion->Kind = CONVERSION_KIND::Status;
      HAND_ON (Argument);
    case 'n':
      Conversion->Kind = CONVERSION_KIND::Count;
      HAND_ON (Argument);
    case '%':
      // Flags, width and precision before it have no effect.
      Conversion->Kind = CONVERSION_KIND::Percent;
      return Position;
    default:
      HAND_ON (Invalid);
  }

PrecisionDigitsStep:
  InPrecisionDigits = true;
  if (Ch == '.') {
    HAND_ON (Invalid);  // a second '.' right after a precision
  }
WidthDigitsStep:
  // The two digit steps collect alike; only a '.' right after a
  // precision's digits differs. Digits go straight into the target: a run
  // that grows too long is Invalid, so its value is never used.
  if (Ch < '0' || Ch > '9') {
    HAND_ON (Flags);
  }
  NumberTarget (Field) = NumberTarget (Field) * 10 + (Ch - '0');
  if (++CollectedDigits > kMaxWidthDigits) {
    HAND_ON (Invalid);
  }
  if (InPrecisionDigits) {
    NEXT_STEP (PrecisionDigits);
  }
  NEXT_STEP (WidthDigits);

ModifiersStep:
  switch (Ch) {
    case 'h': Conversion->ArgSize = 16; break;
    case 'l':
      if (FormatChar (Position) == 'l') {
        ++Position;
        Conversion->ArgSize = 64;
      } else {
        Conversion->ArgSize = 32;
      }
      break;
    case 'q': Conversion->ArgSize = 64; break;
    case 'I': {
      const INT32 First = FormatChar (Position);
      if (First == '3' && FormatChar (Position + 1) == '2') {
        Conversion->ArgSize = 32;
      } else if (First == '6' && FormatChar (Position + 1) == '4') {
        Conversion->ArgSize = 64;
      } else {
        HAND_ON (Invalid);
      }
      Position += 2;
      break;
    }
    default:
      HAND_ON (Flags);
  }
  NEXT_STEP (Modifiers);  // 'hh', 'lh' and the like: the last one counts

IntegerStep:
  Conversion->Kind = CONVERSION_KIND::Integer;
ArgumentStep:
  Number.Value = Slots.Take ();
  return Position;

InvalidStep:
  // A failing character that the format ends right after is cut off with
  // the conversion: nothing of it prints.
  if (FormatChar (Position) == 0) {
    HAND_ON (End);
  }
  Conversion->Kind = CONVERSION_KIND::Invalid;
  return Position - 1;  // back onto the failing character

EndStep:
  Conversion->Kind = CONVERSION_KIND::End;
  return Position - 1;  // at the terminating NUL

#undef NEXT_STEP
#undef HAND_ON
}

#endif
