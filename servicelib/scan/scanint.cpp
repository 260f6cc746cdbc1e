// SPDX-License-Identifier: BSD-2-Clause-Patent
// Character source with push-back, and the integer field reader of the
// scan engine.
#include "scan.h"

constinit SCAN_INPUT_ROUTINE ScanInputRoutine = nullptr;
constinit INT32              ScanConsumed     = 0;
constinit CHAR16             PushBackBuffer[kPushBackSlots] = {};
constinit INT32              PushBackTop      = 0;

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

enum class INT_STATE : UINT8 { Start, AfterSign, InDigits, Convert, AfterX };

// Fields of up to this many digits keep the 32-bit value rules; longer
// ones are taken in 64-bit arithmetic.
constexpr UINT32 kShortFieldDigits = 8;

}  // namespace

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
  INT_STATE   State       = INT_STATE::Start;

  // A sign or a digit takes one unit of the width; whitespace and 'x' are free.
  auto Charge = [&Remaining] {
    if (Remaining > 0) {
      --Remaining;
    }
  };
  auto Append = [&] (UINT8 Digit) {
    Accum = Accum * Base + Digit;
    if (Digits <= kShortFieldDigits) {
      ++Digits;
    }
  };

  while (State != INT_STATE::Convert) {
    CHAR16 Ch    = ScanNextChar (&Step);
    UINT8  Digit = DigitValue (Base, Ch);
    switch (State) {
      case INT_STATE::Start:
        if (Ch == 0) {
          goto Finish;
        }
        if (IsScanSpace (Ch)) {
          break;
        }
        if (Ch == '+' || Ch == '-') {
          Negative = (Ch == '-');
          Charge ();
          State = INT_STATE::AfterSign;
          break;
        }
        [[fallthrough]];
      case INT_STATE::AfterSign:
        if (Digit != kNotADigit) {
          Append (Digit);
          Charge ();
          Result      = 1;
          LeadingZero = (Ch == '0');
          State       = INT_STATE::InDigits;
          break;
        }
        if (Ch == 0) {
          goto Finish;
        }
        ScanPushBack (Ch, &Step);
        if (State == INT_STATE::AfterSign) {
          Result = 0;
        }
        goto Finish;
      case INT_STATE::InDigits:
        if (Digit != kNotADigit) {
          Append (Digit);
          Charge ();
        } else if (Ch == 'x' || Ch == 'X') {
          XChar = Ch;
          State = INT_STATE::AfterX;
        } else {
          ScanPushBack (Ch, &Step);
          State = INT_STATE::Convert;
        }
        break;
      case INT_STATE::AfterX:
        // "0x" in base 16 is a prefix: drop the 'x' and go on with the
        // digits. Anywhere else the 'x' ends the number, and both it and
        // the character after it go back, the 'x' on top.
        ScanPushBack (Ch, &Step);
        if (Base == 16 && LeadingZero) {
          State = INT_STATE::InDigits;
        } else {
          ScanPushBack (XChar, &Step);
          State = INT_STATE::Convert;
        }
        break;
      case INT_STATE::Convert:
        break;
    }
    if (Remaining == 0) {
      State = INT_STATE::Convert;
    }
  }

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

Finish:
  if (Result == 1) {
    AddConsumed (Step);
  }
  return Result;
}
