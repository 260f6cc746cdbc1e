// SPDX-License-Identifier: BSD-2-Clause-Patent
// ScanInput (slot 7): the scanf-style engine. It walks the format one
// character per step; some steps hand the same character on to another
// kind of step. Characters come from the input routine through
// ScanNextChar, and integer fields are read by ScanInteger (scanint.cpp).
#include "scan.h"

#include "../servicelib.h"
#include "../argslots.h"
#include "../chars.h"
#include "../unaligned.h"

// The state of the scan under way (scan.h). Scan resets it at the start of
// each call; ScanInput keeps and puts back the state of a scan it
// interrupts. The 8-byte members come first: the compiler places the
// push-back stack, which ScanInput copies as one 8-byte value, on an 8-byte
// boundary, and in this order that costs the image no padding.
constinit SCAN_INPUT_ROUTINE ScanInputRoutine = nullptr;
constinit CHAR16             PushBackBuffer[kPushBackSlots] = {};
constinit INT32              ScanConsumed     = 0;
constinit INT32              PushBackTop      = 0;

namespace {

constexpr bool IsDecimal (CHAR16 Ch) { return Ch >= '0' && Ch <= '9'; }

// The format character at At, widened. A 16-bit format may start at an odd
// address, so the character is read where it lies.
template <typename CharT> inline CHAR16 FormatUnit (const CharT *At) { return WidenChar (LoadUnaligned<CharT> (At)); }

// Stores through destinations of any alignment.
template <typename T>
inline void Store (UINT8 *Dest, T Value)
{
  __builtin_memcpy (Dest, &Value, sizeof Value);
}

// %c: Count characters, stored without a terminator; the end of input does
// not stop it (the zeros read are stored too).
VOID ScanChars (UINT8 *Dest, UINT32 Count, BOOLEAN Wide)
{
  INT32 Step = 0;
  for (UINT32 I = 0; I < Count; ++I) {
    CHAR16 Ch = ScanNextChar (&Step);
    if (Dest == nullptr) {
      continue;
    }
    if (Wide == 1) {
      Store<CHAR16> (Dest, Ch);
      Dest += sizeof (CHAR16);
    } else {
      *Dest++ = static_cast<UINT8> (Ch);
    }
  }
  AddConsumed (Step);
}

// %s: skips leading whitespace (charged to the width), stores the low bytes
// of the characters up to whitespace, the end of input or the end of the
// width, then a zero byte. Dest is null when the field is suppressed.
VOID ScanString (UINT8 *Dest, INT32 Width)
{
  INT32  Step = 0;
  // Unsigned, so that no width (-1) is 4294967295 reads away from ending
  // the field, as with any other width, without signed overflow.
  UINT32 Remaining = static_cast<UINT32> (Width);
  CHAR16 Ch        = 0;

  // Leading whitespace and zeros: consumed and charged to the width.
  while (Remaining != 0) {
    --Remaining;
    Ch = ScanNextChar (&Step);
    if (Ch != 0 && !IsScanSpace (Ch)) {
      break;
    }
    if (Ch == 0 && Width < 0) {
      // The input ended before the field began: without a width nothing
      // else would stop the field, so it ends here, empty.
      break;
    }
    Ch = 0;
  }

  if (Ch != 0) {
    // Ch is the first character of the field. Nothing is given back inside
    // the field, and a scan that starts in the middle of it puts the state
    // back as it was: once the push-back stack is empty it stays empty, and
    // the characters come straight from the routine (docs/stack.md, "Speed
    // tricks").
    const SCAN_INPUT_ROUTINE Routine = ScanInputRoutine;
    const bool               Direct  = static_cast<UINT32> (PushBackTop) - 1u >= static_cast<UINT32> (kPushBackSlots);
    for (;;) {
      if (Dest != nullptr) {
        *Dest++ = static_cast<UINT8> (Ch);
      }
      if (Remaining == 0) {
        break;
      }
      --Remaining;
      if (Direct) {
        Ch = static_cast<CHAR16> (Routine (&Step));
        if (Ch != 0) {
          Step = static_cast<INT32> (static_cast<UINT32> (Step) + 1u);
        }
      } else {
        Ch = ScanNextChar (&Step);
      }
      if (Ch == 0 || IsScanSpace (Ch)) {
        // The character that ends the field is given back only when the
        // width was used up by it; otherwise it is consumed.
        if (Remaining == 0) {
          ScanPushBack (Ch, &Step);
        }
        break;
      }
    }
  }
  if (Dest != nullptr) {
    *Dest = 0;
  }
  AddConsumed (Step);
}

constexpr UINT8 BaseOf (CHAR16 Conversion)
{
  switch (Conversion) {
    case 'o': return 8;
    case 'x':
    case 'X': return 16;
    case 'b': return 2;
    default: return 10;  // d, i and u
  }
}

// RunScan walks the format one character per step. Steps (each a label;
// NEXT_STEP takes the next format character, and the end of the format
// there ends the scan with the count, whatever the step; HAND_ON hands the
// current character on to another step; labels rather than a state
// variable: docs/stack.md, "Speed tricks"), named for where in the format
// they stand:
//
//   BetweenStep      between directives: '%' opens a conversion, anything
//                    else is matched against the input
//   MatchStep        a literal character to match, or whitespace, which
//                    skips any run of input whitespace
//   PercentStep      inside a conversion: after '%', '*', a width or the
//                    modifiers
//   WidthDigitsStep  a digit of the width
//   ModifiersStep    a length modifier
//                    (both hand any other character back to PercentStep)
//   CharStep, StringStep, IntegerStep, CountStep   the conversions
//
// The scan returns the assignment count when the format ends, and ends
// early at a literal that the input does not match, at a letter that is no
// conversion, at a width of too many digits, and at an integer field that
// reads no number (whose result then replaces the count, unless the field
// is suppressed).
//
// Format stays one past Fc, the character the current step handles.
#define NEXT_STEP(S)            \
  do {                          \
    Fc = FormatUnit (Format++); \
    if (Fc == 0) {              \
      return Assigned;          \
    }                           \
    goto S##Step;               \
  } while (0)
#define HAND_ON(S) goto S##Step

template <typename CharT>
INTN RunScan (const CharT *Format, BOOLEAN Wide, VA_LIST Args)
{
  ARG_SLOTS  Slots (Args);
  INT32      Assigned    = 0;
  INT32      StoreSize   = 0;
  SCAN_FIELD Field       = {-1, FALSE, 0, 10};
  UINT32     WidthDigits = 0;
  INT32      WidthValue  = 0;
  CHAR16     Fc;

  NEXT_STEP (Between);

BetweenStep:
  if (Fc != '%') {
    HAND_ON (Match);
  }
  Field.Suppress = FALSE;
  Field.Base     = 10;
  Field.Width    = -1;
  WidthDigits    = 0;
  WidthValue     = 0;
  StoreSize      = 0;
  NEXT_STEP (Percent);

MatchStep: {
  INT32 Step = 0;
  if (IsScanSpace (Fc)) {
    // Any run of input whitespace, an empty one included.
    CHAR16 Ch;
    do {
      Ch = ScanNextChar (&Step);
    } while (IsScanSpace (Ch));
    ScanPushBack (Ch, &Step);
    AddConsumed (Step);
    NEXT_STEP (Between);
  }
  // The character read is consumed whether it matches or not.
  const bool Matched = ScanNextChar (&Step) == Fc;
  AddConsumed (Step);
  if (!Matched) {
    return Assigned;
  }
  NEXT_STEP (Between);
}

PercentStep:
  // One dispatch on the character: the width digits and the modifiers go
  // back here when their run ends.
  switch (Fc) {
    case '*':
      Field.Suppress = TRUE;
      NEXT_STEP (Percent);
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      HAND_ON (WidthDigits);
    case 'h': case 'l': case 'q': case 'L':
      HAND_ON (Modifiers);
    case '%': HAND_ON (Match);
    case 'c': HAND_ON (Char);
    case 's': HAND_ON (String);
    case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'b': HAND_ON (Integer);
    case 'n': HAND_ON (Count);
    default: return Assigned;  // not a conversion letter
  }

WidthDigitsStep:
  if (IsDecimal (Fc)) {
    // Digit runs split by '*' or a modifier join into one width.
    WidthValue = WidthValue * 10 + (Fc - '0');
    if (++WidthDigits > kMaxWidthDigits) {
      return Assigned;  // a width of too many digits
    }
    NEXT_STEP (WidthDigits);
  }
  Field.Width = WidthValue;
  HAND_ON (Percent);

ModifiersStep:
  // The last modifier wins: %lhd stores 2 bytes, %lld is %ld.
  if (Fc == 'h') {
    StoreSize = 2;
  } else if (Fc == 'l') {
    StoreSize = 4;
  } else if (Fc == 'L' || Fc == 'q') {
    StoreSize = 8;
  } else {
    HAND_ON (Percent);  // a width digit or the conversion letter
  }
  NEXT_STEP (Modifiers);

CharStep:
  ScanChars (Field.Suppress ? nullptr : Slots.TakeAddress<UINT8> (), Field.Width == -1 ? 1u : static_cast<UINT32> (Field.Width),
             Wide);
  if (!Field.Suppress) {
    ++Assigned;
  }
  NEXT_STEP (Between);

StringStep:
  ScanString (Field.Suppress ? nullptr : Slots.TakeAddress<UINT8> (), Field.Width);
  if (!Field.Suppress) {
    ++Assigned;
  }
  NEXT_STEP (Between);

IntegerStep: {
  Field.Base         = BaseOf (Fc);
  const INT32 Result = ScanInteger (&Field);
  if (Result < 1) {
    // A failed field that is not suppressed replaces the count.
    if (!Field.Suppress) {
      Assigned = Result;
    }
    return Assigned;
  }
  if (!Field.Suppress) {
    // A NULL destination stores nothing and counts, as for %c and %s.
    ++Assigned;
    UINT8 *Dest = Slots.TakeAddress<UINT8> ();
    if (Dest != nullptr) {
      // No modifier stores all 8 bytes, like L and q.
      if (StoreSize == 2) {
        Store (Dest, static_cast<UINT16> (Field.Value));
      } else if (StoreSize == 4) {
        Store (Dest, static_cast<UINT32> (Field.Value));
      } else {
        Store (Dest, static_cast<UINT64> (Field.Value));
      }
    }
  }
  NEXT_STEP (Between);
}

CountStep:
  if (!Field.Suppress) {
    UINT8 *Dest = Slots.TakeAddress<UINT8> ();
    if (Dest != nullptr) {
      Store (Dest, ScanConsumed);
    }
  }
  NEXT_STEP (Between);
}

#undef NEXT_STEP
#undef HAND_ON

// One scan with a fresh state. Characters given back by an earlier call
// are dropped: its input routine has delivered them already. Out of line for
// code size (80 bytes); inlined, ScanInput's worst case would be 48 bytes
// smaller, and ScanInput has no stack budget. docs/stack.md, "Out-of-line
// helpers".
[[gnu::noinline]] INTN Scan (SCAN_INPUT_ROUTINE InputRoutine, BOOLEAN Wide, CONST VOID *Format, VA_LIST Args)
{
  ScanInputRoutine = InputRoutine;
  ScanConsumed     = 0;
  PushBackTop      = 0;
  if (Wide != 0) {
    return RunScan (static_cast<const CHAR16 *> (Format), Wide, Args);
  }
  return RunScan (static_cast<const CHAR8 *> (Format), Wide, Args);
}

}  // namespace

// A notification function, or an input routine, may start a scan of its
// own in the middle of another. The state of the scan it interrupts is
// kept here and put back at the end, so that scan goes on exactly where it
// was: same input routine, same count, same characters given back. Between
// scans ScanInputRoutine is NULL; a scan that interrupts none leaves the
// count and the stack as they are at its end.
extern "C" INTN EFIAPI ScanInput (IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved, IN BOOLEAN Wide,
                                  IN CONST VOID *Format, IN VA_LIST Args)
{
  (void)Reserved;
  if (Format == nullptr || InputRoutine == nullptr) {
    return 0;  // nothing to match, or nothing to read from: no state is touched
  }
  const SCAN_INPUT_ROUTINE Interrupted = ScanInputRoutine;
  const INT32              Consumed    = ScanConsumed;
  const INT32              Top         = PushBackTop;
  UINT64                   GivenBack;
  static_assert (sizeof GivenBack == sizeof PushBackBuffer);  // docs/stack.md, "Layout asserts"
  __builtin_memcpy (&GivenBack, PushBackBuffer, sizeof GivenBack);

  const INTN Result = Scan (InputRoutine, Wide, Format, Args);

  if (Interrupted != nullptr) {
    ScanConsumed = Consumed;
    PushBackTop  = Top;
    __builtin_memcpy (PushBackBuffer, &GivenBack, sizeof GivenBack);
  }
  ScanInputRoutine = Interrupted;
  return Result;
}
