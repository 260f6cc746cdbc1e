// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine: parsing, conversions, argument slots, the maximum
// count and the character widths.
#include "tests/console/FormatHarness.h"

#include "tests/CaseName.h"

#include <cstring>

using namespace fmtest;

namespace {

const char     kAbc[]    = "abc";
const char16_t kWideAb[] = u"AB\u0142";

class Conversions : public ::testing::TestWithParam<Case> {};
TEST_P (Conversions, ProduceExactText) { ExpectFormats (GetParam ()); }

INSTANTIATE_TEST_SUITE_P (
  Integers, Conversions,
  ::testing::Values (
    Case{"DecimalWidths", "abc%d|%5d|%-5d|%05d", {42, 42, 42, 42}, "abc42|   42|42   |00042"},
    Case{"SignedAndUnsigned", "%d %i %u", {S (-5), S (-5), S (-5)}, "-5 -5 4294967291"},
    // Each size takes its low bits, sign-extended only for d and i.
    Case{"SizesTakeTheirLowBits", "%hd %hu %ld %lu %lld %llu",
         {0x1FFFF, 0x1FFFF, 0x1FFFFFFFFull, 0x1FFFFFFFFull, S (-1), S (-1)},
         "-1 65535 -1 4294967295 -1 18446744073709551615"},
    Case{"QAndIntelSizes", "%qd %I32d %I64d %qx", {S (-2), 0x1FFFFFFFFull, S (-3), S (-1)},
         "-2 -1 -3 ffffffffffffffff"},
    Case{"MostNegativeInt", "%d", {0x80000000ull}, "-2147483648"},
    Case{"MostNegativeLongLong", "%lld", {0x8000000000000000ull}, "-9223372036854775808"},
    Case{"LastModifierCounts", "%hhd|%lhd|%hld", {0xFFFF, 0xFFFF, 0xFFFFFFFF}, "-1|-1|-1"},  // the last modifier counts
    Case{"HexOctalBinary", "%x %X %o %b", {255, 255, 8, 5}, "ff FF 10 101"},
    Case{"AlternateForms", "%#x %#X %#o %#b %#u", {255, 255, 8, 5, 7}, "0xff 0XFF 010 101 7"},
    Case{"AlternateFormOfZero", "%#x|%#o", {0, 0}, "0|0"},
    Case{"BinarySixtyFourOnes", "%llb", {S (-1)}, std::string (64, '1')},
    Case{"Pointer", "%p", {0x1234ABCD}, "000000001234ABCD"},
    Case{"PointerAlternate", "%#p", {0x1234ABCD}, "0X000000001234ABCD"},
    Case{"PointerWidth", "%020p", {0x1234ABCD}, "    000000001234ABCD"},
    // No '+', no precision; zero has no 0X.
    Case{"PointerIgnoresSignAndPrecision", "%+.20p|%#p", {1, 0}, "0000000000000001|0000000000000000"},
    Case{"StarWidthAndPrecision", "%*d|%-*d|%.*d|%*.*d", {6, 42, 6, 42, 4, 42, 6, 4, 42}, "    42|42    |0042|  0042"},
    Case{"LastWidthCounts", "%*5d|%5*d", {9, 1, 9, 1}, "    1|        1"},  // the last width counts
    Case{"NegativeStarWidthIsNone", "%-*d|", {S (-4), 7}, "7|"},                      // a negative width is no width
    // After '.', every number is the precision.
    Case{"NumbersAfterDotArePrecision", "%.2-5d", {7}, "00007"},
    // A '.' after a width-state run starts a new precision.
    Case{"DotAfterWidthRunStartsPrecision", "%.5-3.d", {7}, "7"},
    Case{"WidthOfMillionSpaces", "%1234567d", {1}, std::string (1234566, ' ') + "1"}),
  CaseName ());

INSTANTIATE_TEST_SUITE_P (
  Text, Conversions,
  ::testing::Values (
    Case{"NarrowTextFields",
         "%s|%5s|%-5s|%.2s|%5.2s|%05s", {P (kAbc), P (kAbc), P (kAbc), P (kAbc), P (kAbc), P (kAbc)},
         "abc|  abc|abc  |ab|   ab|00abc"},
    Case{"WideAndNarrowStrings",
         "%S|%ls|%I32s|%hs|%a|%lls", {P (u"wi"), P (u"de"), P (u"!"), P ("na"), P ("rr"), P ("ow")},
         "wi|de|!|na|rr|ow"},
    Case{"Characters", "%c|%lc|%5c|%-3c|", {0x142, 0x4142, 0, 'x'}, "B|B|     |x  |"},
    Case{"NulCharacterPrintsNothing", "%c", {0}, ""},
    Case{"PercentSigns", "100%%|%5%|%-%|", {}, "100%|%|%|"}),
  CaseName ());

// A malformed conversion is abandoned: the failing character and what
// follows print as text, and the '%' with its flags, digits and modifiers
// print nothing.
INSTANTIATE_TEST_SUITE_P (
  Invalid, Conversions,
  ::testing::Values (Case{"UnknownConversion", "%y|%5y|%-y|", {}, "y|y|y|"},
                     Case{"UnknownAtEnd", "abc%y", {}, "abc"},
                     Case{"IntelSizeWithoutDigits", "%Id|%5Id", {}, "Id|Id"},
                     Case{"IntelSizeWrongDigits", "%I3d|%I6x", {}, "I3d|I6x"},
                     Case{"SecondDot", "%.5.d", {}, ".d"},
                     Case{"WidthTooLong", "%12345678d", {}, "8d"},
                     Case{"LeadingZerosAreFlags", "%0012345678d", {}, "8d"},  // leading zeros are flags, not digits
                     Case{"PrecisionTooLong", "%.12345678d", {}, "8d"},
                     Case{"LonePercentAtEnd", "abc%", {}, "abc"},
                     Case{"WidthAtEnd", "abc%5", {}, "abc"},
                     Case{"FlagAtEnd", "abc%-", {}, "abc"},
                     Case{"ModifierAtEnd", "abc%l", {}, "abc"},
                     Case{"IntelAtEnd", "abc%I", {}, "abc"},
                     Case{"PercentWithWidthThenText", "%5%d", {7}, "%d"},
                     // An abandoned conversion takes no argument: the next one gets it.
                     Case{"AbandonedTakesNoArgument", "%-zd %d", {42}, "zd 42"}),
  CaseName ());

TEST (FormatEngine, CountStoresWhatWasProducedSoFar)
{
  INT32 First = -1, Second = -1, Third = -1;
  const Output Got = Run8 ("ab%nc%5d%n%n", {P (&First), 7, P (&Second), P (&Third)});
  EXPECT_EQ (Narrow (Got.Chars), "abc    7");
  EXPECT_EQ (First, 2);
  EXPECT_EQ (Second, 8);
  EXPECT_EQ (Third, 8);
}

TEST (FormatEngine, CountAfterTruncationStoresTheProducedCountNotTheWanted)
{
  INT32 Count = -1;
  const Output Got = Run8 ("abcdef%n%d", {P (&Count), 12345}, 4);
  EXPECT_EQ (Narrow (Got.Chars), "abcd");
  EXPECT_EQ (Count, 4);
  EXPECT_EQ (Got.Result, 4u);
}

struct LimitCase {
  const char          *Name;
  const char          *Format;
  std::vector<UINT64>  Args;
  UINT32               MaxCount;
  std::string          Expected;
};

class MaxCount : public ::testing::TestWithParam<LimitCase> {};

TEST_P (MaxCount, BoundsOutputAndResult)
{
  const auto  &C   = GetParam ();
  const Output Got = Run8 (C.Format, C.Args, C.MaxCount);
  EXPECT_EQ (Narrow (Got.Chars), C.Expected);
  EXPECT_EQ (Got.Result, C.Expected.size ());
  // Counting only: the same result with no routine, and nothing called.
  mReceived.clear ();
  std::vector<UINT64> Slots = C.Args;
  Slots.resize (Slots.size () + 4);
  EXPECT_EQ (FormatOutput (NULL, C.MaxCount, 0, C.Format, reinterpret_cast<VA_LIST> (Slots.data ())),
             C.Expected.size ());
  EXPECT_TRUE (mReceived.empty ());
}

INSTANTIATE_TEST_SUITE_P (
  Truncation, MaxCount,
  ::testing::Values (LimitCase{"CutPlainText", "abcdef", {}, 3, "abc"},
                     LimitCase{"CutInsideNumber", "ab%dcd", {12345}, 4, "ab12"},
                     LimitCase{"ZeroLimit", "ab%dcd", {12345}, 0, ""},
                     LimitCase{"NoLimit", "ab%dcd", {12345}, 0xFFFFFFFF, "ab12345cd"},
                     LimitCase{"CutAtNumberEnd", "ab%dcd", {12345}, 5, "ab123"},
                     LimitCase{"CutBeforePercent", "ab%%cd", {}, 2, "ab"},
                     LimitCase{"CutInsideFill", "%1234567d", {1}, 12, std::string (12, ' ')},
                     LimitCase{"CutInsideTrailingFill", "%-8s|", {P ("abc")}, 5, "abc  "},
                     LimitCase{"CutAfterSign", "%+08d", {42}, 3, "+00"},
                     LimitCase{"CutInsidePrecisionZeros", "%#.6x", {255}, 4, "0x00"},
                     LimitCase{"CutInsideGuid", "%g",
                               {P ("\xb1\x9f\x99\x87\x8c\xd1\xe9\x4d\xb4\xb6\xa1\x30\xe6\xbe\xed\x76")}, 8,
                               "87999fb1"}),
  CaseName ());

TEST (FormatEngine, ArgumentsAreTakenEvenAfterTheLimit)
{
  // %% takes no slot; %d past the limit still takes one, so %n gets its own.
  INT32 Count = -1;
  const Output Got = Run8 ("ab%%%d%n", {99, P (&Count)}, 2);
  EXPECT_EQ (Narrow (Got.Chars), "ab");
  EXPECT_EQ (Count, 2);
}

TEST (FormatEngine, EightBitTextArrivesSignExtended)
{
  const Output FromFormat = Run8 ("\xE9%s", {P ("\x80z")});
  EXPECT_EQ (FromFormat.Chars, (std::u16string{0xFFE9, 0xFF80, u'z'}));
  // A 16-bit format and 16-bit strings pass their units through unchanged.
  const Output Wide = Run16 (u"\u00E9\u0142%s%c", {P (kWideAb), 0x10041});
  EXPECT_EQ (Wide.Chars, (std::u16string{0x00E9, 0x0142, u'A', u'B', 0x0142, u'A'}));
  EXPECT_EQ (Wide.Result, 6u);
}

struct WideCase {
  const char          *Name;
  const char16_t      *Format;
  std::vector<UINT64>  Args;
  std::u16string       Expected;
};

class WideFormats : public ::testing::TestWithParam<WideCase> {};

TEST_P (WideFormats, ProduceExactUnits)
{
  const Output Got = Run16 (GetParam ().Format, GetParam ().Args);
  EXPECT_EQ (Got.Chars, GetParam ().Expected);
  EXPECT_EQ (Got.Result, GetParam ().Expected.size ());
}

INSTANTIATE_TEST_SUITE_P (
  Sixteen, WideFormats,
  ::testing::Values (
    WideCase{"Decimal", u"abc%d|%5d|%-5d|%05d", {42, 42, 42, 42}, u"abc42|   42|42   |00042"},
    WideCase{"HexPointerBinary", u"%x|%#X|%p|%b", {255, 255, 0xAB, 6}, u"ff|0XFF|00000000000000AB|110"},
    // In a 16-bit format every string is 16-bit, whatever the modifier.
    WideCase{"EveryStringIsWide", u"%s|%S|%hs|%a|%.1s", {P (u"ab"), P (u"cd"), P (u"ef"), P (u"gh"), P (kWideAb)},
             u"ab|cd|ef|gh|A"},
    WideCase{"Characters", u"%c%c|%5c", {0x10041, 0x0142, 0x42}, u"A\u0142|    B"},
    // A unit above 0xFF that only shares its low byte with '%' is plain text.
    WideCase{"HighUnitSharingPercentByte", u"\u0125d%%", {}, u"\u0125d%"},
    WideCase{"ConversionFailsOnHighUnit", u"%\u0164|", {}, u"\u0164|"},  // a conversion failing on such a unit
    WideCase{"IntelSizeFailsOnHighUnit", u"%I\u0133\u0132d", {}, u"I\u0133\u0132d"}),
  CaseName ());

// An output routine may itself format: the engine keeps its state in its
// own frame, and the GUID/time/status text is finished before the routine runs.
std::u16string mOuter;
VOID EFIAPI Reentrant (CHAR16 Ch)
{
  mOuter.push_back (Ch);
  if (Ch == u'|') {
    UINT64 Args[] = {7, 0};
    FormatOutput (Record, 0xFFFFFFFF, 0, "<%d>", reinterpret_cast<VA_LIST> (Args));
  }
}

TEST (FormatEngine, OutputRoutineMayFormatItself)
{
  const EFI_GUID Guid = LIB_SERVICES_PROTOCOL_GUID;
  mReceived.clear ();
  mOuter.clear ();
  UINT64 Args[] = {P (&Guid), 12, 0};
  EXPECT_EQ (FormatOutput (Reentrant, 0xFFFFFFFF, 0, "%g|%d|", reinterpret_cast<VA_LIST> (Args)), 40u);
  EXPECT_EQ (Narrow (mOuter), "87999fb1-d18c-4de9-b4b6-a130e6beed76|12|");
  EXPECT_EQ (Narrow (mReceived), "<7><7>");
}

// Nothing the engine reads or writes through needs to be aligned: packed
// firmware records hold GUIDs and times at any offset, and 16-bit text
// sits at odd addresses in byte buffers. Each row lays its format (in its
// own width), its argument slots and one record out at odd addresses; every
// slot points at the record, or is 0 without one. The sanitizer build
// rejects an access that assumes alignment.
struct OddCase {
  const char  *Name;
  BOOLEAN      Wide;
  const char  *Format;  // ASCII, laid out in the format's width
  const void  *Record;
  size_t       RecordSize;
  size_t       Skew;    // the record's distance from an 8-aligned address
  std::string  Expected;
};

void PrintTo (const OddCase &C, std::ostream *Os) { *Os << C.Name; }

const EFI_GUID kGuid = LIB_SERVICES_PROTOCOL_GUID;
const EFI_TIME kTime = {2024, 3, 5, 7, 9, 59, 0, 0, 0, 0, 0};
const char16_t kWide[] = u"wide";

class OddAddresses : public ::testing::TestWithParam<OddCase> {};

TEST_P (OddAddresses, WorkLikeAlignedOnes)
{
  const OddCase    &C = GetParam ();
  alignas (8) UINT8 Arena[256] = {};
  UINT8 *const      RecordAt = Arena + 8 + C.Skew;
  UINT8 *const      Format   = Arena + 65;   // room for 63 units and the NUL
  UINT8 *const      Slots    = Arena + 193;  // six slots
  if (C.Record != nullptr) {
    std::memcpy (RecordAt, C.Record, C.RecordSize);
  }
  for (size_t I = 0; C.Format[I] != 0; ++I) {
    const char16_t Unit = static_cast<UINT8> (C.Format[I]);
    std::memcpy (Format + I * (C.Wide ? 2 : 1), &Unit, C.Wide ? 2 : 1);
  }
  const UINT64 Slot = C.Record != nullptr ? P (RecordAt) : 0;
  for (size_t I = 0; I < 6; ++I) {
    std::memcpy (Slots + I * sizeof Slot, &Slot, sizeof Slot);
  }
  mReceived.clear ();
  EXPECT_EQ (FormatOutput (Record, 0xFFFFFFFF, C.Wide, Format, reinterpret_cast<VA_LIST> (Slots)), C.Expected.size ());
  EXPECT_EQ (Narrow (mReceived), C.Expected);
}

INSTANTIATE_TEST_SUITE_P (
  Records, OddAddresses,
  ::testing::Values (
    OddCase{"GuidAtOddAddress", 0, "%g|%G", &kGuid, sizeof kGuid, 1,
            "87999fb1-d18c-4de9-b4b6-a130e6beed76|87999FB1-D18C-4DE9-B4B6-A130E6BEED76"},
    OddCase{"GuidAfterAUint16", 1, "%g", &kGuid, sizeof kGuid, 2, "87999fb1-d18c-4de9-b4b6-a130e6beed76"},
    OddCase{"TimeAtOddAddress", 0, "%t|%5.2t", &kTime, sizeof kTime, 3, "03/05/2024  07:09|   03"},
    OddCase{"WideStringInNarrowFormat", 0, "%S|%ls|%5.2S|", kWide, sizeof kWide, 1, "wide|wide|   wi|"},
    OddCase{"StringsOfAWideFormat", 1, "%s|%a|%-5S|", kWide, sizeof kWide, 3, "wide|wide|wide |"},
    OddCase{"WideFormatModifiers", 1, "%I64d|%lld|%5hx|%I32u|", nullptr, 0, 0, "0|0|    0|0|"}),
  CaseName ());

TEST (OddAddresses, CountStoresIntoAPackedField)
{
  alignas (8) UINT8 Packed[8];
  std::memset (Packed, 0xA5, sizeof Packed);
  Run8 ("abc%n", {P (Packed + 1)});
  INT32 Stored;
  std::memcpy (&Stored, Packed + 1, sizeof Stored);
  EXPECT_EQ (Stored, 3);
  EXPECT_EQ (Packed[0], 0xA5);
  EXPECT_EQ (Packed[5], 0xA5);
}

// NULL for the format or the argument list, and counts past INT32.
TEST (Extremes, NullFormatProducesNothing)
{
  const UINT64 Args[] = {1};
  for (BOOLEAN Wide : {0, 1}) {
    mReceived.clear ();
    EXPECT_EQ (FormatOutput (Record, 0xFFFFFFFF, Wide, nullptr, reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (Args))), 0u);
    EXPECT_TRUE (mReceived.empty ());
  }
}

TEST (Extremes, NullArgumentListReadsEverySlotAsZero)
{
  const char     Expected[] = "0|0|0|(null)|(null)|(null)|(null)|Success||0| |.";  // precision 0 of 0: a space
  const char     Narrow8[]  = "%d|%x|%lld|%s|%S|%g|%t|%r|%c|%*d|%.*u|%n.";
  const char16_t Narrow16[] = u"%d|%x|%lld|%s|%S|%g|%t|%r|%c|%*d|%.*u|%n.";
  for (const void *Format : {static_cast<const void *> (Narrow8), static_cast<const void *> (Narrow16)}) {
    mReceived.clear ();
    const BOOLEAN Wide = Format == Narrow16;
    EXPECT_EQ (FormatOutput (Record, 0xFFFFFFFF, Wide, Format, nullptr), sizeof Expected - 1);
    EXPECT_EQ (Narrow (mReceived), Expected);
  }
}

TEST (Extremes, CountPastInt32MaximumStoresTheMaximum)
{
  // 215 fields of 9999999 characters: 2149999785, past 2^31 - 1.
  std::string Format;
  for (int I = 0; I < 215; ++I) {
    Format += "%9999999d";
  }
  Format += "%n";
  INT32               Count = 0;
  std::vector<UINT64> Args (215, 0);
  Args.push_back (P (&Count));
  EXPECT_EQ (FormatOutput (nullptr, 0xFFFFFFFF, 0, Format.c_str (), reinterpret_cast<VA_LIST> (Args.data ())),
             2149999785u);
  EXPECT_EQ (Count, 0x7FFFFFFF);
}

}  // namespace
