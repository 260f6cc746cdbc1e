// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine's case table: each row a name, a format (8- or
// 16-bit), its argument slots, a character limit and the exact text the
// output routine receives. The host tests run every row against the
// engine they link; the probe (`Probe.efi cases`) runs the same rows on
// an instance of LIB_SERVICES_PROTOCOL in real firmware. One table, so
// that the firmware checks what the host checks.
//
// The table is constant data: pointer arguments (strings, GUID, time,
// the %n target) are offsets into one shared data area, FORMAT_CASE_DATA.
// Each run copies that area into its own writable FORMAT_CASE_RUN and
// binds the offsets to addresses there, so %n has somewhere to store and
// no row sees what an earlier one wrote.
//
// A row is added with Row8 or Row16 at the start of its line: the
// firmware check counts the rows of this file by those two words.
#ifndef TESTKIT_FORMAT_CASES_H_
#define TESTKIT_FORMAT_CASES_H_

#include <LibServices.h>
#include "servicelib/chars.h"

inline constexpr UINT32 kFormatCaseMaxArgs   = 10;
inline constexpr UINT32 kFormatCaseTextUnits = 128;  // a run keeps this much; every expected text fits
inline constexpr UINT32 kFormatCaseNoLimit   = 0xFFFFFFFF;
inline constexpr INT32  kFormatCaseNotStored = -1;   // Count as the data area holds it
// Slots past a row's arguments: a conversion that reads one too many
// prints this garbage instead of what a row expects.
inline constexpr UINT32 kFormatCaseSpareSlots = 4;
inline constexpr UINT64 kFormatCaseStraySlot  = 0xDEAD0000DEAD0000ull;

// Everything a row's pointer arguments point at.
struct FORMAT_CASE_DATA {
  CHAR8    Abc[4];
  CHAR8    Na[3];
  CHAR8    Rr[3];
  CHAR8    Ow[3];
  CHAR8    Half[5];
  CHAR8    Ascii[6];
  char16_t Wi[3];
  char16_t De[3];
  char16_t Bang[2];
  char16_t Ab[3];
  char16_t Cd[3];
  char16_t Ef[3];
  char16_t Gh[3];
  char16_t AbL[4];  // "AB" and U+0142: a unit above 0xFF
  char16_t Wide[5];
  char16_t Long[5];
  char16_t S16[4];
  char16_t A16[4];
  EFI_GUID Guid;
  EFI_TIME Time;
  INT32    Count;  // the %n target
};

inline constexpr FORMAT_CASE_DATA kFormatCaseData = {
  "abc", "na", "rr", "ow", "half", "ascii", u"wi", u"de", u"!", u"ab", u"cd", u"ef", u"gh", u"AB\u0142",
  u"wide", u"long", u"S16", u"a16", LIB_SERVICES_PROTOCOL_GUID, {2024, 3, 5, 7, 9, 59, 0, 0, 0, 0, 0},
  kFormatCaseNotStored,
};

// A pointer argument: an offset into FORMAT_CASE_DATA.
struct FORMAT_CASE_REF {
  UINT32 Offset;
};

namespace formatcases {
inline constexpr FORMAT_CASE_REF kAbc   = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Abc)};
inline constexpr FORMAT_CASE_REF kNa    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Na)};
inline constexpr FORMAT_CASE_REF kRr    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Rr)};
inline constexpr FORMAT_CASE_REF kOw    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Ow)};
inline constexpr FORMAT_CASE_REF kHalf  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Half)};
inline constexpr FORMAT_CASE_REF kAscii = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Ascii)};
inline constexpr FORMAT_CASE_REF kWi    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Wi)};
inline constexpr FORMAT_CASE_REF kDe    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, De)};
inline constexpr FORMAT_CASE_REF kBang  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Bang)};
inline constexpr FORMAT_CASE_REF kAb    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Ab)};
inline constexpr FORMAT_CASE_REF kCd    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Cd)};
inline constexpr FORMAT_CASE_REF kEf    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Ef)};
inline constexpr FORMAT_CASE_REF kGh    = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Gh)};
inline constexpr FORMAT_CASE_REF kAbL   = {EFI_OFFSET_OF (FORMAT_CASE_DATA, AbL)};
inline constexpr FORMAT_CASE_REF kWide  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Wide)};
inline constexpr FORMAT_CASE_REF kLong  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Long)};
inline constexpr FORMAT_CASE_REF kS16   = {EFI_OFFSET_OF (FORMAT_CASE_DATA, S16)};
inline constexpr FORMAT_CASE_REF kA16   = {EFI_OFFSET_OF (FORMAT_CASE_DATA, A16)};
inline constexpr FORMAT_CASE_REF kGuid  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Guid)};
inline constexpr FORMAT_CASE_REF kTime  = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Time)};
inline constexpr FORMAT_CASE_REF kCount = {EFI_OFFSET_OF (FORMAT_CASE_DATA, Count)};
}  // namespace formatcases

struct FORMAT_CASE {
  CONST CHAR8    *Name;
  CONST CHAR8    *Format8;     // an 8-bit row: format and expected text
  CONST CHAR8    *Expected8;
  CONST char16_t *Format16;    // or a 16-bit row
  CONST char16_t *Expected16;
  UINT32         Length;       // units of the expected text: also the result
  UINT32         MaxCount;
  INT32          Stored;       // what the data area's Count holds after a run
  UINT32         ArgCount;
  UINT32         Refs;         // bit N set: Args[N] is an offset into the data area
  UINT64         Args[kFormatCaseMaxArgs];

  constexpr FORMAT_CASE Limit (UINT32 Count) const
  {
    FORMAT_CASE Row = *this;
    Row.MaxCount    = Count;
    return Row;
  }

  constexpr FORMAT_CASE Stores (INT32 Count) const
  {
    FORMAT_CASE Row = *this;
    Row.Stored      = Count;
    return Row;
  }
};

namespace formatcases {

template <typename CharT> constexpr UINT32 Units (CONST CharT *Text)
{
  UINT32 Count = 0;
  while (Text[Count] != 0) {
    Count++;
  }
  return Count;
}

constexpr VOID AddArg (FORMAT_CASE &Row, FORMAT_CASE_REF Ref)
{
  Row.Refs |= 1u << Row.ArgCount;
  Row.Args[Row.ArgCount++] = Ref.Offset;
}

// A value, in the low bytes of its slot; a negative one sign-extended.
template <typename T> constexpr VOID AddArg (FORMAT_CASE &Row, T Value)
{
  Row.Args[Row.ArgCount++] = static_cast<UINT64> (Value);
}

template <typename... ArgT>
constexpr FORMAT_CASE Row8 (CONST CHAR8 *Name, CONST CHAR8 *Format, CONST CHAR8 *Expected, ArgT... Args)
{
  FORMAT_CASE Row = {Name, Format, Expected, nullptr, nullptr, Units (Expected), kFormatCaseNoLimit,
                     kFormatCaseNotStored, 0, 0, {}};
  (AddArg (Row, Args), ...);
  return Row;
}

template <typename... ArgT>
constexpr FORMAT_CASE Row16 (CONST CHAR8 *Name, CONST char16_t *Format, CONST char16_t *Expected, ArgT... Args)
{
  FORMAT_CASE Row = {Name, nullptr, nullptr, Format, Expected, Units (Expected), kFormatCaseNoLimit,
                     kFormatCaseNotStored, 0, 0, {}};
  (AddArg (Row, Args), ...);
  return Row;
}

inline constexpr FORMAT_CASE kRows[] = {
  // Integers: widths, signs, sizes, bases.
  Row8 ("DecimalWidths", "abc%d|%5d|%-5d|%05d", "abc42|   42|42   |00042", 42, 42, 42, 42),
  Row8 ("SignedAndUnsigned", "%d %i %u", "-5 -5 4294967291", -5, -5, -5),
  // Each size takes its low bits, sign-extended only for d and i.
  Row8 ("SizesTakeTheirLowBits", "%hd %hu %ld %lu %lld %llu", "-1 65535 -1 4294967295 -1 18446744073709551615",
        0x1FFFF, 0x1FFFF, 0x1FFFFFFFFull, 0x1FFFFFFFFull, -1, -1),
  Row8 ("QAndIntelSizes", "%qd %I32d %I64d %qx", "-2 -1 -3 ffffffffffffffff", -2, 0x1FFFFFFFFull, -3, -1),
  Row8 ("MostNegativeInt", "%d", "-2147483648", 0x80000000ull),
  Row8 ("MostNegativeLongLong", "%lld", "-9223372036854775808", 0x8000000000000000ull),
  Row8 ("LastModifierCounts", "%hhd|%lhd|%hld", "-1|-1|-1", 0xFFFF, 0xFFFF, 0xFFFFFFFF),
  Row8 ("HexOctalBinary", "%x %X %o %b", "ff FF 10 101", 255, 255, 8, 5),
  Row8 ("AlternateForms", "%#x %#X %#o %#b %#u", "0xff 0XFF 010 101 7", 255, 255, 8, 5, 7),
  Row8 ("AlternateFormOfZero", "%#x|%#o", "0|0", 0, 0),
  Row8 ("AlternateFormsWithWidths", "%#5x|%#05x|%#-6x|%8.3#0x|%#.5o", " 0xff|0x0ff|0xff  |0x0ff| 00010", 255, 255,
        255, 255, 8),
  Row8 ("BinarySixtyFourOnes", "%llb", "1111111111111111111111111111111111111111111111111111111111111111", -1),
  Row8 ("Pointer", "%p", "000000001234ABCD", 0x1234ABCD),
  Row8 ("PointerAlternate", "%#p", "0X000000001234ABCD", 0x1234ABCD),
  Row8 ("PointerWidth", "%020p", "    000000001234ABCD", 0x1234ABCD),
  // No '+', no precision; zero has no 0X.
  Row8 ("PointerIgnoresSignAndPrecision", "%+.20p|%#p", "0000000000000001|0000000000000000", 1, 0),
  // ' ' wins over '+'; with zero fill a ' ' becomes '+'.
  Row8 ("SignFlags", "%+d % d %+ d % 05d %+05d", "+42  42  42 +0042 +0042", 42, 42, 42, 42, 42),
  // Zero fill puts a zero in the sign position, left-justified too.
  Row8 ("ZeroFillAndSigns", "%05d|%+5d|%-05d|%0*d", "-0042|   -7|042  |042", -42, -7, 42, -5, 42),
  // A zero with precision 0 prints one space.
  Row8 ("Precisions", "%.3d|%5.3d|%-5.3d|%.0d|%5.0d|%.0x|%+.0d", "007|  007|007  | |     | |+ ", 7, 7, 7, 0, 0, 0, 0),
  Row8 ("StarWidthAndPrecision", "%*d|%-*d|%.*d|%*.*d", "    42|42    |0042|  0042", 6, 42, 6, 42, 4, 42, 6, 4, 42),
  Row8 ("LastWidthCounts", "%*5d|%5*d", "    1|        1", 9, 1, 9, 1),
  Row8 ("NegativeStarWidthIsNone", "%-*d|", "7|", -4, 7),
  // After '.', every number is the precision.
  Row8 ("NumbersAfterDotArePrecision", "%.2-5d", "00007", 7),
  // A '.' after a width-state run starts a new precision.
  Row8 ("DotAfterWidthRunStartsPrecision", "%.5-3.d", "7", 7),

  // Text: strings, characters, GUIDs, times, statuses.
  Row8 ("NarrowTextFields", "%s|%5s|%-5s|%.2s|%5.2s|%05s", "abc|  abc|abc  |ab|   ab|00abc", kAbc, kAbc, kAbc, kAbc,
        kAbc, kAbc),
  Row8 ("WideAndNarrowStrings", "%S|%ls|%I32s|%hs|%a|%lls", "wi|de|!|na|rr|ow", kWi, kDe, kBang, kNa, kRr, kOw),
  Row8 ("StringSizes", "%S|%ls|%hs|%a", "wide|long|half|ascii", kWide, kLong, kHalf, kAscii),
  Row8 ("Characters", "%c|%lc|%5c|%-3c|", "B|B|     |x  |", 0x142, 0x4142, 0, 'x'),
  Row8 ("CharacterFields", "%c%c|%5c|%-3c|%c", "OK|    x|y  |B", 'O', 'K', 'x', 'y', 0x142),
  Row8 ("NulCharacterPrintsNothing", "%c", "", 0),
  Row8 ("PercentSigns", "100%%|%5%|%-%|", "100%|%|%|"),
  Row8 ("GuidBothCases", "%g|%G", "87999fb1-d18c-4de9-b4b6-a130e6beed76|87999FB1-D18C-4DE9-B4B6-A130E6BEED76", kGuid,
        kGuid),
  Row8 ("Time", "%t", "03/05/2024  07:09", kTime),
  Row8 ("StatusNames", "%r|%r|%r|%r|%r|%r", "Success|Warning Buffer Too Small|5|Load Error|Access Denied|Protocol Error",
        EFI_SUCCESS, EFI_WARN_BUFFER_TOO_SMALL, 5, EFI_LOAD_ERROR, EFI_ACCESS_DENIED, EFI_PROTOCOL_ERROR),
  // Unnamed errors in hex; each text a field.
  Row8 ("StatusAndGuidFields", "%r|%r|%-12r|%.3r|%40g",
        "8000000000000019|8000000000000000|Not Found   |Suc|    87999fb1-d18c-4de9-b4b6-a130e6beed76",
        ENCODE_ERROR (25), MAX_BIT, EFI_NOT_FOUND, EFI_SUCCESS, kGuid),
  Row8 ("CountStoresWhatWasProduced", "ab%nc|", "abc|", kCount).Stores (2),

  // A malformed conversion is abandoned: the failing character and what
  // follows print as text, and the '%' with its flags, digits and
  // modifiers print nothing.
  Row8 ("UnknownConversion", "%y|%5y|%-y|", "y|y|y|"),
  Row8 ("UnknownAtEnd", "abc%y", "abc"),
  Row8 ("IntelSizeWithoutDigits", "%Id|%5Id", "Id|Id"),
  Row8 ("IntelSizeWrongDigits", "%I3d|%I6x", "I3d|I6x"),
  Row8 ("SecondDot", "%.5.d", ".d"),
  Row8 ("WidthTooLong", "%12345678d", "8d"),
  Row8 ("LeadingZerosAreFlags", "%0012345678d", "8d"),  // leading zeros are flags, not digits
  Row8 ("PrecisionTooLong", "%.12345678d", "8d"),
  Row8 ("LonePercentAtEnd", "abc%", "abc"),
  Row8 ("WidthAtEnd", "abc%5", "abc"),
  Row8 ("FlagAtEnd", "abc%-", "abc"),
  Row8 ("ModifierAtEnd", "abc%l", "abc"),
  Row8 ("IntelAtEnd", "abc%I", "abc"),
  Row8 ("PercentWithWidthThenText", "%5%d", "%d", 7),
  // An abandoned conversion takes no argument: the next one gets it.
  Row8 ("AbandonedTakesNoArgument", "%-zd %d", "zd 42", 42),

  // The limit: what is cut is neither delivered nor counted.
  Row8 ("CutPlainText", "abcdef", "abc").Limit (3),
  Row8 ("CutInsideNumber", "ab%dcd", "ab12", 12345).Limit (4),
  Row8 ("ZeroLimit", "ab%dcd", "", 12345).Limit (0),
  Row8 ("NoLimit", "ab%dcd", "ab12345cd", 12345),
  Row8 ("CutAtNumberEnd", "ab%dcd", "ab123", 12345).Limit (5),
  Row8 ("CutBeforePercent", "ab%%cd", "ab").Limit (2),
  Row8 ("CutInsideFill", "%1234567d", "            ", 1).Limit (12),
  Row8 ("CutInsideTrailingFill", "%-8s|", "abc  ", kAbc).Limit (5),
  Row8 ("CutAfterSign", "%+08d", "+00", 42).Limit (3),
  Row8 ("CutInsidePrecisionZeros", "%#.6x", "0x00", 255).Limit (4),
  Row8 ("CutInsideGuid", "%g", "87999fb1", kGuid).Limit (8),

  // 16-bit formats: every string is 16-bit, whatever the modifier.
  Row16 ("Decimal", u"abc%d|%5d|%-5d|%05d", u"abc42|   42|42   |00042", 42, 42, 42, 42),
  Row16 ("HexPointerBinary", u"%x|%#X|%p|%b", u"ff|0XFF|00000000000000AB|110", 255, 255, 0xAB, 6),
  Row16 ("EveryStringIsWide", u"%s|%S|%hs|%a|%.1s", u"ab|cd|ef|gh|A", kAb, kCd, kEf, kGh, kAbL),
  Row16 ("WideCharacters", u"%c%c|%5c", u"A\u0142|    B", 0x10041, 0x0142, 0x42),
  Row16 ("WideLine", u"wide: %d|%5s|%-4s|%c|%x|%S|%a|%r|%g\n",
         u"wide: 42|   ab|cd  |W|beef|S16|a16|Success|87999fb1-d18c-4de9-b4b6-a130e6beed76\n", 42, kAb, kCd, u'W',
         0xBEEF, kS16, kA16, EFI_SUCCESS, kGuid),
  // A unit above 0xFF that only shares its low byte with '%' is plain text.
  Row16 ("HighUnitSharingPercentByte", u"\u0125d%%", u"\u0125d%"),
  Row16 ("ConversionFailsOnHighUnit", u"%\u0164|", u"\u0164|"),
  Row16 ("IntelSizeFailsOnHighUnit", u"%I\u0133\u0132d", u"I\u0133\u0132d"),
};

constexpr bool SameName (CONST CHAR8 *Left, CONST CHAR8 *Right)
{
  while (*Left != 0 && *Left == *Right) {
    Left++;
    Right++;
  }
  return *Left == *Right;
}

// Row names identify mismatches in the firmware's log and name the host's
// tests: each must be unique. Every expected text fits a run's buffer.
constexpr bool RowsWellFormed ()
{
  for (UINTN Index = 0; Index < sizeof (kRows) / sizeof (kRows[0]); Index++) {
    if (kRows[Index].Length > kFormatCaseTextUnits) {
      return false;
    }
    for (UINTN Other = 0; Other < Index; Other++) {
      if (SameName (kRows[Index].Name, kRows[Other].Name)) {
        return false;
      }
    }
  }
  return true;
}

static_assert (RowsWellFormed (), "format case names unique, expected texts within kFormatCaseTextUnits");

}  // namespace formatcases

inline constexpr CONST FORMAT_CASE *kFormatCases     = formatcases::kRows;
inline constexpr UINTN              kFormatCaseCount = sizeof (formatcases::kRows) / sizeof (formatcases::kRows[0]);

// One run of a row: its own copy of the data area, its argument slots, and
// what the output routine received.
struct FORMAT_CASE_RUN {
  FORMAT_CASE_DATA Data;
  UINT64           Slots[kFormatCaseMaxArgs + kFormatCaseSpareSlots];
  UINT32           Result;
  UINT32           Length;  // units received, kept or not
  CHAR16           Text[kFormatCaseTextUnits];
};

// The sink fills one run at a time.
inline constinit FORMAT_CASE_RUN *mFormatCaseRun = nullptr;

inline VOID EFIAPI FormatCaseSink (IN CHAR16 Ch)
{
  FORMAT_CASE_RUN *Run = mFormatCaseRun;
  if (Run->Length < kFormatCaseTextUnits) {
    Run->Text[Run->Length] = Ch;
  }
  Run->Length++;
}

// Runs Row through Engine (the FormatOutput slot of an instance, or the
// engine itself), into the sink or, with CountOnly, through no routine.
inline VOID RunFormatCase (LIB_FORMAT_OUTPUT Engine, CONST FORMAT_CASE &Row, BOOLEAN CountOnly, FORMAT_CASE_RUN &Run)
{
  Run.Data        = kFormatCaseData;
  CONST UINT64 At = reinterpret_cast<UINTN> (&Run.Data);
  for (UINT32 Index = 0; Index < kFormatCaseMaxArgs + kFormatCaseSpareSlots; Index++) {
    Run.Slots[Index] = Index >= Row.ArgCount        ? kFormatCaseStraySlot
                       : (Row.Refs >> Index) & 1u   ? At + Row.Args[Index]
                                                    : Row.Args[Index];
  }
  Run.Length     = 0;
  mFormatCaseRun = &Run;
  CONST BOOLEAN Wide = Row.Format16 != nullptr;
  Run.Result = Engine (CountOnly ? nullptr : FormatCaseSink, Row.MaxCount, Wide,
                       Wide ? static_cast<CONST VOID *> (Row.Format16) : Row.Format8,
                       reinterpret_cast<VA_LIST> (Run.Slots));
  mFormatCaseRun = nullptr;
}

// What CheckFormatCase found different from the row, one bit each; 0 for
// none.
inline constexpr UINT32 kFormatCaseTextDiffers      = 1;  // the units received (8-bit text widened with its sign)
inline constexpr UINT32 kFormatCaseResultDiffers    = 2;  // the count returned
inline constexpr UINT32 kFormatCaseStoreDiffers     = 4;  // what %n left in the data area
inline constexpr UINT32 kFormatCaseCountOnlyDiffers = 8;  // the count or the store without an output routine

inline UINT32 CheckFormatCase (LIB_FORMAT_OUTPUT Engine, CONST FORMAT_CASE &Row, FORMAT_CASE_RUN &Run)
{
  UINT32 Found = 0;
  RunFormatCase (Engine, Row, TRUE, Run);
  if (Run.Result != Row.Length || Run.Data.Count != Row.Stored) {
    Found |= kFormatCaseCountOnlyDiffers;
  }
  // The routine's run last, so that Run shows what it received.
  RunFormatCase (Engine, Row, FALSE, Run);
  BOOLEAN Same = Run.Length == Row.Length;
  for (UINT32 Index = 0; Same && Index < Row.Length; Index++) {
    Same = Run.Text[Index] == (Row.Format16 != nullptr ? static_cast<CHAR16> (Row.Expected16[Index])
                                                       : WidenChar (Row.Expected8[Index]));
  }
  if (!Same) {
    Found |= kFormatCaseTextDiffers;
  }
  if (Run.Result != Row.Length) {
    Found |= kFormatCaseResultDiffers;
  }
  if (Run.Data.Count != Row.Stored) {
    Found |= kFormatCaseStoreDiffers;
  }
  return Found;
}

#endif
