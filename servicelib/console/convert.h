// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine's converters: each renders one kind of conversion from
// the CONVERSION record that the parser (formatparse.h) filled, and hands
// the field to the field writer (WriteField, fieldwriter.cpp). Each returns the
// characters it produced, which the engine takes off its remaining count;
// Sink->Remaining holds that count on entry.
//
// Always inlined into FormatEngine: the GUID, time and status converter
// lies on the deepest stack path, where a frame of its own would count,
// and the others share the engine's frame and text buffer the same way
// (docs/stack.md, "One frame for parser and converters").
#ifndef SERVICELIB_CONSOLE_CONVERT_H_
#define SERVICELIB_CONSOLE_CONVERT_H_

#include "format.h"

// d i u x X o b p: the slot narrowed to the length, rendered, laid out with
// its sign or base prefix.
template <typename CharT>
[[gnu::always_inline]] inline UINT32 ConvertInteger (CONVERSION *Conversion, TEXT_BUFFER *Buffer, FORMAT_SINK *Sink)
{
  NUMBER_FORMAT &Number = Conversion->Number;
  UINT64        Value   = Number.Value;
  const bool    SignExtend = Number.Signed == 1;
  if (Conversion->ArgSize == 16) {
    Value = SignExtend ? static_cast<UINT64> (static_cast<INT16> (Value)) : static_cast<UINT16> (Value);
  } else if (Conversion->ArgSize != 64) {  // 32 bits, also without a length
    Value = SignExtend ? static_cast<UINT64> (static_cast<INT32> (Value)) : static_cast<UINT32> (Value);
  }
  Number.Value = Value;
  // The digits run up to the terminator in the last slot.
  CONST CharT *Digits = NumberToText<CharT> (&Number);
  const UINT32 Length = static_cast<UINT32> (Buffer->template End<CharT> () - Digits);
  if constexpr (sizeof (CharT) == sizeof (CHAR8)) {
    // No width, no precision and no flag that shows a prefix: the digits
    // alone, or a '-' first, which the field writer adds. Most integers
    // of an 8-bit format go out here without the call (docs/stack.md,
    // "Speed tricks").
    CONST FIELD_FORMAT &Field = Conversion->Field;
    if ((Field.Width | Field.PrecisionGiven | Field.Alternate | Field.Space | Field.Plus) == 0 &&
        Number.Prefix[0] != '-') {
      const UINT32 Count = Length < Sink->Remaining ? Length : Sink->Remaining;
      if (Sink->Routine != NULL) {
        for (UINT32 Index = 0; Index < Count; ++Index) {
          Sink->Routine (WidenChar (Digits[Index]));
        }
      }
      return Count;
    }
  }
  return WriteField (Digits, Length, Number.Prefix, &Conversion->Field, Sink);
}

// c: the character turned into a one-character string in the text buffer,
// which the string converter then prints. The format's width decides how
// much of the slot is the character; the length modifier only decides how
// the string converter reads it (a 32-bit one as a 16-bit string).
template <typename CharT> [[gnu::always_inline]] inline VOID CharacterToString (CONVERSION *Conversion, TEXT_BUFFER *Buffer)
{
  const UINT64 Value = Conversion->Number.Value;
  Buffer->Wide[0] = Buffer->Wide[1] = 0;
  if constexpr (sizeof (CharT) == sizeof (CHAR16)) {
    Buffer->Wide[0] = static_cast<CHAR16> (Value);
  } else {
    Buffer->Narrow[0] = static_cast<CHAR8> (Value);
  }
  Conversion->Number.Value = reinterpret_cast<UINTN> (Buffer->Wide);
}

// s a S (and c, through CharacterToString): a text field. The text is
// 16-bit in a 16-bit format, and in an 8-bit one only with a 32-bit length
// ('l', 'I32', or the 'S' conversion).
template <typename CharT>
[[gnu::always_inline]] inline UINT32 ConvertString (CONVERSION *Conversion, FORMAT_SINK *Sink)
{
  CONST VOID *Text     = reinterpret_cast<CONST VOID *> (Conversion->Number.Value);
  bool       WideText = sizeof (CharT) == sizeof (CHAR16) || Conversion->ArgSize == 32;
  if (Text == NULL) {
    Text     = kNullText;  // 8-bit whatever the format
    WideText = false;
  }
  if (WideText) {
    CONST CHAR16 *String = static_cast<CONST CHAR16 *> (Text);
    return WriteField (String, TextLength (String), NULL, &Conversion->Field, Sink);
  }
  CONST CHAR8 *String = static_cast<CONST CHAR8 *> (Text);
  return WriteField (String, TextLength (String), NULL, &Conversion->Field, Sink);
}

// g G (Guid), t (Time), r (Status): an 8-bit text built in the text
// buffer by a nested engine run, then printed as a text field. The text is
// complete before any character reaches the caller's routine, which may
// therefore format on its own.
[[gnu::always_inline]] inline UINT32 ConvertFirmwareText (CONVERSION *Conversion, TEXT_BUFFER *Buffer,
                                                          FORMAT_SINK *Sink)
{
  const UINT64 Argument = Conversion->Number.Value;
  CONST CHAR8  *Text;
  if (Conversion->Kind == CONVERSION_KIND::Time) {
    Text = TimeText (reinterpret_cast<CONST VOID *> (Argument), Buffer->Narrow);
  } else if (Conversion->Kind == CONVERSION_KIND::Status) {
    Text = StatusText (Argument, Buffer->Narrow);
  } else {
    Text = GuidText (reinterpret_cast<CONST VOID *> (Argument), Conversion->Number.Lowercase, Buffer->Narrow);
  }
  return WriteField (Text, TextLength (Text), NULL, &Conversion->Field, Sink);
}

// n: stores the count produced so far. A NULL destination stores nothing.
// The count is an INT32: past its maximum it stays there, never negative.
// The destination may be a field of a packed record, at any address.
[[gnu::always_inline]] inline VOID StoreCount (CONST CONVERSION *Conversion, UINT32 Produced)
{
  VOID *Count = reinterpret_cast<VOID *> (Conversion->Number.Value);
  if (Count != NULL) {
    StoreUnaligned<INT32> (Count, Produced > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<INT32> (Produced));
  }
}

#endif
