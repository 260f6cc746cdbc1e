// ScanInput (slot 7): the scanf-style engine. A state machine driven by the
// format, one format character per step; some steps hand the same character
// on to another state. Characters come from the input routine through
// ScanNextChar, and integer fields are read by ScanInteger (scanint.cpp).
#include "scan.h"

#include "../servicelib.h"

namespace {

enum class ScanState : UINT32 {
  Between     = 0,       // between directives
  Match       = 1,       // one format character to match against the input
  Percent     = 2,       // inside a conversion, after '%'
  WidthDigits = 3,
  Modifiers   = 4,
  Char        = 5,       // %c
  String      = 6,       // %s
  Integer     = 7,       // %d %i %u %o %x %X %b
  Count       = 8,       // %n
  FieldFailed = 0x8000,  // stop: an integer field failed
  Mismatch    = 0x8001,  // stop: a literal did not match, or a bad conversion
};

constexpr bool IsStop (ScanState State) { return (static_cast<UINT32> (State) & 0x8000) != 0; }

// A width has at most 7 digits; the 8th stops the scan.
constexpr INT32 kMaxWidthDigits = 7;

// Format units widen to 16 bits; an 8-bit unit keeps its sign, so a byte
// 0x80..0xFF only matches an input character 0xFF80..0xFFFF.
constexpr CHAR16 Widen (CHAR8 Ch) { return static_cast<CHAR16> (static_cast<INT16> (static_cast<INT8> (Ch))); }
constexpr CHAR16 Widen (CHAR16 Ch) { return Ch; }

constexpr bool IsModifier (CHAR16 Ch) { return Ch == 'h' || Ch == 'l' || Ch == 'q' || Ch == 'L'; }
constexpr bool IsDecimal (CHAR16 Ch) { return Ch >= '0' && Ch <= '9'; }

// The destination of the next storing conversion: one 8-byte slot each.
class ArgSlots {
 public:
  explicit ArgSlots (VA_LIST Args) : Next (Args) {}
  UINT8 *Take ()
  {
    UINT8 *Dest;
    __builtin_memcpy (&Dest, Next, sizeof Dest);
    Next += 8;
    return Dest;
  }

 private:
  VA_LIST Next;
};

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
  ScanConsumed += Step;
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
    // Ch is the first character of the field.
    for (;;) {
      if (Dest != nullptr) {
        *Dest++ = static_cast<UINT8> (Ch);
      }
      if (Remaining == 0) {
        break;
      }
      --Remaining;
      Ch = ScanNextChar (&Step);
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
  ScanConsumed += Step;
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

template <typename CharT>
INTN RunScan (const CharT *Format, BOOLEAN Wide, VA_LIST Args)
{
  ArgSlots   Slots (Args);
  INT32      Assigned    = 0;
  ScanState  State       = ScanState::Between;
  INT32      StoreSize   = 0;
  SCAN_FIELD Field       = {-1, FALSE, 0, 10};
  INT32      WidthDigits = 0;
  INT32      WidthValue  = 0;

  // One step per format character, acting on it in the current state. When
  // a state hands the character on, the next step would see the same
  // character in the new state; as that character is neither the end of
  // the format nor a stop, the hand-on sets the new state and jumps straight
  // to its code (the ...Step labels) instead of fetching the character again.
  for (;;) {
    const CHAR16 Fc = Widen (*Format++);
    if (Fc == 0) {
      return Assigned;
    }

    switch (State) {
      case ScanState::Between:
        if (Fc == '%') {
          Field.Suppress = FALSE;
          Field.Base     = 10;
          Field.Width    = -1;
          WidthDigits    = 0;
          WidthValue     = 0;
          StoreSize      = 0;
          State          = ScanState::Percent;
          break;
        }
        State = ScanState::Match;
        [[fallthrough]];

      case ScanState::Match:
      MatchStep: {
        INT32 Step = 0;
        if (IsScanSpace (Fc)) {
          // Any run of input whitespace, an empty one included.
          CHAR16 Ch;
          do {
            Ch = ScanNextChar (&Step);
          } while (IsScanSpace (Ch));
          ScanPushBack (Ch, &Step);
          State = ScanState::Between;
        } else {
          // The character read is consumed whether it matches or not.
          State = (ScanNextChar (&Step) == Fc) ? ScanState::Between : ScanState::Mismatch;
        }
        ScanConsumed += Step;
        break;
      }

      case ScanState::Percent:
      PercentStep:
        if (Fc == '*') {
          Field.Suppress = TRUE;
          break;
        }
        if (IsDecimal (Fc)) {
          State = ScanState::WidthDigits;
          goto WidthStep;
        }
        if (IsModifier (Fc)) {
          State = ScanState::Modifiers;
          goto ModifierStep;
        }
        switch (Fc) {
          case '%': State = ScanState::Match; goto MatchStep;
          case 'c': State = ScanState::Char; goto CharStep;
          case 's': State = ScanState::String; goto StringStep;
          case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'b':
            State = ScanState::Integer;
            goto IntegerStep;
          case 'n': State = ScanState::Count; goto CountStep;
          default: State = ScanState::Mismatch; break;
        }
        break;

      case ScanState::WidthDigits:
      WidthStep:
        if (IsDecimal (Fc)) {
          // Digit runs split by '*' or a modifier join into one width.
          WidthValue = WidthValue * 10 + (Fc - '0');
          if (++WidthDigits > kMaxWidthDigits) {
            State = ScanState::Mismatch;
          }
          break;
        }
        Field.Width = WidthValue;
        if (IsModifier (Fc)) {
          State = ScanState::Modifiers;
          goto ModifierStep;
        }
        State = ScanState::Percent;
        goto PercentStep;

      case ScanState::Modifiers:
      ModifierStep:
        // The last modifier wins: %lhd stores 2 bytes, %lld is %ld.
        if (Fc == 'h') {
          StoreSize = 2;
        } else if (Fc == 'l') {
          StoreSize = 4;
        } else if (Fc == 'L' || Fc == 'q') {
          StoreSize = 8;
        } else if (IsDecimal (Fc)) {
          State = ScanState::WidthDigits;
          goto WidthStep;
        } else {
          State = ScanState::Percent;
          goto PercentStep;
        }
        break;

      case ScanState::Char:
      CharStep:
        ScanChars (Field.Suppress ? nullptr : Slots.Take (),
                   Field.Width == -1 ? 1u : static_cast<UINT32> (Field.Width), Wide);
        if (!Field.Suppress) {
          ++Assigned;
        }
        State = ScanState::Between;
        break;

      case ScanState::String:
      StringStep:
        ScanString (Field.Suppress ? nullptr : Slots.Take (), Field.Width);
        if (!Field.Suppress) {
          ++Assigned;
        }
        State = ScanState::Between;
        break;

      case ScanState::Integer:
      IntegerStep: {
        Field.Base   = BaseOf (Fc);
        INT32 Result = ScanInteger (&Field);
        if (Result < 1) {
          // A failed field that is not suppressed replaces the count.
          if (!Field.Suppress) {
            Assigned = Result;
          }
          State = ScanState::FieldFailed;
          break;
        }
        if (!Field.Suppress) {
          ++Assigned;
          UINT8 *Dest = Slots.Take ();
          // No modifier stores all 8 bytes, like L and q.
          if (StoreSize == 2) {
            Store (Dest, static_cast<UINT16> (Field.Value));
          } else if (StoreSize == 4) {
            Store (Dest, static_cast<UINT32> (Field.Value));
          } else {
            Store (Dest, static_cast<UINT64> (Field.Value));
          }
        }
        State = ScanState::Between;
        break;
      }

      case ScanState::Count:
      CountStep:
        if (!Field.Suppress) {
          Store (Slots.Take (), ScanConsumed);
        }
        State = ScanState::Between;
        break;

      case ScanState::FieldFailed:
      case ScanState::Mismatch:
        break;
    }

    if (IsStop (State)) {
      return Assigned;
    }
  }
}

}  // namespace

extern "C" INTN EFIAPI ScanInput (IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved, IN BOOLEAN Wide,
                                  IN CONST VOID *Format, IN VA_LIST Args)
{
  (void)Reserved;
  // Characters given back by an earlier call are dropped: its input routine
  // has delivered them already.
  ScanInputRoutine = InputRoutine;
  ScanConsumed     = 0;
  PushBackTop      = 0;
  if (Wide != 0) {
    return RunScan (static_cast<const CHAR16 *> (Format), Wide, Args);
  }
  return RunScan (static_cast<const CHAR8 *> (Format), Wide, Args);
}
