// FormatOutput (slot 6): the printf-style engine. One state machine, a
// template over the character type of the format, walks the format one
// character per step and hands every produced character to the caller's
// output routine at once. All working state lives in this frame; the only
// module global it touches is BufferPrint's cursor, and only while the text
// of %g, %G, %t or %r is being built, so an output routine may itself call
// FormatOutput.
#include "format.h"

namespace {

enum class FormatState : UINT8 {
  Text,             // plain characters
  Flags,            // after '%': flags, '*', '.', and the dispatch on the conversion
  WidthDigits,
  PrecisionDigits,
  Modifier,         // h, l, ll, q, I32, I64
  Integer,          // d i u x X o b (and p)
  Pointer,
  Character,        // c s S a
  Guid,
  Time,
  Status,
  Percent,
  Invalid,          // abandon the conversion: the failing character becomes text
};

// Up to 7 digits make a width or a precision; an eighth abandons the conversion.
constexpr UINT32 kMaxNumberDigits = 7;

// The format character as the state machine sees it: an 8-bit one widened
// with its sign, so 0xE9 is produced as 0xFFE9.
inline INT32 FormatChar (CHAR8 Ch) { return static_cast<INT8> (Ch); }
inline INT32 FormatChar (CHAR16 Ch) { return Ch; }

inline UINT64 NextSlot (VA_LIST &Args)
{
  UINT64 Value;
  __builtin_memcpy (&Value, Args, sizeof Value);
  Args += sizeof (UINT64);
  return Value;
}

// Digits of an integer in the format's width, or the 8-bit text of the
// GUID, time and status conversions.
// One plain character: counted while the maximum allows, and delivered
// when there is a routine to take it.
inline void Produce (FORMAT_SINK &Sink, CHAR16 Ch)
{
  if (Sink.Remaining != 0) {
    --Sink.Remaining;
    if (Sink.Routine != NULL) {
      Sink.Routine (Ch);
    }
  }
}

union TEXT_BUFFER {
  CHAR8  Narrow[kTextBufferBytes];
  CHAR16 Wide[kDigitSlots];
};
static_assert (sizeof (TEXT_BUFFER) == 132);

inline CHAR8 *Digits (TEXT_BUFFER &Buffer, CHAR8 *) { return Buffer.Narrow; }
inline CHAR16 *Digits (TEXT_BUFFER &Buffer, CHAR16 *) { return Buffer.Wide; }

// Where a digit run or a '*' goes: the width until a '.' has been read, the
// precision from then on (only the '.' sets PrecisionGiven before the
// conversion character).
inline INT32 &NumberTarget (FIELD_FORMAT &Field) { return Field.PrecisionGiven != 0 ? Field.Precision : Field.Width; }

}  // namespace

template <typename CharT>
[[gnu::noinline]] UINT32 FormatEngine (FORMAT_OUTPUT_ROUTINE OutputRoutine, UINT32 MaxCount, CONST CharT *Format, VA_LIST Args)
{
  constexpr bool WideFormat = sizeof (CharT) == sizeof (CHAR16);

  FORMAT_SINK   Sink = {OutputRoutine, MaxCount};
  FormatState   State = FormatState::Text;
  FIELD_FORMAT  Field;
  UINT8         ArgSize = 0;
  UINT32        CollectedDigits = 0;  // digits of the current width or precision
  TEXT_BUFFER   TextBuffer;
  CHAR8         PrefixBuffer[3];
  CHAR16        CharBuffer[2];
  NUMBER_FORMAT Number;
  Number.Digits = Digits (TextBuffer, static_cast<CharT *> (NULL));
  Number.Prefix = PrefixBuffer;

  CONST CharT *Position = Format;
  for (;;) {
    INT32 Ch = FormatChar (*Position);
    if (Ch == 0) {
      return MaxCount - Sink.Remaining;
    }

    switch (State) {
      case FormatState::Text:
        // Plain text is the common case: stay here until the next '%'.
        for (;;) {
          ++Position;
          if (Ch == '%') {
            break;
          }
          Produce (Sink, static_cast<CHAR16> (Ch));
          Ch = FormatChar (*Position);
          if (Ch == 0) {
            return MaxCount - Sink.Remaining;
          }
        }
        Field = {0, 0, 0, 0, 0, 0, 0, 1};
        ArgSize = 0;
        Number.Base = 10;
        Number.MinDigits = -1;
        Number.Signed = 0;
        State = FormatState::Flags;
        break;

      case FormatState::Flags:
        ++Position;
        CollectedDigits = 0;
        switch (Ch) {
          case ' ': Field.Space = 1; break;
          case '#': Field.Alternate = 1; break;
          case '+': Field.Plus = 1; break;
          case '-': Field.LeftJustify = 1; break;
          case '0': Field.ZeroPad = 1; break;
          case '*': NumberTarget (Field) = static_cast<INT32> (NextSlot (Args)); break;
          case '.':
            // Every later number of this conversion is the precision.
            Field.ZeroPad = 0;
            Field.PrecisionGiven = 1;
            Field.Precision = 0;  // "." alone is precision 0
            State = FormatState::PrecisionDigits;
            break;
          case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            NumberTarget (Field) = 0;  // a digit run replaces an earlier value
            --Position;
            State = FormatState::WidthDigits;
            break;
          case 'h': case 'l': case 'q': case 'I':
            --Position;
            State = FormatState::Modifier;
            break;
          case 'd': case 'i':
            Number.Signed = 1;
            --Position;
            State = FormatState::Integer;
            break;
          case 'u': case 'x': case 'X': case 'o': case 'b':
            --Position;
            State = FormatState::Integer;
            break;
          case 'p':
            --Position;
            State = FormatState::Pointer;
            break;
          case 'S':
            ArgSize = 32;
            [[fallthrough]];
          case 'c': case 's': case 'a':
            --Position;
            State = FormatState::Character;
            break;
          case 'g': case 'G':
            --Position;
            State = FormatState::Guid;
            break;
          case 't':
            --Position;
            State = FormatState::Time;
            break;
          case 'r':
            --Position;
            State = FormatState::Status;
            break;
          case 'n': {
            // A NULL destination stores nothing; the slot is used either way.
            INT32 *Count = reinterpret_cast<INT32 *> (NextSlot (Args));
            if (Count != NULL) {
              *Count = static_cast<INT32> (MaxCount - Sink.Remaining);
            }
            State = FormatState::Text;
            break;
          }
          case '%':
            --Position;
            State = FormatState::Percent;
            break;
          default:
            State = FormatState::Invalid;
            break;
        }
        break;

      case FormatState::WidthDigits:
      case FormatState::PrecisionDigits:
        ++Position;
        if (Ch >= '0' && Ch <= '9') {
          // Collected straight into the target: a run that grows too long
          // abandons the conversion, so its value is never used.
          NumberTarget (Field) = NumberTarget (Field) * 10 + (Ch - '0');
          if (++CollectedDigits > kMaxNumberDigits) {
            State = FormatState::Invalid;
          }
          break;
        }
        if (State == FormatState::PrecisionDigits && Ch == '.') {
          State = FormatState::Invalid;  // a second '.' right after a precision
        } else {
          --Position;
          State = FormatState::Flags;
        }
        break;

      case FormatState::Modifier:
        ++Position;
        switch (Ch) {
          case 'h': ArgSize = 16; break;
          case 'l':
            if (FormatChar (*Position) == 'l') {
              ++Position;
              ArgSize = 64;
            } else {
              ArgSize = 32;
            }
            break;
          case 'q': ArgSize = 64; break;
          case 'I': {
            const INT32 First = FormatChar (Position[0]);
            if (First == '3' && FormatChar (Position[1]) == '2') {
              ArgSize = 32;
              Position += 2;
            } else if (First == '6' && FormatChar (Position[1]) == '4') {
              ArgSize = 64;
              Position += 2;
            } else {
              State = FormatState::Invalid;
            }
            break;
          }
          default:
            --Position;
            State = FormatState::Flags;
            break;
        }
        break;

      case FormatState::Pointer:
        // At least 16 upper-case digits, filled with spaces only.
        ArgSize = 64;
        Field.ZeroPad = 0;
        Field.PrecisionGiven = 0;
        Field.Plus = 0;
        Number.MinDigits = 16;
        State = FormatState::Integer;
        break;

      case FormatState::Integer: {
        if (ArgSize == 0) {
          ArgSize = 32;
        }
        UINT64 Value = NextSlot (Args);
        const bool SignExtend = Number.Signed == 1;
        if (ArgSize == 16) {
          Value = SignExtend ? static_cast<UINT64> (static_cast<INT16> (Value)) : static_cast<UINT16> (Value);
        } else if (ArgSize == 32) {
          Value = SignExtend ? static_cast<UINT64> (static_cast<INT32> (Value)) : static_cast<UINT32> (Value);
        }
        Number.Value = Value;
        Number.Lowercase = 1;
        ++Position;
        switch (Ch) {
          case 'd': case 'i': Number.Base = 10; Number.Signed = 1; break;
          case 'u': Number.Base = 10; break;
          case 'x': Number.Base = 16; break;
          case 'X': case 'p': Number.Base = 16; Number.Lowercase = 0; break;
          case 'o': Number.Base = 8; break;
          default: Number.Base = 2; break;  // 'b'
        }
        CharT *Text = NumberToText<CharT> (&Number);
        WriteField<CharT> (Text, PrefixBuffer, &Field, &Sink);
        State = FormatState::Text;
        break;
      }

      case FormatState::Character: {
        if (ArgSize == 0) {
          ArgSize = 16;
        }
        ++Position;
        CharBuffer[0] = CharBuffer[1] = 0;
        CONST VOID *Text;
        if (Ch == 'c') {
          // The format's width decides how much of the slot is the character;
          // the modifier only decides how CharBuffer is read.
          const UINT64 Value = NextSlot (Args);
          if (WideFormat) {
            CharBuffer[0] = static_cast<CHAR16> (Value);
          } else {
            reinterpret_cast<UINT8 *> (CharBuffer)[0] = static_cast<UINT8> (Value);
          }
          Text = CharBuffer;
        } else {
          Text = reinterpret_cast<CONST VOID *> (NextSlot (Args));
        }
        if (Text == NULL) {
          WriteField<CHAR8> (kNullText, NULL, &Field, &Sink);
        } else if (WideFormat || ArgSize == 32) {
          WriteField<CHAR16> (static_cast<CONST CHAR16 *> (Text), NULL, &Field, &Sink);
        } else {
          WriteField<CHAR8> (static_cast<CONST CHAR8 *> (Text), NULL, &Field, &Sink);
        }
        State = FormatState::Text;
        break;
      }

      case FormatState::Guid:
      case FormatState::Time:
      case FormatState::Status: {
        // The text is complete before any character reaches the caller's
        // routine, which may therefore format on its own.
        const UINT64 Argument = NextSlot (Args);
        CONST CHAR8 *Text;
        if (State == FormatState::Guid) {
          Text = GuidText (reinterpret_cast<CONST EFI_GUID *> (Argument), Ch == 'g', TextBuffer.Narrow);
        } else if (State == FormatState::Time) {
          Text = TimeText (reinterpret_cast<CONST EFI_TIME *> (Argument), TextBuffer.Narrow);
        } else {
          Text = StatusText (Argument, TextBuffer.Narrow);
        }
        WriteField<CHAR8> (Text, NULL, &Field, &Sink);
        ++Position;
        State = FormatState::Text;
        break;
      }

      case FormatState::Percent:
        // Flags, width and precision before it have no effect.
        ++Position;
        Produce (Sink, static_cast<CHAR16> ('%'));
        State = FormatState::Text;
        break;

      case FormatState::Invalid:
        // Back onto the failing character, which the Text state produces.
        --Position;
        State = FormatState::Text;
        break;
    }
  }
}

template UINT32 FormatEngine<CHAR8> (FORMAT_OUTPUT_ROUTINE, UINT32, CONST CHAR8 *, VA_LIST);
template UINT32 FormatEngine<CHAR16> (FORMAT_OUTPUT_ROUTINE, UINT32, CONST CHAR16 *, VA_LIST);

extern "C" UINT32 EFIAPI FormatOutput (IN FORMAT_OUTPUT_ROUTINE OutputRoutine, IN UINT32 MaxCount, IN BOOLEAN Wide,
                                       IN CONST VOID *Format, IN VA_LIST Args)
{
  return Wide != 0 ? FormatEngine (OutputRoutine, MaxCount, static_cast<CONST CHAR16 *> (Format), Args)
                   : FormatEngine (OutputRoutine, MaxCount, static_cast<CONST CHAR8 *> (Format), Args);
}
