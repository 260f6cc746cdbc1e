// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared pieces of the format engine: the per-conversion records, the
// number renderer (numbers.cpp), the field writer (fieldwriter.cpp), and
// the buffer printer that builds the GUID, time and status texts
// (bufferprint.cpp).
//
// The engine, the renderer and the field writer are templates over the
// character type of the text they handle, built for CHAR8 and CHAR16: each
// file that defines one of them instantiates it for both types.
#ifndef SERVICELIB_CONSOLE_FORMAT_H_
#define SERVICELIB_CONSOLE_FORMAT_H_

#include "../chars.h"
#include "../servicelib.h"
#include "../unaligned.h"

// Flags, width and precision of one conversion. Every member is 32 bits.
typedef struct {
  UINT32 Alternate;       // '#': keep the base prefix
  UINT32 ZeroPad;         // '0': zeros after the prefix (cleared when the text fills the width)
  UINT32 Space;           // ' ': a space in the sign position of a non-negative signed number
  UINT32 LeftJustify;     // '-': spaces after the text
  UINT32 Plus;            // '+': a '+' in the sign position of a non-negative signed number
  UINT32 PrecisionGiven;  // a '.' was read
  INT32  Width;
  INT32  Precision;       // numbers: least digits; text: most characters
} FIELD_FORMAT;

// The layout is pinned, not tuned for stack: docs/stack.md, "Layout asserts".
static_assert (sizeof (FIELD_FORMAT) == 32);
static_assert (__builtin_offsetof (FIELD_FORMAT, Width) == 24);

// One integer to render.
typedef struct {
  UINT8  Base;       // 2, 8, 10 or 16
  INT16  MinDigits;  // least digits; -1 for the usual "at least one"
  UINT8  Signed;     // 1: Value is an INT64
  UINT8  Lowercase;  // 1: 'a'..'f' and "0x"
  UINT64 Value;
  VOID   *Digits;    // 66 characters of the caller's width (132 bytes)
  CHAR8  *Prefix;    // 3 bytes: the sign or base prefix, 8-bit
} NUMBER_FORMAT;

// Digit slots of NUMBER_FORMAT::Digits: 64 digits at most (slots 1..64)
// and the terminator in slot 65; slot 0 is never written. The 16-bit digits
// and the GUID's argument slots rely on these 132 bytes: docs/stack.md,
// "Layout asserts".
inline constexpr UINT32 kDigitSlots = 66;
inline constexpr UINT32 kTextBufferBytes = kDigitSlots * sizeof (CHAR16);
static_assert (kTextBufferBytes == 132);

// What a conversion does, as the parser settles it from its letter.
enum class CONVERSION_KIND : UINT8 {
  Integer,    // d i u x X o b p: Number's base, sign, case and least digits are set
  Character,  // c
  String,     // s a S
  Guid,       // g G: Number.Lowercase tells which
  Time,       // t
  Status,     // r
  Count,      // n
  Percent,    // %: takes no slot
  Invalid,    // a character outside the language: it and the text after it print as text
  End         // the format ended inside the conversion: nothing more is printed
};

// One conversion as the parser reads it from the format; the converters
// render from it. Number.Digits and Number.Prefix belong to the engine (its
// text buffer) and the parser leaves them alone.
typedef struct {
  FIELD_FORMAT    Field;    // flags, width, precision
  NUMBER_FORMAT   Number;   // Value: the conversion's argument slot as taken, for every kind that takes one
  UINT8           ArgSize;  // length modifier: 0 (none: an integer takes 32 bits), 16, 32 or 64 bits
  CONVERSION_KIND Kind;
} CONVERSION;

// Digits of an integer in the format's width, or the 8-bit text of the
// GUID, time and status conversions, or the one character of a %c. Its
// size is part of the engine's frame, which the deepest path counts twice;
// the 16-bit digits and the builders' argument slots share it.
// docs/stack.md, "Layout asserts".
union TEXT_BUFFER {
  CHAR8  Narrow[kTextBufferBytes];
  CHAR16 Wide[kDigitSlots];

  // One past the last digit slot, where NumberToText puts the terminator.
  template <typename CharT> CONST CharT *End () const;
  // The buffer in characters of CharT.
  template <typename CharT> CharT *As ();
};
template <> inline CONST CHAR8 *TEXT_BUFFER::End<CHAR8> () const { return Narrow + kDigitSlots - 1; }
template <> inline CONST CHAR16 *TEXT_BUFFER::End<CHAR16> () const { return Wide + kDigitSlots - 1; }
template <> inline CHAR8 *TEXT_BUFFER::As<CHAR8> () { return Narrow; }
template <> inline CHAR16 *TEXT_BUFFER::As<CHAR16> () { return Wide; }
static_assert (sizeof (TEXT_BUFFER) == 132);

// Where a field's characters go: the caller's routine (or NULL to count
// only) and the engine's remaining count, which every produced character
// lowers by one. One record keeps the field writer at five arguments; it
// saves no stack (docs/stack.md, "The field writer's sink").
typedef struct {
  FORMAT_OUTPUT_ROUTINE Routine;
  UINT32                Remaining;
} FORMAT_SINK;

// The format engine behind FormatOutput, for a format of CharT characters.
template <typename CharT>
UINT32 FormatEngine (IN FORMAT_OUTPUT_ROUTINE OutputRoutine OPTIONAL, IN UINT32 MaxCount, IN CONST CharT *Format,
                     IN VA_LIST Args);

// Renders Number->Value into Number->Digits (characters of CharT) and its
// prefix into Number->Prefix. Returns the most significant digit; the
// digits end in slot 64 and the terminator is in slot 65. Slots below the
// text may be overwritten (slot 0 never is): the 16-bit renderer works in
// the upper half of the buffer first (docs/stack.md, "16-bit digits in the
// top half").
template <typename CharT> CharT *NumberToText (IN OUT NUMBER_FORMAT *Number);

// Lays out one field. Prefix NULL makes a text field (strings, characters,
// the GUID/time/status texts); otherwise a number field whose prefix the
// flags settle. Length is the number of characters of Text before its NUL.
// Returns the characters produced.
template <typename CharT>
UINT32 WriteField (IN CONST CharT *Text, IN UINT32 Length, IN OUT CHAR8 *Prefix OPTIONAL,
                   IN OUT FIELD_FORMAT *Field, IN OUT FORMAT_SINK *Sink);

// Characters before the NUL. A caller's 16-bit text may start at an odd
// address, so every character is read where it lies.
template <typename CharT> inline UINT32 TextLength (IN CONST CharT *Text)
{
  UINT32 Count = 0;
  while (LoadUnaligned<CharT> (Text + Count) != 0) {
    ++Count;
  }
  return Count;
}

// The conversions whose argument slot holds an address that the engine
// reads or writes through: the strings (%s %S %a), the GUID and time
// records (%g %G %t) and the count (%n). %p prints its slot as a number;
// %c and %r take theirs as values.
constexpr bool TakesPointer (UINT32 Conversion)
{
  switch (Conversion) {
    case 's': case 'S': case 'a': case 'g': case 'G': case 't': case 'n':
      return true;
    default:
      return false;
  }
}

// Text given for a NULL string, GUID or time pointer.
inline constexpr CHAR8 kNullText[] = "(null)";

//
// Buffer printing (bufferprint.cpp).
//

// Where BufferPutChar stores the next byte; set by every BufferPrint. The
// engine's GUID, time and status builds put it back as they found it.
extern constinit CHAR8 *BufferCursor;

extern "C" {
// Stores the low byte of Ch at BufferCursor and advances it. No bound.
VOID EFIAPI BufferPutChar (IN CHAR16 Ch);
// Formats an 8-bit format into Buffer, ends it with a NUL and returns the
// characters written without the NUL. The caller guarantees the room.
UINT32 EFIAPI BufferPrint (OUT CHAR8 *Buffer, IN CONST CHAR8 *Format, ...);
}

// Texts of the firmware conversions, built in 8-bit characters into Buffer
// (a text buffer of kTextBufferBytes: the GUID and time builders also keep
// their argument slots in its tail). Each returns the text to print: Buffer, a fixed
// status name, or kNullText for a NULL pointer. The EFI_GUID and the
// EFI_TIME may lie at any address (packed firmware records hold them).
CONST CHAR8 *GuidText (IN CONST VOID *Guid OPTIONAL, IN BOOLEAN Lowercase, OUT CHAR8 *Buffer);  // %g %G
CONST CHAR8 *TimeText (IN CONST VOID *Time OPTIONAL, OUT CHAR8 *Buffer);                        // %t
CONST CHAR8 *StatusText (IN EFI_STATUS Status, OUT CHAR8 *Buffer);                              // %r

// The fixed text of a status code, or NULL when it has none.
CONST CHAR8 *StatusName (IN EFI_STATUS Status);

#endif
