// SPDX-License-Identifier: BSD-2-Clause-Patent
// Field layout: sign position, zero fill, precision, justification, and the
// number renderer underneath.
#include "tests/console/FormatHarness.h"

#include "servicelib/console/format.h"
#include "tests/CaseName.h"

using namespace fmtest;

namespace {

const char kAbc[] = "abc";

class Fields : public ::testing::TestWithParam<Case> {};
TEST_P (Fields, ProduceExactText) { ExpectFormats (GetParam ()); }

INSTANTIATE_TEST_SUITE_P (
  SignPosition, Fields,
  ::testing::Values (
    // ' ' wins over '+'; with zero fill a ' ' becomes '+'.
    Case{"SpaceWinsOverPlus", "%+d % d %+ d % 05d %+05d", {42, 42, 42, 42, 42}, "+42  42  42 +0042 +0042"},
    Case{"ZeroFillWidths", "%05d|%06d|%02d|%03d", {12345, 12345, 42, 42}, "12345|012345|42|042"},
    Case{"ZeroFillNegative", "%05d|%05d", {S (-42), S (-12345)}, "-0042|-12345"},
    Case{"SignFlagsNegative", "%+05d|%+5d|% 5d|", {S (-7), S (-7), S (-7)}, "-0007|   -7|   -7|"},
    // With zero fill and no sign flag the sign position is the first zero,
    // even left-justified.
    Case{"LeftJustifiedZeroFlag", "%-05d|%-+05d|%- 05d|", {42, 42, 42}, "042  |+42  |+42  |"},
    Case{"ZeroFlagThenStarWidth", "%0*d", {S (-5), 42}, "042"},
    Case{"SignFlagsIgnoredUnsigned", "%+u|% u|%+x|", {5, 5, 5}, "5|5|5|"},
    Case{"SignFlagsOnZero", "% 5d|%+-5d|", {0, 0}, "    0|+0   |"}),
  CaseName ());

INSTANTIATE_TEST_SUITE_P (
  Precision, Fields,
  ::testing::Values (
    Case{"PrecisionAndZeroValue", "%.3d|%5.3d|%-5.3d|%.0d|%5.0d|%.0x", {7, 7, 7, 0, 0, 0}, "007|  007|007  | |     | "},
    Case{"ZeroPrecisionOfZero", "%.1d|%+.0d|%.d", {0, 0, 0}, "0|+ | "},
    // '.' switches zero fill off; a '0' after it switches it back on, and
    // zero fill with a precision writes no fill at all.
    Case{"DotSwitchesZeroFillOff", "%8.3d|%08.3d|%8.3 0d", {7, 7, 7}, "     007|     007|+007"},
    Case{"OctalAltWithPrecision", "%#.5o|%#8.5o|", {8, 8}, " 00010|   00010|"},
    Case{"OctalAltLeadingZeroOnce", "%#o|%#.1o|%#3.2o|%#.0o", {8, 8, 8, 0}, "010|010|010| "},
    Case{"HexAltWithWidthAndPrecision", "%#5x|%#05x|%#-6x|%8.3#0x", {255, 255, 255, 255}, " 0xff|0x0ff|0xff  |0x0ff"},
    Case{"NegativeWithPrecision", "%.3d|%.5d", {S (-7), S (-12345)}, "-007|-12345"},
    // A negative precision keeps every digit or character.
    Case{"NegativeStarPrecisionIsNone", "%.*d|%.*s|", {S (-3), 5, S (-1), P (kAbc)}, "5|abc|"},
    // The most negative precision or width must not wrap round into a run of
    // two billion zeros or spaces.
    Case{"MostNegativeStarValues", "%.*d|%*d|", {0x80000000, 5, 0x80000000, 6}, "5|6|"},
    // Precision zeros are not bounded by the 64-digit buffer.
    Case{"BinaryWidthSixtyFour", "%64b", {5}, std::string (61, ' ') + "101"},
    Case{"PrecisionPastDigitBuffer", "%.70d", {5}, std::string (69, '0') + "5"},
    Case{"LeftJustifiedLongPrecision", "%-70.66b|", {1}, std::string (65, '0') + "1" + std::string (4, ' ') + "|"}),
  CaseName ());

INSTANTIATE_TEST_SUITE_P (
  TextFields, Fields,
  ::testing::Values (Case{"TextWidthAndPrecision", "%-5s|%-5.1s|%5.0s|", {P (kAbc), P (kAbc), P (kAbc)},
                          "abc  |a    |     |"},
                     Case{"ZeroFillAndEmptyText", "%06.2s|%5s|%.5s|", {P (kAbc), P (""), P (kAbc)},
                          "    ab|     |abc|"},
                     // Sign flags never touch text.
                     Case{"SignFlagsOnText", "%+ #s|%-03s|", {P (kAbc), P (kAbc)}, "abc|abc|"}),
  CaseName ());

// The renderer on its own: digits from slot 64 down, the terminator in slot
// 65, slot 0 never written, and the prefix.
struct RenderCase {
  const char  *Name;
  UINT8       Base;
  INT16       MinDigits;
  UINT8       Signed;
  UINT8       Lowercase;
  UINT64      Value;
  std::string Digits;
  const char  *Prefix;
};

class Render : public ::testing::TestWithParam<RenderCase> {};

TEST_P (Render, DigitsAndPrefix)
{
  const auto &C = GetParam ();
  CHAR16      Buffer[kDigitSlots];
  CHAR8       Prefix[3] = {'?', '?', '?'};
  for (auto &U : Buffer) {
    U = u'#';
  }
  NUMBER_FORMAT Number = {C.Base, C.MinDigits, C.Signed, C.Lowercase, C.Value, Buffer, Prefix};
  const CHAR16 *First = NumberToText<CHAR16> (&Number);
  EXPECT_EQ (Narrow (First), C.Digits);
  EXPECT_EQ (Buffer[0], u'#');
  EXPECT_EQ (Buffer[65], 0);
  EXPECT_EQ (std::string (Prefix, 3), std::string (C.Prefix, 3));

  // The 8-bit rendering is the same text.
  CHAR8 Narrow8[kDigitSlots];
  Number.Digits = Narrow8;
  EXPECT_EQ (std::string (NumberToText<CHAR8> (&Number)), C.Digits);
}

INSTANTIATE_TEST_SUITE_P (
  Numbers, Render,
  ::testing::Values (RenderCase{"NegativeDecimal", 10, -1, 1, 1, S (-42), "42", "-\0\0"},
                     RenderCase{"ZeroSignedPlus", 10, -1, 1, 1, 0, "0", "+\0\0"},
                     RenderCase{"MostNegativeDecimal",
                                10, -1, 1, 1, 0x8000000000000000ull, "9223372036854775808", "-\0\0"},
                     RenderCase{"HexLowerPrefix", 16, -1, 0, 1, 0xBEEF, "beef", "0x\0"},
                     RenderCase{"HexUpperPrefix", 16, -1, 0, 0, 0xBEEF, "BEEF", "0X\0"},
                     RenderCase{"HexSixteenZeros", 16, 16, 0, 0, 0, "0000000000000000", "\0\0\0"},
                     RenderCase{"OctalPrefix", 8, -1, 0, 1, 8, "10", "0\0\0"},
                     RenderCase{"Binary", 2, -1, 0, 1, 6, "110", "\0\0\0"},
                     // Never more than 64 digits.
                     RenderCase{"MinDigitsCappedAtSixtyFour", 2, 100, 0, 1, 1, std::string (63, '0') + "1", "\0\0\0"},
                     RenderCase{"BaseThree", 3, -1, 0, 1, 10, "101", "\0\0\0"},  // any base divides
                     // Across the eight-digit chunks, and zeros past the last one.
                     RenderCase{"AcrossEightDigitChunk", 10, -1, 0, 1, 100000000, "100000000", "\0\0\0"},
                     RenderCase{"MostNegativePlusOne",
                                10, -1, 1, 1, 0x8000000000000001ull, "9223372036854775807", "-\0\0"},
                     RenderCase{"ZerosPastLastChunk", 10, 20, 0, 1, 99999999, "00000000000099999999", "\0\0\0"},
                     RenderCase{"HexPastThirtyTwoBits", 16, 12, 0, 1, 0x100000000ull, "000100000000", "0x\0"}),
  CaseName ());

TEST (WriteField, ClearsZeroFillWhenTheTextReachesTheWidth)
{
  FIELD_FORMAT Field = {0, 1, 0, 0, 0, 0, 3, 1};
  CHAR8        Prefix[3] = {'+', 0, 0};
  FORMAT_SINK  Sink = {Record, 100};
  mReceived.clear ();
  EXPECT_EQ (WriteField<CHAR8> ("123", 3, Prefix, &Field, &Sink), 3u);
  EXPECT_EQ (Field.ZeroPad, 0u);
  EXPECT_EQ (Narrow (mReceived), "123");
  EXPECT_EQ (Sink.Remaining, 97u);
}

}  // namespace
