// SPDX-License-Identifier: BSD-2-Clause-Patent
// The integer field reader of the scan engine. It reads through the scan's
// character source (scan.h), whose state scan.cpp defines and resets.
#include "scan.h"

namespace {

constexpr UINT8 kNotADigit = 0xFF;

// Value of each 8-bit character as a digit, kNotADigit for non-digits.
constexpr struct DigitTable {
  UINT8 Value[256];
  constexpr DigitTable () : Value ()
  {
    for (unsigned I = 0; I < 256; ++I) {
      Value[I] = kNotADigit;
    }
    for (unsigned I = 0; I < 10; ++I) {
      Value['0' + I] = static_cast<UINT8> (I);
    }
    for (unsigned I = 0; I < 6; ++I) {
      Value['A' + I] = static_cast<UINT8> (10 + I);
      Value['a' + I] = static_cast<UINT8> (10 + I);
    }
  }
} kDigits;

// Bases 2, 8, 10 and 16 as bits of one mask.
constexpr UINT32 kValidBases = (1u << 2) | (1u << 8) | (1u << 10) | (1u << 16);

// Digit value of Ch in Base, or kNotADigit.
inline UINT8 DigitValue (UINT8 Base, CHAR16 Ch)
{
  if (Ch > 0xFF || Base > 16 || (kValidBases & (1u << Base)) == 0) {
    return kNotADigit;
  }
  UINT8 V = kDigits.Value[Ch];
  return V < Base ? V : kNotADigit;
}

// Fields of up to this many digits keep the 32-bit value rules; longer
// ones are taken in 64-bit arithmetic.
constexpr UINT32 kShortFieldDigits = 8;

}  // namespace

// Steps (each a label; NEXT_STEP takes the next input character, unless
// the width is used up, which goes to ConvertStep instead; HAND_ON hands
// the current character on to another step):
//
//   TakeStep        the one place that reads a character, then goes on to
//                   the step that NEXT_STEP named
//   StartStep       whitespace stays here (free); a sign goes to
//                   AfterSignStep, a digit to FirstDigitStep; the end of
//                   input, or another character (given back), fails: -1
//   AfterSignStep   a digit goes to FirstDigitStep; another character is
//                   given back and fails with 0; the end of input, -1
//   FirstDigitStep  the field has a number: on to InDigitsStep
//   InDigitsStep    digits stay here; 'x' or 'X' goes to AfterXStep; any
//                   other character is given back and ends the number
//   AfterXStep      after a leading zero in base 16 the 'x' was a prefix:
//                   back to InDigitsStep; otherwise the 'x' and the
//                   character after it are given back and the number ends
//   ConvertStep     the digits' value, then FinishStep
//   FinishStep      counts the consumed characters of a field that read a
//                   number, and returns
INT32 ScanInteger (IN OUT SCAN_FIELD *Field)
{
  const UINT8 Base        = Field->Base;
  INT32       Step        = 0;
  INT32       Remaining   = Field->Width;  // negative: no width, never runs out
  INT32       Result      = -1;
  bool        Negative    = false;
  bool        LeadingZero = false;
  UINT32      Digits      = 0;   // counted up to kShortFieldDigits + 1
  UINT64      Accum       = 0;   // the digits' value modulo 2^64
  CHAR16      XChar       = 0;
  CHAR16      Ch;
  UINT8       Digit;

  // A sign or a digit takes one unit of the width; whitespace and 'x' are free.
  auto Charge = [&Remaining] {
    if (Remaining > 0) {
      --Remaining;
    }
  };
  auto Append = [&] {
    Accum = Accum * Base + Digit;
    if (Digits <= kShortFieldDigits) {
      ++Digits;
    }
  };

  // NEXT_STEP goes through TakeStep, the one place that reads: the
  // character source is inlined there once rather than at every step. The
  // step to go on with is a label address. docs/stack.md, "One read site in
  // the integer reader".
  void *Next;
#define NEXT_STEP(S)   \
  do {                 \
    Next = &&S##Step;  \
    goto TakeStep;     \
  } while (0)
#define HAND_ON(S) goto S##Step

  // The first character is read whatever the width: a width of 0 still
  // reads one.
  Next = &&StartStep;
  goto ReadStep;

TakeStep:
  if (Remaining == 0) {
    HAND_ON (Convert);
  }
ReadStep:
  Ch    = ScanNextChar (&Step);
  Digit = DigitValue (Base, Ch);
  goto *Next;

StartStep:
  if (Ch == 0) {
    HAND_ON (Finish);
  }
  if (IsScanSpace (Ch)) {
    NEXT_STEP (Start);
  }
  if (Ch == '+' || Ch == '-') {
    Negative = (Ch == '-');
    Charge ();
    NEXT_STEP (AfterSign);
  }
  if (Digit == kNotADigit) {
    ScanPushBack (Ch, &Step);
    HAND_ON (Finish);
  }
  HAND_ON (FirstDigit);

AfterSignStep:
  if (Digit == kNotADigit) {
    if (Ch != 0) {
      ScanPushBack (Ch, &Step);
      Result = 0;
    }
    HAND_ON (Finish);
  }
FirstDigitStep:
  Result      = 1;
  LeadingZero = (Ch == '0');
InDigitsStep:
  if (Digit != kNotADigit) {
    Append ();
    Charge ();
    NEXT_STEP (InDigits);
  }
  if (Ch == 'x' || Ch == 'X') {
    XChar = Ch;
    NEXT_STEP (AfterX);
  }
  ScanPushBack (Ch, &Step);
  HAND_ON (Convert);

AfterXStep:
  // "0x" in base 16 is a prefix: drop the 'x' and go on with the digits.
  // Anywhere else the 'x' ends the number, and both it and the character
  // after it go back, the 'x' on top.
  ScanPushBack (Ch, &Step);
  if (Base == 16 && LeadingZero) {
    NEXT_STEP (InDigits);
  }
  ScanPushBack (XChar, &Step);
  HAND_ON (Convert);

ConvertStep:
  if (Digits == 0) {
    Field->Value = 0;
  } else if (Digits <= kShortFieldDigits) {
    // Up to 8 digits the value is the digits' 32-bit value read as signed:
    // exact in bases 2, 8 and 10, while 8 hex digits 'FFFFFFFF' give -1.
    Field->Value = static_cast<INT32> (static_cast<UINT32> (Accum));
  } else {
    Field->Value = static_cast<INT64> (Accum);
  }
  if (Negative) {
    Field->Value = static_cast<INT64> (0 - static_cast<UINT64> (Field->Value));
  }

FinishStep:
  if (Result == 1) {
    AddConsumed (Step);
  }
  return Result;

#undef NEXT_STEP
#undef HAND_ON
}
