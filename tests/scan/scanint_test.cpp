// SPDX-License-Identifier: BSD-2-Clause-Patent
// The character source with push-back, and the integer field reader.
#include "servicelib/scan/scan.h"

#include <gtest/gtest.h>

#include <optional>

#include "tests/CaseName.h"
#include "tests/scan/MemInput.h"

using namespace scantest;

namespace {

constexpr INT64 kUntouched = 0x5A5A5A5A5A5A5A5A;

void StartScan (std::u16string Text)
{
  SetInput (std::move (Text));
  ScanInputRoutine = ReadMem;
  ScanConsumed     = 0;
  PushBackTop      = 0;
}

// Drains the next N characters through ScanNextChar (push-back first).
std::u16string NextChars (size_t N)
{
  std::u16string Out;
  INT32          Step = 0;
  for (size_t I = 0; I < N; ++I) {
    Out += static_cast<char16_t> (ScanNextChar (&Step));
  }
  return Out;
}

struct IntCase {
  const char          *Name;
  UINT8                Base;
  INT32                Width;
  std::u16string       Input;
  INT32                Result;
  std::optional<INT64> Value;     // nullopt: Value is not written
  std::u16string       Next;      // what the following reads return
  INT32                Consumed;  // growth of ScanConsumed
};

void PrintTo (const IntCase &C, std::ostream *Os) { *Os << C.Name; }

class ScanIntegerField : public ::testing::TestWithParam<IntCase> {};

TEST_P (ScanIntegerField, ResultValueCountAndWhatIsLeft)
{
  const IntCase &C = GetParam ();
  StartScan (C.Input);
  SCAN_FIELD Field = {C.Width, FALSE, kUntouched, C.Base};

  EXPECT_EQ (ScanInteger (&Field), C.Result);
  EXPECT_EQ (Field.Value, C.Value.value_or (kUntouched));
  EXPECT_EQ (ScanConsumed, C.Consumed);
  EXPECT_LE (PushBackTop, 2);
  EXPECT_EQ (NextChars (C.Next.size ()), C.Next);
}

const IntCase kSignsAndEnds[] = {
  {"LeadingSpaceAndSign", 10, -1, u"  -12,", 1, -12, u",", 5},
  {"SignThenNonDigit", 10, -1, u"+,", 0, std::nullopt, u",", 0},
  {"SignThenEnd", 10, -1, u"-", -1, std::nullopt, u"", 0},
  {"EndAtOnce", 10, -1, u"", -1, std::nullopt, u"", 0},
  {"SpaceThenEnd", 10, -1, u"   ", -1, std::nullopt, u"", 0},
  {"NegativeZero", 10, -1, u"-0", 1, 0, u"", 2},
  {"NonDigitFirst", 10, -1, u"x5", -1, std::nullopt, u"x5", 0},
  {"DigitEndsAtEndOfInput", 10, -1, u"42", 1, 42, u"", 2},
  {"WideCharacterIsNoDigit", 10, -1, u"7\u0660", 1, 7, u"\u0660", 1},
};
INSTANTIATE_TEST_SUITE_P (SignsAndEnds, ScanIntegerField, ::testing::ValuesIn (kSignsAndEnds), CaseName ());

const IntCase kBasesAndPrefix[] = {
  {"HexXWithoutDigit", 16, -1, u"x1F", -1, std::nullopt, u"x", 0},
  {"HexPrefix", 16, -1, u"0x1F;", 1, 31, u";", 4},
  {"HexPrefixUpper", 16, -1, u"0X1f", 1, 31, u"", 4},
  {"HexTwoLeadingZeros", 16, -1, u"00x1F", 1, 31, u"", 5},
  {"HexPrefixThenNonDigit", 16, -1, u"0xg", 1, 0, u"g", 2},
  {"HexXAfterNonZero", 16, -1, u"1x2", 1, 1, u"x2", 1},
  {"HexSecondXDropped", 16, -1, u"0x1x2", 1, 18, u"", 5},
  {"DecimalX", 10, -1, u"12x5", 1, 12, u"x5", 2},
  {"DecimalZeroX", 10, -1, u"0x5", 1, 0, u"x5", 1},
  {"Octal", 8, -1, u"178", 1, 15, u"8", 2},
  {"Binary", 2, -1, u"1012", 1, 5, u"2", 3},
  {"HexAllOnesIsMinusOne", 16, -1, u"FFFFFFFF", 1, -1, u"", 8},
  {"HexTopBit", 16, -1, u"80000000", 1, -2147483648LL, u"", 8},
  {"HexLargestPositive", 16, -1, u"7FFFFFFF", 1, 2147483647, u"", 8},
  {"EightDecimalDigits", 10, -1, u"99999999", 1, 99999999, u"", 8},
  {"NegativeHex", 16, -1, u"-ff", 1, -255, u"", 3},
};
INSTANTIATE_TEST_SUITE_P (BasesAndPrefix, ScanIntegerField, ::testing::ValuesIn (kBasesAndPrefix), CaseName ());

const IntCase kWidths[] = {
  {"SignTakesAUnit", 10, 3, u"-123", 1, -12, u"3", 3},
  {"SpaceIsFree", 10, 2, u"  123", 1, 12, u"3", 4},
  {"XIsFree", 16, 3, u"0x1F", 1, 31, u"", 4},
  {"ZeroWidthReadsOneDigit", 10, 0, u"56", 1, 5, u"6", 1},
  {"ZeroWidthSpaceUsesItUp", 10, 0, u" 5", -1, 0, u"5", 0},
  {"SignUsesUpWidthOne", 10, 1, u"-5", -1, 0, u"5", 0},
  {"WidthNine", 10, 9, u"1234567890", 1, 123456789, u"0", 9},
};
INSTANTIATE_TEST_SUITE_P (Widths, ScanIntegerField, ::testing::ValuesIn (kWidths), CaseName ());

// Fields of more than 8 digits: read whole, in 64-bit arithmetic modulo 2^64.
const IntCase kLongFields[] = {
  {"TwoToThe32", 10, -1, u"4294967296,", 1, 4294967296LL, u",", 10},
  {"ElevenDigits", 10, -1, u"12345678901,", 1, 12345678901LL, u",", 11},
  {"NegativeElevenDigits", 10, -1, u"-12345678901", 1, -12345678901LL, u"", 12},
  {"LeadingZerosCountAsDigits", 10, -1, u"00000000012", 1, 12, u"", 11},
  {"NineHexDigits", 16, -1, u"123456789", 1, 0x123456789LL, u"", 9},
  {"HexPrefixMakesNineDigits", 16, -1, u"0xFFFFFFFF", 1, 0xFFFFFFFFLL, u"", 10},
  {"SixteenHexDigits", 16, -1, u"FFFFFFFFFFFFFFFF", 1, -1, u"", 16},
  {"WrapsModulo2To64", 16, -1, u"10000000000000001", 1, 1, u"", 17},
  {"TwentyDecimalDigits", 10, -1, u"18446744073709551617", 1, 1, u"", 20},
};
INSTANTIATE_TEST_SUITE_P (LongFields, ScanIntegerField, ::testing::ValuesIn (kLongFields), CaseName ());

// Every 16-bit character read alone: only the digits of the base start a
// number, with their value; any other character (a wide one whose low byte
// is a digit included) reads no digit.
TEST (ScanIntegerDigits, OnlyTheDigitsOfTheBaseInEitherCase)
{
  auto ValueOf = [] (unsigned Ch) -> unsigned {
    if (Ch >= '0' && Ch <= '9') return Ch - '0';
    if (Ch >= 'a' && Ch <= 'f') return Ch - 'a' + 10;
    if (Ch >= 'A' && Ch <= 'F') return Ch - 'A' + 10;
    return 99;
  };
  for (UINT8 Base : {2, 8, 10, 16}) {
    for (unsigned Ch = 1; Ch < 0x10000; ++Ch) {
      const bool IsDigit = ValueOf (Ch) < Base;
      StartScan (std::u16string (1, static_cast<char16_t> (Ch)));
      SCAN_FIELD Field = {-1, FALSE, kUntouched, Base};
      ASSERT_EQ (ScanInteger (&Field), IsDigit ? 1 : -1) << "base " << +Base << " ch " << Ch;
      ASSERT_EQ (Field.Value, IsDigit ? INT64 (ValueOf (Ch)) : kUntouched) << "base " << +Base << " ch " << Ch;
    }
  }
}

TEST (ScanNextChar, ServesGivenBackCharactersFirstAndCountsOnlyNonZero)
{
  StartScan (u"z");
  INT32 Step = 0;
  ScanPushBack ('a', &Step);
  EXPECT_EQ (Step, -1);
  EXPECT_EQ (ScanNextChar (&Step), 'a');
  EXPECT_EQ (Step, 0);
  EXPECT_EQ (mInput.Calls, 0u);

  ScanPushBack (0, &Step);
  EXPECT_EQ (Step, 0);
  EXPECT_EQ (ScanNextChar (&Step), 0);
  EXPECT_EQ (Step, 0);
  EXPECT_EQ (mInput.Calls, 0u);

  EXPECT_EQ (ScanNextChar (&Step), 'z');
  EXPECT_EQ (ScanNextChar (&Step), 0);
  EXPECT_EQ (Step, 1);
  EXPECT_EQ (mInput.Calls, 2u);
}

TEST (ScanPushBack, NeverWritesPastItsFourSlots)
{
  StartScan (u"");
  const CHAR16 Guard[kPushBackSlots] = {0x1111, 0x2222, 0x3333, 0x4444};
  INT32        Step = 0;
  for (CHAR16 Ch : u"abcdef") {
    if (Ch != 0) {
      ScanPushBack (Ch, &Step);
    }
  }
  // The fifth and sixth characters were refused and stay counted.
  EXPECT_EQ (PushBackTop, kPushBackSlots);
  EXPECT_EQ (Step, -4);
  EXPECT_EQ (NextChars (5), std::u16string (u"dcba\0", 5));
  EXPECT_EQ (mInput.Calls, 1u);

  // A stack top damaged from outside is neither written through nor read through.
  for (INT32 Damaged : {kPushBackSlots + 1, 1000, -1, -1000, INT32 (0x80000000)}) {
    __builtin_memcpy (PushBackBuffer, Guard, sizeof Guard);
    PushBackTop = Damaged;
    Step        = 0;
    ScanPushBack ('q', &Step);
    EXPECT_EQ (PushBackTop, Damaged);
    EXPECT_EQ (Step, 0);
    EXPECT_EQ (ScanNextChar (&Step), 0);  // from the input routine
    EXPECT_EQ (0, __builtin_memcmp (PushBackBuffer, Guard, sizeof Guard));
  }
}

// Step counters count on past the INT32 maximum without overflow; a step
// that went past it adds up to the maximum, as does a sum beyond it.
TEST (ScanCounts, StopAtTheInt32Maximum)
{
  StartScan (u"ab");
  INT32 Step = kScanCountMax - 1;
  EXPECT_EQ (ScanNextChar (&Step), 'a');
  EXPECT_EQ (ScanNextChar (&Step), 'b');
  ScanPushBack ('b', &Step);
  EXPECT_EQ (Step, kScanCountMax);

  ScanConsumed = kScanCountMax - 3;
  AddConsumed (2);
  EXPECT_EQ (ScanConsumed, kScanCountMax - 1);
  AddConsumed (2);
  EXPECT_EQ (ScanConsumed, kScanCountMax);
  ScanConsumed = 5;
  AddConsumed (INT32 (0x80000000));  // a step of 2^31 characters
  EXPECT_EQ (ScanConsumed, kScanCountMax);
}

}  // namespace
