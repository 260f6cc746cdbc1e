// SPDX-License-Identifier: BSD-2-Clause-Patent
// Slots 8 and 9. Every byte case runs at both widths: the 16-bit run gets
// each byte widened with its sign, and both must give the same result.
#include "servicelib/servicelib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

using namespace std::string_view_literals;

namespace {

constexpr UINTN kAll = ~static_cast<UINTN> (0);

std::string Hex (std::string_view Bytes)
{
  std::string Text;
  for (unsigned char Ch : Bytes) {
    Text += "0123456789ABCDEF"[Ch >> 4];
    Text += "0123456789ABCDEF"[Ch & 15];
  }
  return Text;
}

std::vector<INT16> Widen (std::string_view Bytes)
{
  std::vector<INT16> Wide;
  for (char Ch : Bytes) {
    Wide.push_back (static_cast<INT8> (Ch));
  }
  return Wide;
}

struct CompareCase {
  std::string_view S1, S2;
  UINTN            Count;
  INT8             FoldMask;
  BOOLEAN          StopAtNul;
  INT32            Expected;
};

void PrintTo (const CompareCase &C, std::ostream *Os)
{
  // Also the row's test name: the mask unsigned, since '-' cannot be in one.
  *Os << Hex (C.S1) << "_" << Hex (C.S2) << "_n" << C.Count << "_m" << +static_cast<UINT8> (C.FoldMask) << "_z"
      << +C.StopAtNul;
}

constexpr INT8 kNegMask = static_cast<INT8> (0x80);

const CompareCase kCompareCases[] = {
  {"abc\0"sv, "ABD\0"sv, 3, 0x20, 1, 'c' - 'd'},
  {"abc\0"sv, "ABD\0"sv, kAll, 0x20, 1, -1},
  {"z\0\0\0\0"sv, "a\0\0\0\0"sv, 5, 0, 1, 'z' - 'a'},
  {"z\0"sv, "a\0"sv, kAll, 0, 1, 1},
  {"abc\0\0"sv, "abcd\0"sv, kAll, 0, 1, -1},
  {"abc\0\0"sv, "abcd\0"sv, 5, 0, 1, -'d'},
  {"same\0"sv, "same\0"sv, kAll, 0, 1, 0},
  // Bounded: nothing is read at or past Count.
  {"x"sv, "y"sv, 0, 0, 1, 0},
  {"abcX"sv, "abcY"sv, 3, 0, 1, 0},
  // The NUL test looks at the first string once both agree.
  {"\0x"sv, "\0y"sv, 2, 0, 1, 0},
  // Without StopAtNul a NUL is an ordinary character, as in memcmp.
  {"ab\0x"sv, "ab\0y"sv, 4, 0, 0, 'x' - 'y'},
  {"a\0\0b"sv, "a\0\0c"sv, kAll, 0, 0, -1},
  // Folding: both sides, exactly 'A' to 'Z'; the neighbours stay put.
  {"ABCZ"sv, "abcz"sv, 4, 0x20, 0, 0},
  {"abcz"sv, "ABCZ"sv, 4, 0x20, 0, 0},
  {"A"sv, "a"sv, 1, 0, 0, 'A' - 'a'},
  {"@"sv, "`"sv, 1, 0x20, 0, '@' - '`'},
  {"["sv, "{"sv, 1, 0x20, 0, '[' - '{'},
  // Bytes 0x80 to 0xFF are negative: ordered below 0x7F, never folded,
  // though 0xC1 and 0xDA are 'A' and 'Z' with the top bit set.
  {"\x80"sv, "\x7F"sv, 1, 0, 0, -128 - 127},
  {"\xFF"sv, "\x01"sv, kAll, 0, 0, -1},
  {"\xC1"sv, "\xE1"sv, 1, 0x20, 0, -32},
  {"\xDA"sv, "\xFA"sv, 1, 0x20, 0, -32},
  // A negative mask is widened with its sign: 'A' | 0xFF80 is 0xFFC1,
  // which is exactly what the unfolded byte 0xC1 widens to.
  {"A"sv, "\xC1"sv, 1, kNegMask, 0, 0},
  {"A"sv, "a"sv, 1, kNegMask, 0, -63 - 'a'},
  {"B"sv, "b"sv, 1, static_cast<INT8> (0xE0), 0, -30 - 'b'},
  {"b"sv, "B"sv, kAll, static_cast<INT8> (0xE0), 0, 1},
};

class StringCompareTable : public ::testing::TestWithParam<CompareCase> {};

TEST_P (StringCompareTable, SameResultAtBothWidths)
{
  const CompareCase &C = GetParam ();
  EXPECT_EQ (StringCompare (C.S1.data (), C.S2.data (), C.Count, C.FoldMask, C.StopAtNul, 0), C.Expected);
  auto W1 = Widen (C.S1);
  auto W2 = Widen (C.S2);
  EXPECT_EQ (StringCompare (W1.data (), W2.data (), C.Count, C.FoldMask, C.StopAtNul, 1), C.Expected);
}

INSTANTIATE_TEST_SUITE_P (Strings, StringCompareTable, ::testing::ValuesIn (kCompareCases),
                          ::testing::PrintToStringParamName ());

// Wide characters are signed 16-bit units too; only 0x41 to 0x5A fold.
struct WideCompareCase {
  CHAR16 C1, C2;
  UINTN  Count;
  INT8   FoldMask;
  INT32  Expected;
};

const WideCompareCase kWideCases[] = {
  {0x0141, 0x0161, 1, 0x20, 0x0141 - 0x0161},  // low byte 'A', but not in 'A' to 'Z'
  {0x7FFF, 0x8000, 1, 0, 0x7FFF + 0x8000},     // the difference is widened, not wrapped
  {0x7FFF, 0x8000, kAll, 0, 1},
  {0xFFFF, 0x0001, 1, 0, -2},
  {u'Q', u'q', 1, 0x20, 0},
};

TEST (StringCompareWide, UnitsAreSigned16BitValues)
{
  for (const auto &C : kWideCases) {
    const CHAR16 S1[] = {C.C1, 0};
    const CHAR16 S2[] = {C.C2, 0};
    EXPECT_EQ (StringCompare (S1, S2, C.Count, C.FoldMask, 1, 1), C.Expected) << std::hex << C.C1 << " " << C.C2;
  }
}

struct CopyCase {
  std::string_view Source;
  UINTN            Count;
  BOOLEAN          StopAtNul;
  std::string_view Expected;  // all eight destination units afterwards
};

void PrintTo (const CopyCase &C, std::ostream *Os)
{
  *Os << Hex (C.Source) << "_n" << C.Count << "_z" << +C.StopAtNul;
}

const CopyCase kCopyCases[] = {
  {"ab\0cd"sv, 5, 1, "ab\0#####"sv},   // stops after the NUL
  {"ab\0cd"sv, 5, 0, "ab\0cd###"sv},   // copies NULs like any character
  {"abcdef"sv, 3, 1, "abc#####"sv},    // Count runs out: no terminator added
  {"abcdef"sv, 0, 1, "########"sv},
  {"\0bc"sv, 3, 1, "\0#######"sv},
  {"\x80\xFF\x01"sv, 3, 1, "\x80\xFF\x01#####"sv},
};

class StringCopyTable : public ::testing::TestWithParam<CopyCase> {};

TEST_P (StringCopyTable, CopiesAtBothWidthsAndLeavesTheRestAlone)
{
  const CopyCase &C = GetParam ();
  std::string Dest (8, '#');
  EXPECT_EQ (StringCopy (Dest.data (), C.Source.data (), C.Count, C.StopAtNul, 0), Dest.data ());
  EXPECT_EQ (Dest, C.Expected);

  auto WideSource = Widen (C.Source);
  auto WideDest   = Widen ("########"sv);
  EXPECT_EQ (StringCopy (WideDest.data (), WideSource.data (), C.Count, C.StopAtNul, 1), WideDest.data ());
  EXPECT_EQ (WideDest, Widen (C.Expected));
}

INSTANTIATE_TEST_SUITE_P (Strings, StringCopyTable, ::testing::ValuesIn (kCopyCases),
                          ::testing::PrintToStringParamName ());

// Large counts are bounded only by the NUL (or, beyond 2^31, by the copy
// index); the copy must not read or write past the terminator.
TEST (StringCopy, HugeCountStopsAtTheNul)
{
  const char   Source[] = "abc";
  char         Dest[8]  = "#######";
  const char16_t WideSource[] = u"abc";
  char16_t       WideDest[8]  = u"#######";
  for (UINTN Count : {static_cast<UINTN> (0x80000000), kAll}) {
    StringCopy (Dest, Source, Count, 1, 0);
    StringCopy (WideDest, WideSource, Count, 1, 1);
    EXPECT_EQ (std::string_view (Dest, 8), "abc\0###\0"sv);
    EXPECT_EQ (std::u16string_view (WideDest, 8), u"abc\0###\0"sv);
  }
}

// The copy runs forward one character at a time, so copying onto itself one
// place further on repeats the first character.
TEST (StringCopy, OverlapCopiesForwardOneCharacterAtATime)
{
  char Buffer[] = "abcdef";
  StringCopy (Buffer + 1, Buffer, 4, 0, 0);
  EXPECT_STREQ (Buffer, "aaaaaf");
  char16_t WideBuffer[] = u"abcdef";
  StringCopy (WideBuffer + 1, WideBuffer, 4, 0, 1);
  EXPECT_EQ (std::u16string_view (WideBuffer), u"aaaaaf");
}

// 16-bit strings packed into byte buffers at odd addresses copy and
// compare as aligned ones do.
TEST (StringsWide, OddAddressesWorkLikeAlignedOnes)
{
  alignas (2) UINT8 Source[12], Folded[12], Dest[12] = {};
  std::memcpy (Source + 1, u"Ab\u0142", 8);
  std::memcpy (Folded + 1, u"aB\u0142", 8);
  EXPECT_EQ (StringCopy (Dest + 1, Source + 1, kAll, 1, 1), Dest + 1);
  EXPECT_EQ (std::memcmp (Dest + 1, Source + 1, 8), 0);
  EXPECT_EQ (Dest[9], 0);
  EXPECT_EQ (StringCompare (Source + 1, Folded + 1, kAll, 0x20, 1, 1), 0);
  EXPECT_EQ (StringCompare (Source + 1, Folded + 1, 4, 0, 1, 1), 'A' - 'a');
}

}  // namespace
