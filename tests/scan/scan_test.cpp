// SPDX-License-Identifier: BSD-2-Clause-Patent
// ScanInput driven through an in-memory input routine: the result, every
// destination byte (pre-filled, so an over-long store shows) and how far
// the input was read.
#include "servicelib/servicelib.h"
#include "servicelib/scan/scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/CaseName.h"
#include "tests/scan/MemInput.h"

using namespace scantest;

namespace {

using Bytes = std::vector<UINT8>;

template <typename T>
Bytes Le (T V)
{
  Bytes B (sizeof V);
  std::memcpy (B.data (), &V, sizeof V);
  return B;
}
Bytes I64 (INT64 V) { return Le (V); }
Bytes I32 (INT64 V) { return Le (static_cast<UINT32> (V)); }
Bytes I16 (INT64 V) { return Le (static_cast<UINT16> (V)); }
Bytes Chars (const char *S) { return Bytes (S, S + std::strlen (S)); }  // no terminator
Bytes Str (const char *S)
{
  Bytes B = Chars (S);
  B.push_back (0);
  return B;
}
Bytes Chars16 (const char16_t *S)
{
  Bytes B;
  for (; *S != 0; ++S) {
    B.push_back (static_cast<UINT8> (*S));
    B.push_back (static_cast<UINT8> (*S >> 8));
  }
  return B;
}

constexpr size_t kSlots    = 6;
constexpr size_t kDestSize = 24;
constexpr UINT8  kFill     = 0xA5;

struct ScanCase {
  const char        *Name;
  std::string        Format;  // 8-bit units; widened one by one (zero-extended) when Wide is non-zero
  BOOLEAN            Wide;
  std::u16string     Input;
  INTN               Result;
  std::vector<Bytes> Stores;  // the bytes each slot's destination must start with; the rest untouched
  size_t             Read;    // characters the input routine delivered
};

void PrintTo (const ScanCase &C, std::ostream *Os) { *Os << C.Name; }

struct Scan {
  UINT8 Dest[kSlots][kDestSize];
  INTN  Result;
};

Scan RunScanCase (const std::string &Format, BOOLEAN Wide)
{
  Scan   S;
  UINT64 Args[kSlots];
  std::memset (S.Dest, kFill, sizeof S.Dest);
  for (size_t I = 0; I < kSlots; ++I) {
    Args[I] = reinterpret_cast<UINTN> (S.Dest[I]);
  }
  if (Wide != 0) {
    std::u16string F;
    for (unsigned char Ch : Format) {
      F += static_cast<char16_t> (Ch);
    }
    S.Result = ScanInput (ReadMem, 0, Wide, F.c_str (), reinterpret_cast<VA_LIST> (Args));
  } else {
    S.Result = ScanInput (ReadMem, 0, Wide, Format.c_str (), reinterpret_cast<VA_LIST> (Args));
  }
  return S;
}

class ScanInputCase : public ::testing::TestWithParam<ScanCase> {};

TEST_P (ScanInputCase, ResultStoresAndInputRead)
{
  const ScanCase &C = GetParam ();
  SetInput (C.Input);
  Scan S = RunScanCase (C.Format, C.Wide);

  EXPECT_EQ (S.Result, C.Result);
  for (size_t I = 0; I < kSlots; ++I) {
    Bytes Expected = I < C.Stores.size () ? C.Stores[I] : Bytes{};
    Expected.resize (kDestSize, kFill);
    EXPECT_EQ (Bytes (S.Dest[I], S.Dest[I] + kDestSize), Expected) << "slot " << I;
  }
  EXPECT_EQ (mInput.Pos, C.Read);
  EXPECT_LE (PushBackTop, 2);
}

const ScanCase kDirectives[] = {
  {"EmptyFormat", "", 0, u"abc", 0, {}, 0},
  {"LiteralsMatch", "abc", 0, u"abcd", 0, {}, 3},
  {"LiteralMismatchStopsAfterReadingIt", "abc%d", 0, u"abd5", 0, {}, 3},
  {"LiteralFailsAtEndOfInput", "%d,%d", 0, u"1", 1, {I64 (1)}, 1},
  {"SpaceMatchesAnyRun", "a b%c", 0, u"a \t\n\r\v\fbc", 1, {Chars ("c")}, 9},
  {"SpaceMatchesAnEmptyRun", "a b%n", 0, u"ab", 0, {I32 (2)}, 2},
  {"SpaceRunMatchesLikeOneSpace", "a \t b%n", 0, u"a  b", 0, {I32 (4)}, 4},
  {"PercentPercent", "%d%%", 0, u"5%", 1, {I64 (5)}, 2},
  {"PercentPercentMismatch", "%d%%%d", 0, u"5x", 1, {I64 (5)}, 2},
  {"UnknownConversionFirst", "%y", 0, u"42", 0, {}, 0},
  {"UnknownConversionLater", "%d%y%d", 0, u"1 2", 1, {I64 (1)}, 2},
  {"FormatEndsAfterPercent", "%d%", 0, u"7 8", 1, {I64 (7)}, 2},
  {"FormatEndsInWidth", "%d%12", 0, u"7", 1, {I64 (7)}, 1},
  {"EighthWidthDigitStops", "%12345678d", 0, u"42", 0, {}, 0},
  {"SevenWidthDigits", "%1234567d", 0, u"42 ", 1, {I64 (42)}, 3},
  {"NarrowHighByteIsSignExtended", "\xE9%n", 0, u"\u00E9", 0, {}, 1},
  {"NarrowHighByteMatchesFFxx", "\xE9%n", 0, u"\uFFE9", 0, {I32 (1)}, 1},
  {"WideFormatHighCharacter", "\xE9%n", 1, u"\u00E9", 0, {I32 (1)}, 1},
  {"FlagsWidthsModifiersInAnyOrder", "%5*ld %l*5d %*l5d %1l2d", 0, u"1 2 3 456789", 1, {I32 (456789)}, 12},
  {"WidthSplitByStarJoins", "%1*2d%d", 0, u"1234567890123 7", 1, {I64 (3)}, 14},
  {"ZeroIsAWidthDigit", "%05d", 0, u"1234567", 1, {I64 (12345)}, 5},
};
INSTANTIATE_TEST_SUITE_P (Directives, ScanInputCase, ::testing::ValuesIn (kDirectives), CaseName ());

const ScanCase kIntegers[] = {
  {"SpaceThenNumber", " %d", 0, u"   42", 1, {I64 (42)}, 5},
  {"NoDigit", "%d", 0, u"x", -1, {}, 1},
  {"NoDigitSuppressed", "%*d", 0, u"x", 0, {}, 1},
  {"EndOfInput", "%d", 0, u"", -1, {}, 0},
  {"SignAtEndOfInput", "%d", 0, u"-", -1, {}, 1},
  {"SignThenLetter", "%d", 0, u"+a", 0, {}, 2},
  {"FailureReplacesCount", "%d%d", 0, u"5 -x", 0, {I64 (5)}, 4},
  {"SuppressedFailureKeepsCount", "%d%*d", 0, u"5 -x", 1, {I64 (5)}, 4},
  {"SuppressedFieldTakesNoSlot", "%*d%d", 0, u"5 6", 1, {I64 (6)}, 3},
  {"StoreSizes", "%hd%d%ld%Ld%qd", 0, u"-2 -3 -4 -5 -6", 5,
   {I16 (-2), I64 (-3), I32 (-4), I64 (-5), I64 (-6)}, 14},
  {"LastModifierWins", "%lhd%lld%hLd", 0, u"-2 -3 -4", 3, {I16 (-2), I32 (-3), I64 (-4)}, 8},
  {"HexLongAllOnes", "%lx", 0, u"FFFFFFFF", 1, {I32 (0xFFFFFFFF)}, 8},
  {"HexAllOnes", "%x", 0, u"FFFFFFFF", 1, {I64 (-1)}, 8},
  {"HexLongLongAllOnes", "%Lx", 0, u"ffffffff", 1, {I64 (-1)}, 8},
  {"IReadsDecimal", "%i%c", 0, u"0x10", 2, {I64 (0), Chars ("x")}, 3},
  {"UAcceptsASign", "%u", 0, u"-5", 1, {I64 (-5)}, 2},
  {"OctalBinaryHex", "%o %b %X", 0, u"17 101 aB", 3, {I64 (15), I64 (5), I64 (0xAB)}, 9},
  {"HexPrefix", "%x%c", 0, u"0x1F;", 2, {I64 (31), Chars (";")}, 5},
  {"WidthSplitsANumber", "%3d%d", 0, u"-12345", 2, {I64 (-12), I64 (345)}, 6},
  {"ZeroWidth", "%0d%d", 0, u"56", 2, {I64 (5), I64 (6)}, 2},
  {"TenDigits", "%d", 0, u"4294967296 ", 1, {I64 (4294967296LL)}, 11},
  {"ElevenDigits", "%d", 0, u"-12345678901", 1, {I64 (-12345678901LL)}, 12},
  {"ElevenDigitsIntoFourBytes", "%ld", 0, u"12345678901", 1, {I32 (12345678901LL)}, 11},
  {"NineHexDigits", "%x", 0, u"123456789", 1, {I64 (0x123456789LL)}, 9},
  {"ThirtyDigits", "%hd%c", 0, u"000000000000000000000000000012;", 2, {I16 (12), Chars (";")}, 31},
};
INSTANTIATE_TEST_SUITE_P (Integers, ScanInputCase, ::testing::ValuesIn (kIntegers), CaseName ());

const ScanCase kCharsAndStrings[] = {
  {"WideFlagOneStoresChar16", "%3c", 1, u"abcd", 1, {Chars16 (u"abc")}, 3},
  {"WideFlagTwoStoresBytes", "%3c", 2, u"abcd", 1, {Chars ("abc")}, 3},
  {"CharKeepsTheLowByte", "%c", 0, u"\u0141", 1, {Chars ("A")}, 1},
  {"CharsStoreTheZerosAtEnd", "%3c", 0, u"a", 1, {Bytes{'a', 0, 0}}, 1},
  {"CharSkipsNoSpace", " %c%c", 0, u"  a b", 2, {Chars ("a"), Chars (" ")}, 4},
  {"SuppressedCharTakesNoSlot", "%*c%c", 0, u"ab", 1, {Chars ("b")}, 2},
  {"ZeroWidthCharTakesASlot", "%0c%c", 0, u"xy", 2, {{}, Chars ("x")}, 1},
  {"StringWidth", "%5s", 0, u"abcdefg", 1, {Str ("abcde")}, 5},
  {"StringStoresBytesUnderWideFlag", "%s", 1, u"  ab", 1, {Str ("ab")}, 4},
  {"StringKeepsTheLowByte", "%s", 0, u"\u0141b", 1, {Str ("Ab")}, 2},
  {"SpaceAfterStringIsConsumed", "%s%c", 0, u"ab cd", 2, {Str ("ab"), Chars ("c")}, 4},
  {"SpaceAtWidthEndIsGivenBack", "%3s%c", 0, u"ab cd", 2, {Str ("ab"), Chars (" ")}, 3},
  {"WidthEndsStringWithoutReadingOn", "%2s%c", 0, u"abc", 2, {Str ("ab"), Chars ("c")}, 3},
  {"LeadingSpaceIsChargedToWidth", "%3s", 0, u"  abc", 1, {Str ("a")}, 3},
  {"WidthUsedUpBySpace", "%3s%c", 0, u"   x", 2, {Str (""), Chars ("x")}, 4},
  {"ZeroWidthString", "%0s%c", 0, u"ab", 2, {Str (""), Chars ("a")}, 1},
  {"SuppressedStringTakesNoSlot", "%*s%s", 0, u"abc def", 1, {Str ("def")}, 7},
  {"StringEndsAtEndOfInput", "%s%n", 0, u"ab", 1, {Str ("ab"), I32 (2)}, 2},
  {"StringWithoutWidthAtEndOfInput", "%s%n", 0, u"", 1, {Str (""), I32 (0)}, 0},
  {"StringWithoutWidthAfterSpaceAtEnd", "%s%d", 0, u" \t", -1, {Str ("")}, 2},
  {"StringWithWidthAtEndOfInput", "%4s%n", 0, u"", 1, {Str (""), I32 (0)}, 0},
};
INSTANTIATE_TEST_SUITE_P (CharsAndStrings, ScanInputCase, ::testing::ValuesIn (kCharsAndStrings), CaseName ());

// %n reports the characters consumed so far, whatever the store size.
const ScanCase kConsumed[] = {
  {"AfterIntegerWithLeadingSpace", "%d%n", 0, u"  42 ", 1, {I64 (42), I32 (4)}, 5},
  {"StoreSizeIgnored", "%d%hn%Ln", 0, u"7", 1, {I64 (7), I32 (1), I32 (1)}, 1},
  {"SuppressedTakesNoSlot", "%*n%n", 0, u"", 0, {I32 (0)}, 0},
  {"AfterLiteral", "a%n", 0, u"a", 0, {I32 (1)}, 1},
  {"AfterSpaceRunGivenBack", "a %n", 0, u"a  b", 0, {I32 (3)}, 4},
  {"AfterStringEndingSpaceConsumed", "%s%n", 0, u"ab cd", 1, {Str ("ab"), I32 (3)}, 3},
  {"AfterStringEndingSpaceGivenBack", "%3s%n", 0, u"ab c", 1, {Str ("ab"), I32 (2)}, 3},
  {"ZerosReadByCharsNotCounted", "%3c%n", 0, u"a", 1, {Bytes{'a', 0, 0}, I32 (1)}, 1},
  {"AfterHexPrefix", "%x%n", 0, u"0x1F;", 1, {I64 (31), I32 (4)}, 5},
  {"AfterSuppressedFields", "%*d%*s%*c%n", 0, u" 12 ab;", 0, {I32 (7)}, 7},
};
INSTANTIATE_TEST_SUITE_P (Consumed, ScanInputCase, ::testing::ValuesIn (kConsumed), CaseName ());

TEST (ScanInputCalls, EmptyFormatNeverCallsTheInputRoutine)
{
  SetInput (u"abc");
  EXPECT_EQ (RunScanCase ("", 0).Result, 0);
  EXPECT_EQ (mInput.Calls, 0u);
}

TEST (ScanInputCalls, StringEndsPromptlyWhenInputEndsBeforeIt)
{
  // Without a width the end of input ends the field at once; with one, the
  // zeros read are charged to it.
  struct {
    const char *Format;
    size_t      Calls;
  } const kCases[] = {{"%s", 2}, {"%*s", 2}, {"  %s", 2}, {"%4s", 4}};
  for (const auto &C : kCases) {
    SetInput (u" ");
    EXPECT_EQ (RunScanCase (C.Format, 0).Result, C.Format[1] == '*' ? 0 : 1) << C.Format;
    EXPECT_EQ (mInput.Calls, C.Calls) << C.Format;
  }
}

TEST (ScanInputCalls, CharacterGivenBackAtTheEndIsDroppedByTheNextCall)
{
  SetInput (u"12,34");
  Scan First = RunScanCase ("%d", 0);
  EXPECT_EQ (First.Result, 1);
  EXPECT_EQ (Bytes (First.Dest[0], First.Dest[0] + 8), I64 (12));
  EXPECT_EQ (PushBackTop, 1);

  Scan Second = RunScanCase ("%d%n", 0);
  EXPECT_EQ (Second.Result, 1);
  EXPECT_EQ (Bytes (Second.Dest[0], Second.Dest[0] + 8), I64 (34));
  EXPECT_EQ (Bytes (Second.Dest[1], Second.Dest[1] + 4), I32 (2));  // the count starts afresh
  EXPECT_EQ (mInput.Pos, 5u);
}

TEST (ScanInputCalls, NullFormatOrInputRoutineReturnsZeroAndCallsNothing)
{
  SetInput (u"42");
  INT64  Value = 0;
  UINT64 Args[] = {reinterpret_cast<UINTN> (&Value)};
  EXPECT_EQ (ScanInput (ReadMem, 0, 0, nullptr, reinterpret_cast<VA_LIST> (Args)), 0);
  EXPECT_EQ (ScanInput (nullptr, 0, 0, "%d", reinterpret_cast<VA_LIST> (Args)), 0);
  EXPECT_EQ (mInput.Calls, 0u);
  EXPECT_EQ (Value, 0);
}

// NULL destinations, or no argument list at all: nothing is stored, the
// input is read as with real destinations, and every conversion counts as
// it would with one (%n never counts).
struct NullDestCase {
  const char    *Format;
  std::u16string Input;
  INTN           Result;
  size_t         Read;
};

class ScanNullDestinations : public ::testing::TestWithParam<NullDestCase> {};

TEST_P (ScanNullDestinations, StoreNothingAndCountAsUsual)
{
  const NullDestCase &C          = GetParam ();
  const UINT64        Nulls[4]   = {};
  for (VA_LIST Args : {reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (Nulls)), static_cast<VA_LIST> (nullptr)}) {
    SetInput (C.Input);
    EXPECT_EQ (ScanInput (ReadMem, 0, 0, C.Format, Args), C.Result) << C.Format;
    EXPECT_EQ (mInput.Pos, C.Read) << C.Format;
  }
}

INSTANTIATE_TEST_SUITE_P (Conversions, ScanNullDestinations,
                          ::testing::Values (NullDestCase{"%d %hx", u"42 ff;", 2, 6},
                                             NullDestCase{"%ld%n%c", u"7x", 2, 2},
                                             NullDestCase{"%3c%s", u"abc de", 2, 6},
                                             NullDestCase{"%*d %n%lb", u"1 101", 1, 5},
                                             NullDestCase{"%d%d", u"5 -x", 0, 4}));

// A 16-bit format at an odd address, and destinations packed one after the
// other from an odd address, work as aligned ones do.
TEST (ScanInputCalls, OddFormatAndDestinationsWorkLikeAlignedOnes)
{
  alignas (8) UINT8 Arena[64] = {};
  const char16_t    Format[]  = u"%hd %ld %d %c%n";
  std::memcpy (Arena + 1, Format, sizeof Format);
  UINT8 *const Dest   = Arena + 35;
  UINT64       Args[] = {reinterpret_cast<UINTN> (Dest), reinterpret_cast<UINTN> (Dest + 2),
                         reinterpret_cast<UINTN> (Dest + 6), reinterpret_cast<UINTN> (Dest + 14),
                         reinterpret_cast<UINTN> (Dest + 16)};
  SetInput (u"-2 -3 -4 x");
  EXPECT_EQ (ScanInput (ReadMem, 0, 1, Arena + 1, reinterpret_cast<VA_LIST> (Args)), 4);
  Bytes Expected;
  for (const Bytes &Field : {I16 (-2), I32 (-3), I64 (-4), Chars16 (u"x"), I32 (10)}) {
    Expected.insert (Expected.end (), Field.begin (), Field.end ());
  }
  EXPECT_EQ (Bytes (Dest, Dest + 20), Expected);
}

// An input of 2^31 characters or more, simulated: the routine moves the
// step counter it is given up to just below the INT32 maximum, as if that
// many characters had been read. The counts stop at the maximum.
UINTN EFIAPI LongInput (INT32 *Counter)
{
  if (mInput.Pos == 0) {
    *Counter = 0x7FFFFFFD;
  }
  return ReadMem (Counter);
}

TEST (ScanInputCalls, ConsumedCountStopsAtInt32Maximum)
{
  SetInput (u"     7");
  INT32  Before = 0, After = 0;
  INT64  Value  = 0;
  UINT64 Args[] = {reinterpret_cast<UINTN> (&Before), reinterpret_cast<UINTN> (&Value), reinterpret_cast<UINTN> (&After)};
  EXPECT_EQ (ScanInput (LongInput, 0, 0, " %n%d%n", reinterpret_cast<VA_LIST> (Args)), 1);
  EXPECT_EQ (Before, 0x7FFFFFFF);
  EXPECT_EQ (Value, 7);
  EXPECT_EQ (After, 0x7FFFFFFF);
}

}  // namespace
