// SPDX-License-Identifier: BSD-2-Clause-Patent
// FormatOutput (slot 6): the printf-style engine. One state machine, a
// template over the character type of the format, walks the format one
// character per step and hands every produced character to the caller's
// output routine at once. All working state lives in this frame; the only
// module global it touches is BufferPrint's cursor, and only while the text
// of %g, %G, %t or %r is being built, so an output routine may itself call
// FormatOutput.
//
// States: Text, Flags, Width digits, Precision digits, Modifier, Integer,
// Pointer, Character, Guid/Time/Status, Percent and Invalid. Each is a
// label in FormatEngine and every transition jumps straight to the next
// state, so no step pays for a dispatch on a state variable.
#include "format.h"
#include "../argslots.h"

namespace {

// The format character at At as the states compare it: widened to 16
// bits, then held as a signed number, so that an 8-bit character costs one
// sign extension. Every character the states look for is ASCII. A 16-bit
// format may start at an odd address, so the character is read where it
// lies.
template <typename CharT> inline INT32 FormatChar (CONST CharT *At)
{
  return static_cast<INT16> (WidenChar (LoadUnaligned<CharT> (At)));
}

// A '%' or the terminating NUL ends a run of plain text. Most text lies
// above '%' (letters, digits, most punctuation), so one comparison settles
// it; a character from 0x8000 up, negative here, is above it as an
// unsigned number.
inline bool EndsText (INT32 Ch) { return static_cast<UINT32> (Ch) <= '%' && (Ch == '%' || Ch == 0); }

// One plain character: counted while the maximum allows, and delivered
// when there is a routine to take it.
inline void Produce (FORMAT_OUTPUT_ROUTINE Routine, UINT32 &Remaining, CHAR16 Ch)
{
  if (Remaining != 0) {
    --Remaining;
    if (Routine != NULL) {
      Routine (Ch);
    }
  }
}

// Digits of an integer in the format's width, or the 8-bit text of the
// GUID, time and status conversions. Its size is part of the engine's frame,
// which the deepest path counts twice; the 16-bit digits and the builders'
// argument slots share it. docs/stack.md, "Layout asserts".
union TEXT_BUFFER {
  CHAR8  Narrow[kTextBufferBytes];
  CHAR16 Wide[kDigitSlots];

  // One past the last digit slot, where NumberToText puts the terminator.
  template <typename CharT> CONST CharT *End () const;
};
template <> inline CONST CHAR8 *TEXT_BUFFER::End<CHAR8> () const { return Narrow + kDigitSlots - 1; }
template <> inline CONST CHAR16 *TEXT_BUFFER::End<CHAR16> () const { return Wide + kDigitSlots - 1; }
static_assert (sizeof (TEXT_BUFFER) == 132);

inline CHAR8 *Digits (TEXT_BUFFER &Buffer, CHAR8 *) { return Buffer.Narrow; }
inline CHAR16 *Digits (TEXT_BUFFER &Buffer, CHAR16 *) { return Buffer.Wide; }

// Where a digit run or a '*' goes: the width until a '.' has been read, the
// precision from then on (only the '.' sets PrecisionGiven before the
// conversion character).
inline INT32 &NumberTarget (FIELD_FORMAT &Field) { return Field.PrecisionGiven != 0 ? Field.Precision : Field.Width; }

}  // namespace

// Kept out of line so that FormatOutput stays a frame-less tail call to one
// of the two engines. Inlined, both engines would land in FormatOutput: a
// 360-byte frame on the deepest path (16 bytes deeper) and about 1.9 KiB
// more code. docs/stack.md, "FormatEngine out of line".
template <typename CharT>
[[gnu::noinline]] UINT32 FormatEngine (FORMAT_OUTPUT_ROUTINE OutputRoutine, UINT32 MaxCount, CONST CharT *Format,
                                      VA_LIST Args)
{
  constexpr bool WideFormat = sizeof (CharT) == sizeof (CHAR16);

  // The remaining count lives in a register while plain text goes out; the
  // sink in memory carries it only into and out of the field writer.
  // docs/stack.md, "The field writer's sink".
  UINT32        Remaining = MaxCount;
  FORMAT_SINK   Sink = {OutputRoutine, MaxCount};
  FIELD_FORMAT  Field;
  UINT8         ArgSize = 0;
  UINT32        CollectedDigits = 0;  // digits of the current width or precision
  bool          InPrecisionDigits = false;
  TEXT_BUFFER   TextBuffer;
  CHAR8         PrefixBuffer[3];
  CHAR16        CharBuffer[2];
  NUMBER_FORMAT Number;
  ARG_SLOTS     Slots (Args);
  Number.Digits = Digits (TextBuffer, static_cast<CharT *> (NULL));
  Number.Prefix = PrefixBuffer;

  // Hands one field to the field writer with the current remaining count.
  auto Write = [&] (auto *Text, UINT32 Length, CHAR8 *Prefix) {
    // The count comes back in a register rather than through the sink.
    Sink.Remaining = Remaining;
    Remaining -= WriteField (Text, Length, Prefix, &Field, &Sink);
  };

  CONST CharT *Position = Format;
  INT32       Ch;
  CONST VOID  *Text;

  // Each state is a label; a step reads the character at the position, ends
  // the call at the terminating NUL whatever the state, and enters the next
  // state directly. Backing off returns the position to the character just
  // taken, so that the next state reads it again.
#define NEXT_STEP(State)            \
  do {                              \
    Ch = FormatChar (Position);     \
    if (Ch == 0) {                  \
      return MaxCount - Remaining;  \
    }                               \
    goto State;                     \
  } while (0)
  // Backing off onto a character already known not to be the NUL.
#define BACK_OFF_TO(State) \
  do {                     \
    --Position;            \
    goto State;            \
  } while (0)

  NEXT_STEP (TextState);

TextState:
  // Plain text is the common case: stay here until the next '%'. A run is
  // delivered with one count for its bound instead of a check per
  // character; what the remaining count cannot take is only walked past.
  if (Ch != '%') {
    if (OutputRoutine != NULL && Remaining != 0) {
      UINT32 Left = Remaining;
      do {
        OutputRoutine (static_cast<CHAR16> (Ch));
        Ch = FormatChar (++Position);
        // Two plain compares: in the benchmarks they beat the one-compare
        // test of EndsText here, which only pays off in the walk below.
      } while (--Left != 0 && Ch != '%' && Ch != 0);
      Remaining = Left;
    }
    // Counting only, or past the maximum.
    if (Ch != '%' && Ch != 0) {
      CONST CharT *Run = Position;
      do {
        Ch = FormatChar (++Position);
      } while (!EndsText (Ch));
      const UINTN Walked = static_cast<UINTN> (Position - Run);
      Remaining = Walked < Remaining ? Remaining - static_cast<UINT32> (Walked) : 0;
    }
    if (Ch == 0) {
      return MaxCount - Remaining;
    }
  }
  ++Position;
  Field = {0, 0, 0, 0, 0, 0, 0, 1};
  ArgSize = 0;
  Number.Base = 10;
  Number.MinDigits = -1;
  Number.Signed = 0;
  Number.Lowercase = 1;
  NEXT_STEP (FlagsState);

FlagsState:
  ++Position;
  CollectedDigits = 0;
  switch (Ch) {
    case ' ': Field.Space = 1; NEXT_STEP (FlagsState);
    case '#': Field.Alternate = 1; NEXT_STEP (FlagsState);
    case '+': Field.Plus = 1; NEXT_STEP (FlagsState);
    case '-': Field.LeftJustify = 1; NEXT_STEP (FlagsState);
    case '0': Field.ZeroPad = 1; NEXT_STEP (FlagsState);
    case '*': NumberTarget (Field) = static_cast<INT32> (Slots.Take ()); NEXT_STEP (FlagsState);
    case '.':
      // Every later number of this conversion is the precision.
      Field.ZeroPad = 0;
      Field.PrecisionGiven = 1;
      Field.Precision = 0;  // "." alone is precision 0
      NEXT_STEP (PrecisionDigitsState);
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      NumberTarget (Field) = 0;  // a digit run replaces an earlier value
      BACK_OFF_TO (WidthDigitsState);
    case 'h': case 'l': case 'q': case 'I':
      BACK_OFF_TO (ModifierState);
    // The conversion's own branch settles the base: the Integer state then
    // needs no second dispatch on the character.
    case 'd': case 'i':
      Number.Signed = 1;
      BACK_OFF_TO (IntegerState);
    case 'u':
      BACK_OFF_TO (IntegerState);
    case 'x':
      Number.Base = 16;
      BACK_OFF_TO (IntegerState);
    case 'X':
      Number.Base = 16;
      Number.Lowercase = 0;
      BACK_OFF_TO (IntegerState);
    case 'o':
      Number.Base = 8;
      BACK_OFF_TO (IntegerState);
    case 'b':
      Number.Base = 2;
      BACK_OFF_TO (IntegerState);
    case 'p':
      BACK_OFF_TO (PointerState);
    case 'S':
      ArgSize = 32;
      BACK_OFF_TO (CharacterState);
    case 'c': case 's': case 'a':
      BACK_OFF_TO (CharacterState);
    case 'g': case 'G': case 't': case 'r':
      BACK_OFF_TO (SpecialState);  // the Guid, Time and Status states
    case 'n': {
      // A NULL destination stores nothing; the slot is used either way. The
      // count is an INT32: past its maximum it stays there, never negative.
      // The destination may be a field of a packed record, at any address.
      VOID *Count = Slots.TakeAddress<VOID> ();
      if (Count != NULL) {
        const UINT32 Produced = MaxCount - Remaining;
        StoreUnaligned<INT32> (Count, Produced > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<INT32> (Produced));
      }
      NEXT_STEP (TextState);
    }
    case '%':
      BACK_OFF_TO (PercentState);
    default:
      NEXT_STEP (InvalidState);
  }

PrecisionDigitsState:
  InPrecisionDigits = true;
  goto DigitState;
WidthDigitsState:
  InPrecisionDigits = false;
DigitState:
  // The Width digits and Precision digits states collect alike; only a '.'
  // right after a precision's digits differs.
  ++Position;
  if (Ch >= '0' && Ch <= '9') {
    // Collected straight into the target: a run that grows too long
    // abandons the conversion, so its value is never used.
    NumberTarget (Field) = NumberTarget (Field) * 10 + (Ch - '0');
    if (++CollectedDigits > kMaxWidthDigits) {
      NEXT_STEP (InvalidState);
    }
    NEXT_STEP (DigitState);
  }
  if (Ch == '.' && InPrecisionDigits) {
    NEXT_STEP (InvalidState);  // a second '.' right after a precision
  }
  BACK_OFF_TO (FlagsState);

ModifierState:
  ++Position;
  switch (Ch) {
    case 'h': ArgSize = 16; break;
    case 'l':
      if (FormatChar (Position) == 'l') {
        ++Position;
        ArgSize = 64;
      } else {
        ArgSize = 32;
      }
      break;
    case 'q': ArgSize = 64; break;
    case 'I': {
      const INT32 First = FormatChar (Position);
      if (First == '3' && FormatChar (Position + 1) == '2') {
        ArgSize = 32;
        Position += 2;
      } else if (First == '6' && FormatChar (Position + 1) == '4') {
        ArgSize = 64;
        Position += 2;
      } else {
        NEXT_STEP (InvalidState);
      }
      break;
    }
    default:
      BACK_OFF_TO (FlagsState);
  }
  NEXT_STEP (ModifierState);  // 'hh', 'lh' and the like: the last one counts

PointerState:
  // At least 16 upper-case digits, filled with spaces only.
  ArgSize = 64;
  Field.ZeroPad = 0;
  Field.PrecisionGiven = 0;
  Field.Plus = 0;
  Number.MinDigits = 16;
  Number.Base = 16;
  Number.Lowercase = 0;
  goto IntegerState;  // without moving: it reads the 'p'

IntegerState: {
  if (ArgSize == 0) {
    ArgSize = 32;
  }
  UINT64 Value = Slots.Take ();
  const bool SignExtend = Number.Signed == 1;
  if (ArgSize == 16) {
    Value = SignExtend ? static_cast<UINT64> (static_cast<INT16> (Value)) : static_cast<UINT16> (Value);
  } else if (ArgSize == 32) {
    Value = SignExtend ? static_cast<UINT64> (static_cast<INT32> (Value)) : static_cast<UINT32> (Value);
  }
  Number.Value = Value;
  ++Position;
  // The digits run up to the terminator in the last slot.
  CONST CharT *Digits = NumberToText<CharT> (&Number);
  const UINT32 Length = static_cast<UINT32> (TextBuffer.template End<CharT> () - Digits);
  Write (Digits, Length, PrefixBuffer);
  NEXT_STEP (TextState);
}

CharacterState:
  // The text is 16-bit in a 16-bit format, and in an 8-bit one only with a
  // 32-bit modifier ('l', 'I32', or the 'S' conversion).
  ++Position;
  CharBuffer[0] = CharBuffer[1] = 0;
  if (TakesPointer (Ch)) {
    Text = Slots.TakeAddress<CONST VOID> ();
  } else {
    // %c: the format's width decides how much of the slot is the
    // character; the modifier only decides how CharBuffer is read.
    const UINT64 Value = Slots.Take ();
    if (WideFormat) {
      CharBuffer[0] = static_cast<CHAR16> (Value);
    } else {
      reinterpret_cast<UINT8 *> (CharBuffer)[0] = static_cast<UINT8> (Value);
    }
    Text = CharBuffer;
  }
  if (Text == NULL) {
    Write (kNullText, sizeof kNullText - 1, NULL);
  } else if (WideFormat || ArgSize == 32) {
    CONST CHAR16 *String = static_cast<CONST CHAR16 *> (Text);
    Write (String, TextLength (String), NULL);
  } else {
    CONST CHAR8 *String = static_cast<CONST CHAR8 *> (Text);
    Write (String, TextLength (String), NULL);
  }
  NEXT_STEP (TextState);

SpecialState: {
  // %g and %G (Guid), %t (Time), %r (Status). The text is complete before
  // any character reaches the caller's routine, which may therefore format
  // on its own.
  const UINT64 Argument = Slots.Take ();
  CONST CHAR8 *Special;
  if (Ch == 't') {
    Special = TimeText (reinterpret_cast<CONST VOID *> (Argument), TextBuffer.Narrow);
  } else if (Ch == 'r') {
    Special = StatusText (Argument, TextBuffer.Narrow);
  } else {
    Special = GuidText (reinterpret_cast<CONST VOID *> (Argument), Ch == 'g', TextBuffer.Narrow);
  }
  Write (Special, TextLength (Special), NULL);
  ++Position;
  NEXT_STEP (TextState);
}

PercentState:
  // Flags, width and precision before it have no effect.
  ++Position;
  Produce (OutputRoutine, Remaining, static_cast<CHAR16> ('%'));
  NEXT_STEP (TextState);

InvalidState:
  // Back onto the failing character, which the Text state produces.
  --Position;
  NEXT_STEP (TextState);

#undef NEXT_STEP
#undef BACK_OFF_TO
}

template UINT32 FormatEngine<CHAR8> (FORMAT_OUTPUT_ROUTINE, UINT32, CONST CHAR8 *, VA_LIST);
template UINT32 FormatEngine<CHAR16> (FORMAT_OUTPUT_ROUTINE, UINT32, CONST CHAR16 *, VA_LIST);

extern "C" UINT32 EFIAPI FormatOutput (IN FORMAT_OUTPUT_ROUTINE OutputRoutine, IN UINT32 MaxCount, IN BOOLEAN Wide,
                                       IN CONST VOID *Format, IN VA_LIST Args)
{
  if (Format == NULL) {
    return 0;  // nothing to produce
  }
  return Wide != 0 ? FormatEngine (OutputRoutine, MaxCount, static_cast<CONST CHAR16 *> (Format), Args)
                   : FormatEngine (OutputRoutine, MaxCount, static_cast<CONST CHAR8 *> (Format), Args);
}
