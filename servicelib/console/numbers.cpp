// SPDX-License-Identifier: BSD-2-Clause-Patent
// Number rendering for the format engine: the digits and the sign or base
// prefix of one integer. The field writer (fieldwriter.cpp) lays them out.
#include "format.h"

namespace {

// The chunks below are eight characters in one 64-bit word, the first
// character in the lowest byte, as x64 stores it.
static_assert (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

constexpr UINT64 kEightZeros = 0x3030303030303030ULL;  // "00000000"

// The text of a decimal number below 10^8, eight digits with leading
// zeros, as the eight bytes of the result in memory order (most
// significant digit first). The number splits into halves, pairs and
// digits in parallel lanes of one 64-bit word, each split a multiply and
// a shift, so the digits cost no chain of divisions (docs/stack.md, "Speed
// tricks").
inline UINT64 DecimalChunk (UINT32 Value)
{
  const UINT64 Halves   = (Value / 10000) | (static_cast<UINT64> (Value % 10000) << 32);
  const UINT64 Hundreds = ((Halves * 10486) >> 20) & 0x0000007F0000007FULL;  // exact below 10^4
  const UINT64 Pairs    = Hundreds | ((Halves - Hundreds * 100) << 16);
  const UINT64 Tens     = ((Pairs * 103) >> 10) & 0x000F000F000F000FULL;      // exact below 100
  return (Tens | ((Pairs - Tens * 10) << 8)) | kEightZeros;
}

// The eight hexadecimal digits of Value, laid out as DecimalChunk's.
// LetterOffset is what a digit above 9 adds beyond '0' + digit: 7 gives
// 'A'..'F', 39 gives 'a'..'f'.
inline UINT64 HexChunk (UINT32 Value, UINT64 LetterOffset)
{
  UINT64 Nibbles = Value;
  Nibbles = (Nibbles | (Nibbles << 16)) & 0x0000FFFF0000FFFFULL;
  Nibbles = (Nibbles | (Nibbles << 8)) & 0x00FF00FF00FF00FFULL;
  Nibbles = (Nibbles | (Nibbles << 4)) & 0x0F0F0F0F0F0F0F0FULL;
  Nibbles = __builtin_bswap64 (Nibbles);  // least significant nibble was first
  const UINT64 Letters = ((Nibbles + 0x0606060606060606ULL) >> 4) & 0x0101010101010101ULL;
  return Nibbles + kEightZeros + Letters * LetterOffset;
}

// Stores the eight characters of a chunk at At.
inline void StoreChunk (CHAR8 *At, UINT64 Chunk) { __builtin_memcpy (At, &Chunk, sizeof Chunk); }

// NumberToText for 8-bit digits.
CHAR8 *RenderNarrow (NUMBER_FORMAT *Number)
{
  // Every member is read first: the character stores below could, as far
  // as the compiler knows, land in the record.
  CHAR8 *const End       = static_cast<CHAR8 *> (Number->Digits) + kDigitSlots - 1;
  CHAR8 *const PrefixOut = Number->Prefix;
  UINT64       Magnitude = Number->Value;
  const UINT32 Base      = Number->Base;
  const INT32  MinDigits = Number->MinDigits;
  const UINT32 Lowercase = Number->Lowercase;
  const bool   Signed    = Number->Signed == 1;

  // The prefix: a sign for a signed number ('+' is a place-holder that the
  // field writer settles), else "0X"/"0x" or "0" for a non-zero number in
  // base 16 or 8. Built as the prefix's first two bytes; the third is 0.
  UINT32 Prefix = 0;
  if (Signed) {
    Prefix = '+';
    if (static_cast<INT64> (Magnitude) < 0) {
      Prefix    = '-';
      Magnitude = 0 - Magnitude;
    }
  } else if (Magnitude != 0) {
    if (Base == 16) {
      const UINT32 X = ('X' | (32u * Lowercase)) & 0xFF;  // 'x' for lower case
      Prefix = '0' | (X << 8);
    } else if (Base == 8) {
      Prefix = '0';
    }
  }
  PrefixOut[0] = static_cast<CHAR8> (Prefix);
  PrefixOut[1] = static_cast<CHAR8> (Prefix >> 8);
  PrefixOut[2] = 0;
  *End         = 0;

  // Digits end in slot 64. Bases 10 and 16 write whole chunks of eight
  // digits with leading zeros (at most 24 slots, so slot 0 is never
  // reached); Out is then moved to the most significant digit, and
  // Written marks the lowest slot that holds a digit or a zero. Bases 8 and
  // 2 shift a digit at a time; any other base divides.
  CHAR8 *Out;
  CHAR8 *Written;
  if (Base == 10 || Base == 16) {
    // '0'..'9' already have the lower-case bit, so it only changes letters.
    const UINT64 LetterOffset = Lowercase == 1 ? 'a' - '0' - 10 : 'A' - '0' - 10;
    UINT64       Chunk;
    Written = End;
    do {
      Written -= 8;
      if (Base == 10) {
        // Eight digits a pass; most numbers need no 64-bit division.
        UINT32 Low = static_cast<UINT32> (Magnitude);
        if (Magnitude >= 100000000u) {
          Low = static_cast<UINT32> (Magnitude % 100000000u);
          Magnitude /= 100000000u;
        } else {
          Magnitude = 0;
        }
        Chunk = DecimalChunk (Low);
      } else {
        Chunk = HexChunk (static_cast<UINT32> (Magnitude), LetterOffset);
        Magnitude >>= 32;
      }
      StoreChunk (Written, Chunk);
    } while (Magnitude != 0);
    // The last chunk's leading zeros are its first bytes equal to '0'; at
    // least its last digit stays: the bit set in its byte bounds the count
    // at 7 without a test (docs/stack.md, "Speed tricks").
    const UINT64 Significant = (Chunk ^ kEightZeros) | (1ULL << 56);
    Out = Written + __builtin_ctzll (Significant) / 8;
  } else {
    // Bases 8 and 2 shift; any other base divides.
    const UINT32 Shift  = Base == 8 ? 3 : Base == 2 ? 1 : 0;
    const UINT32 Letter = 'A' - 10 + (Lowercase == 1 ? 32 : 0);
    Out = End;
    do {
      UINT32 Digit;
      if (Shift != 0) {
        Digit = static_cast<UINT32> (Magnitude & (Base - 1));
        Magnitude >>= Shift;
      } else {
        Digit = static_cast<UINT32> (Magnitude % Base);
        Magnitude /= Base;
      }
      *--Out = static_cast<CHAR8> (Digit < 10 ? '0' + Digit : Letter + Digit);
    } while (Magnitude != 0);
    Written = Out;
  }

  // Zeros in front up to MinDigits digits, but never more than 64 digits
  // (slots 1 to 64): slot 0 is never written. No base of 2 or more needs
  // more than 64 slots for the value itself. The chunks' own leading zeros
  // serve first.
  if (MinDigits > 1) {
    CHAR8 *const Least = End - (MinDigits > 64 ? 64 : MinDigits);
    if (Out > Least) {
      Out = Written > Least ? Written : Least;
      while (Out > Least) {
        *--Out = '0';
      }
    }
  }
  return Out;
}

}  // namespace

template <typename CharT> CharT *NumberToText (NUMBER_FORMAT *Number)
{
  if constexpr (sizeof (CharT) == sizeof (CHAR8)) {
    return RenderNarrow (Number);
  } else {
    // The 16-bit text is the 8-bit one widened: rendered in 8-bit
    // characters into the upper half of the buffer (8-bit slot k at byte
    // 66 + k), then widened in place from the front. 16-bit slot k (bytes
    // 2k and 2k + 1) is written only after byte 66 + k has been read, and
    // 2k + 1 < 66 + k for every slot up to 64, so no byte is overwritten
    // before it is read. No second buffer and no second renderer:
    // docs/stack.md, "16-bit digits in the top half".
    CHAR16 *const Wide   = static_cast<CHAR16 *> (Number->Digits);
    CHAR8 *const  Narrow = static_cast<CHAR8 *> (Number->Digits) + kDigitSlots;
    NUMBER_FORMAT Rendering = *Number;
    Rendering.Digits        = Narrow;
    CHAR8 *From             = NumberToText<CHAR8> (&Rendering);
    CHAR16 *const First     = Wide + (From - Narrow);
    for (CHAR16 *To = First; *From != 0; ++To, ++From) {
      *To = static_cast<UINT8> (*From);
    }
    Wide[kDigitSlots - 1] = 0;
    return First;
  }
}

template CHAR8 *NumberToText<CHAR8> (NUMBER_FORMAT *);
template CHAR16 *NumberToText<CHAR16> (NUMBER_FORMAT *);
