// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format parser on its own: the text of one conversion (after its '%')
// in, one CONVERSION record, the slots it took and where the text goes on
// out. Rendering from the record is the converters' part (format_test.cpp,
// field_test.cpp).
#include "servicelib/console/formatparse.h"
#include "tests/CaseName.h"

#include <string>
#include <vector>

namespace {

using KIND = CONVERSION_KIND;

struct ParseCase {
  const char          *Name;
  const char          *Format;     // the text after the '%'
  std::vector<UINT64> Args;        // slots; each one not taken reads back in order
  KIND                Kind;
  const char          *Flags;      // the flags set, in the order "#0 -+"
  INT32               Width;
  INT32               Precision;   // -1: no precision given
  UINT8               ArgSize;
  UINT8               Base;        // integers only; 0 for the other kinds
  bool                Signed;      // integers only
  bool                Lowercase;   // integers, %g and %G
  size_t              SlotsTaken;  // the '*'s and the conversion's own
  INT32               Resume;      // where the text goes on, from the start of Format; -1 for End
};

std::string FlagsOf (const FIELD_FORMAT &Field)
{
  std::string Flags;
  const UINT32 Set[] = {Field.Alternate, Field.ZeroPad, Field.Space, Field.LeftJustify, Field.Plus};
  for (size_t I = 0; I < 5; ++I) {
    if (Set[I] != 0) {
      Flags += "#0 -+"[I];
    }
  }
  return Flags;
}

class Parse : public ::testing::TestWithParam<ParseCase> {};

TEST_P (Parse, FillsTheRecordAndTakesItsSlots)
{
  const ParseCase    &C = GetParam ();
  std::vector<UINT64> Slots = C.Args;
  for (UINT64 Spare = 0; Spare < 4; ++Spare) {
    Slots.push_back (0x5107000000000000ull + Spare);
  }
  ARG_SLOTS  Args (reinterpret_cast<VA_LIST> (Slots.data ()));
  CONVERSION Record;
  const CHAR8 *Resume = ParseConversion<CHAR8> (C.Format, Args, &Record);

  ASSERT_EQ (static_cast<int> (Record.Kind), static_cast<int> (C.Kind));
  EXPECT_EQ (Args.Take (), Slots[C.SlotsTaken]) << "slots taken";
  if (C.Kind == KIND::End) {
    return;  // nothing of it is used
  }
  EXPECT_EQ (Resume - C.Format, C.Resume);
  if (C.Kind == KIND::Invalid) {
    return;
  }
  EXPECT_EQ (FlagsOf (Record.Field), C.Flags);
  EXPECT_EQ (Record.Field.Width, C.Width);
  EXPECT_EQ (Record.Field.PrecisionGiven != 0, C.Precision >= 0);
  if (C.Precision >= 0) {
    EXPECT_EQ (Record.Field.Precision, C.Precision);
  }
  EXPECT_EQ (Record.ArgSize, C.ArgSize);
  if (C.SlotsTaken != 0 && C.Kind != KIND::Percent) {
    EXPECT_EQ (Record.Number.Value, Slots[C.SlotsTaken - 1]) << "the conversion's own slot";
  }
  if (C.Kind == KIND::Integer) {
    EXPECT_EQ (Record.Number.Base, C.Base);
    EXPECT_EQ (Record.Number.Signed != 0, C.Signed);
    EXPECT_EQ (Record.Number.MinDigits, std::string (C.Format).back () == 'p' ? 16 : -1);
  }
  if (C.Kind == KIND::Integer || C.Kind == KIND::Guid) {
    EXPECT_EQ (Record.Number.Lowercase != 0, C.Lowercase);
  }
}

// Conversion letters, lengths and the slot each takes.
INSTANTIATE_TEST_SUITE_P (
  Letters, Parse,
  ::testing::Values (ParseCase{"SignedDecimal", "d", {42}, KIND::Integer, "", 0, -1, 0, 10, true, true, 1, 1},
                     ParseCase{"UpperHex", "X", {7}, KIND::Integer, "", 0, -1, 0, 16, false, false, 1, 1},
                     ParseCase{"Binary", "b", {7}, KIND::Integer, "", 0, -1, 0, 2, false, true, 1, 1},
                     ParseCase{"Octal", "o", {7}, KIND::Integer, "", 0, -1, 0, 8, false, true, 1, 1},
                     // %p drops zero fill, '+' and the precision, and asks for 16 digits.
                     ParseCase{"PointerDropsFillSignAndPrecision",
                               "+0#.3p", {9}, KIND::Integer, "#", 0, -1, 64, 16, false, false, 1, 6},
                     ParseCase{"LastLengthCounts", "hld", {1}, KIND::Integer, "", 0, -1, 32, 10, true, true, 1, 3},
                     ParseCase{"DoubleL", "llu", {1}, KIND::Integer, "", 0, -1, 64, 10, false, true, 1, 3},
                     ParseCase{"IntelSizes", "I32I64x", {1}, KIND::Integer, "", 0, -1, 64, 16, false, true, 1, 7},
                     ParseCase{"WideStringLetter", "S", {1}, KIND::String, "", 0, -1, 32, 0, false, false, 1, 1},
                     ParseCase{"Character", "hc", {1}, KIND::Character, "", 0, -1, 16, 0, false, false, 1, 2},
                     ParseCase{"GuidLower", "g", {1}, KIND::Guid, "", 0, -1, 0, 0, false, true, 1, 1},
                     ParseCase{"GuidUpper", "G", {1}, KIND::Guid, "", 0, -1, 0, 0, false, false, 1, 1},
                     ParseCase{"Time", "t", {1}, KIND::Time, "", 0, -1, 0, 0, false, false, 1, 1},
                     ParseCase{"Status", "r", {1}, KIND::Status, "", 0, -1, 0, 0, false, false, 1, 1},
                     ParseCase{"Count", "n", {1}, KIND::Count, "", 0, -1, 0, 0, false, false, 1, 1},
                     ParseCase{"PercentTakesNoSlot", "-5%", {1}, KIND::Percent, "-", 5, -1, 0, 0, false, false, 0, 3}),
  CaseName ());

// Flags, width and precision in any order, '*' from the slots.
INSTANTIATE_TEST_SUITE_P (
  Fields, Parse,
  ::testing::Values (
    ParseCase{"AllFlags", "#0 -+d", {1}, KIND::Integer, "#0 -+", 0, -1, 0, 10, true, true, 1, 6},
    // '.' switches zero fill off; a '0' after it is a flag again.
    ParseCase{"DotClearsZeroFill", "08.3d", {1}, KIND::Integer, "", 8, 3, 0, 10, true, true, 1, 5},
    ParseCase{"ZeroAfterPrecision", "8.3 0d", {1}, KIND::Integer, "0 ", 8, 3, 0, 10, true, true, 1, 6},
    ParseCase{"DotAloneIsPrecisionZero", ".s", {1}, KIND::String, "", 0, 0, 0, 0, false, false, 1, 2},
    // A later digit run replaces the earlier one; after a '.' every number is the precision.
    ParseCase{"DigitRunReplacesWidth", "1l2d", {1}, KIND::Integer, "", 2, -1, 32, 10, true, true, 1, 4},
    ParseCase{"NumbersAfterDotArePrecision", ".2-5d", {1}, KIND::Integer, "-", 0, 5, 0, 10, true, true, 1, 5},
    ParseCase{"StarsInOrder", "*.*x", {5, 3, 0xAB}, KIND::Integer, "", 5, 3, 0, 16, false, true, 3, 4},
    ParseCase{"NegativeStarWidthKept", "*d", {static_cast<UINT64> (-4), 1}, KIND::Integer, "", -4, -1, 0, 10, true,
              true, 2, 2},
    ParseCase{"SevenDigitWidth", "9999999s", {1}, KIND::String, "", 9999999, -1, 0, 0, false, false, 1, 8}),
  CaseName ());

// Abandoned conversions take no slot of their own and give the text back at
// the failing character; one that the format ends inside is End.
INSTANTIATE_TEST_SUITE_P (
  Abandoned, Parse,
  ::testing::Values (ParseCase{"UnknownLetter", "5yz", {}, KIND::Invalid, "", 0, -1, 0, 0, false, false, 0, 1},
                     ParseCase{"IntelWithoutSize", "Id", {}, KIND::Invalid, "", 0, -1, 0, 0, false, false, 0, 0},
                     ParseCase{"EighthDigit", "12345678d", {}, KIND::Invalid, "", 0, -1, 0, 0, false, false, 0, 7},
                     ParseCase{"SecondDot", ".5.d", {}, KIND::Invalid, "", 0, -1, 0, 0, false, false, 0, 2},
                     ParseCase{"StarSlotStaysTaken", "*y.", {9}, KIND::Invalid, "", 0, -1, 0, 0, false, false, 1, 1},
                     ParseCase{"CutOffAfterWidth", "5", {}, KIND::End, "", 0, -1, 0, 0, false, false, 0, -1},
                     ParseCase{"UnknownLetterAtEnd", "y", {}, KIND::End, "", 0, -1, 0, 0, false, false, 0, -1},
                     ParseCase{"IntelAtEnd", "I", {}, KIND::End, "", 0, -1, 0, 0, false, false, 0, -1}),
  CaseName ());

// A 16-bit format, at an odd address, parses alike.
TEST (Parse, WideFormatAtAnOddAddress)
{
  const char16_t Text[] = u"-*.2lX";
  alignas (2) UINT8 Bytes[sizeof Text + 1];
  __builtin_memcpy (Bytes + 1, Text, sizeof Text);
  const CHAR16 *Format = reinterpret_cast<const CHAR16 *> (Bytes + 1);
  UINT64        Slots[] = {12, 0xBEEF};
  ARG_SLOTS     Args (reinterpret_cast<VA_LIST> (Slots));
  CONVERSION    Record;
  EXPECT_EQ (ParseConversion<CHAR16> (Format, Args, &Record), Format + 6);
  EXPECT_EQ (static_cast<int> (Record.Kind), static_cast<int> (KIND::Integer));
  EXPECT_EQ (FlagsOf (Record.Field), "-");
  EXPECT_EQ (Record.Field.Width, 12);
  EXPECT_EQ (Record.Field.Precision, 2);
  EXPECT_EQ (Record.ArgSize, 32);
  EXPECT_EQ (Record.Number.Base, 16);
  EXPECT_EQ (Record.Number.Value, 0xBEEFu);
}

}  // namespace
