// SPDX-License-Identifier: BSD-2-Clause-Patent
// FormatOutput (slot 6): the printf-style engine. It walks the format,
// hands plain text to the caller's output routine one character at a time,
// and at each '%' runs the parser (formatparse.h), which fills one
// CONVERSION record, then the converter of its kind (convert.h), which
// renders from the record through the field writer (fieldwriter.cpp). All
// working state lives in this frame; the only module global it touches is
// BufferPrint's cursor, and only while the text of %g, %G, %t or %r is
// being built, so an output routine may itself call FormatOutput.
#include "format.h"
#include "formatparse.h"
#include "convert.h"

namespace {

// A '%' or the terminating NUL ends a run of plain text. Most text lies
// above '%' (letters, digits, most punctuation), so one comparison settles
// it; a character from 0x8000 up, negative here, is above it as an
// unsigned number.
inline bool EndsText (INT32 Ch) { return static_cast<UINT32> (Ch) <= '%' && (Ch == '%' || Ch == 0); }

}  // namespace

// Steps (each a label; NEXT_STEP takes the next format character, and the
// end of the format there ends the call with the count produced, whatever
// the step; HAND_ON hands the current character on to another step; labels
// rather than a state variable: docs/stack.md, "Speed tricks"):
//
//   TextStep        plain text goes out in runs; a '%' goes to
//                   ConversionStep
//   ConversionStep  the parser reads the conversion into the record, the
//                   converter of its kind renders it (an Invalid one
//                   renders nothing and the text goes on at its failing
//                   character; one cut off by the end of the format ends
//                   the call), then back to TextStep
//
// Kept out of line so that FormatOutput stays a frame-less tail call to one
// of the two engines. Inlined, both engines would land in FormatOutput:
// about 2 KiB more code, and its frame on the deepest path.
// docs/stack.md, "FormatEngine out of line".
template <typename CharT>
[[gnu::noinline]] UINT32 FormatEngine (FORMAT_OUTPUT_ROUTINE OutputRoutine, UINT32 MaxCount, CONST CharT *Format,
                                      VA_LIST Args)
{
  // The remaining count lives in a register while plain text goes out; the
  // sink in memory carries it only into and out of the converters.
  // docs/stack.md, "The field writer's sink".
  UINT32       Remaining = MaxCount;
  FORMAT_SINK  Sink      = {OutputRoutine, MaxCount};
  CONVERSION   Conversion;
  TEXT_BUFFER  TextBuffer;
  CHAR8        PrefixBuffer[3];
  ARG_SLOTS    Slots (Args);
  CONST CharT *Position = Format;
  INT32        Ch;
  Conversion.Number.Digits = TextBuffer.template As<CharT> ();
  Conversion.Number.Prefix = PrefixBuffer;

  // Position stays one past Ch, the character the current step handles.
#define NEXT_STEP(S)                \
  do {                              \
    Ch = FormatChar (Position++);   \
    if (Ch == 0) {                  \
      return MaxCount - Remaining;  \
    }                               \
    goto S##Step;                   \
  } while (0)
#define HAND_ON(S) goto S##Step

  NEXT_STEP (Text);

TextStep:
  // Plain text is the common case: stay here until the next '%'. A run is
  // delivered with one count for its bound instead of a check per
  // character; what the remaining count cannot take is only walked past.
  if (Ch != '%') {
    if (OutputRoutine != NULL && Remaining != 0) {
      UINT32 Left = Remaining;
      do {
        OutputRoutine (static_cast<CHAR16> (Ch));
        Ch = FormatChar (Position++);
        // Two plain compares: in the benchmarks they beat the one-compare
        // test of EndsText here, which only pays off in the walk below
        // (docs/stack.md, "Speed tricks").
      } while (--Left != 0 && Ch != '%' && Ch != 0);
      Remaining = Left;
    }
    // Counting only, or past the maximum.
    if (Ch != '%' && Ch != 0) {
      CONST CharT *Run = Position;
      do {
        Ch = FormatChar (Position++);
      } while (!EndsText (Ch));
      const UINTN Walked = static_cast<UINTN> (Position - Run);
      Remaining = Walked < Remaining ? Remaining - static_cast<UINT32> (Walked) : 0;
    }
    if (Ch == 0) {
      return MaxCount - Remaining;
    }
  }
  HAND_ON (Conversion);

ConversionStep:
  Position = ParseConversion (Position, Slots, &Conversion);
  Sink.Remaining = Remaining;
  switch (Conversion.Kind) {
    case CONVERSION_KIND::Integer:
      Remaining -= ConvertInteger<CharT> (&Conversion, &TextBuffer, &Sink);
      break;
    case CONVERSION_KIND::Character:
      CharacterToString<CharT> (&Conversion, &TextBuffer);
      [[fallthrough]];
    case CONVERSION_KIND::String:
      Remaining -= ConvertString<CharT> (&Conversion, &Sink);
      break;
    case CONVERSION_KIND::Guid:
    case CONVERSION_KIND::Time:
    case CONVERSION_KIND::Status:
      Remaining -= ConvertFirmwareText (&Conversion, &TextBuffer, &Sink);
      break;
    case CONVERSION_KIND::Count:
      StoreCount (&Conversion, MaxCount - Remaining);
      break;
    case CONVERSION_KIND::Percent:
      if (Remaining != 0) {
        --Remaining;
        if (OutputRoutine != NULL) {
          OutputRoutine (static_cast<CHAR16> ('%'));
        }
      }
      break;
    case CONVERSION_KIND::Invalid:
      break;  // the failing character is the next text
    case CONVERSION_KIND::End:
      return MaxCount - Remaining;
  }
  NEXT_STEP (Text);

#undef NEXT_STEP
#undef HAND_ON
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
