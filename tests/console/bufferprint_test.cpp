// SPDX-License-Identifier: BSD-2-Clause-Patent
// BufferPrint and the firmware conversions built with it: GUIDs, times and
// status codes, and what NULL pointers print.
#include "tests/console/FormatHarness.h"

#include "servicelib/console/format.h"
#include "tests/CaseName.h"

#include <cstring>

using namespace fmtest;

namespace {

// b1 9f 99 87 8c d1 e9 4d b4 b6 a1 30 e6 be ed 76 in memory.
const EFI_GUID kGuid = LIB_SERVICES_PROTOCOL_GUID;
const EFI_TIME kTime = {2024, 3, 5, 7, 9, 59, 0, 0, 0, 0, 0};
const EFI_TIME kWideTime = {65535, 255, 0, 24, 100, 0, 0, 0, 0, 0, 0};

constexpr UINT64 kErr = 0x8000000000000000ull;

class Special : public ::testing::TestWithParam<Case> {};
TEST_P (Special, ProduceExactText) { ExpectFormats (GetParam ()); }

INSTANTIATE_TEST_SUITE_P (
  GuidAndTime, Special,
  ::testing::Values (Case{"GuidLower", "%g", {P (&kGuid)}, "87999fb1-d18c-4de9-b4b6-a130e6beed76"},
                     Case{"GuidUpper", "%G", {P (&kGuid)}, "87999FB1-D18C-4DE9-B4B6-A130E6BEED76"},
                     Case{"GuidWidthsAndPrecision", "%40g|%-38G|%.8g", {P (&kGuid), P (&kGuid), P (&kGuid)},
                          "    87999fb1-d18c-4de9-b4b6-a130e6beed76|87999FB1-D18C-4DE9-B4B6-A130E6BEED76  |87999fb1"},
                     Case{"Time", "%t", {P (&kTime)}, "03/05/2024  07:09"},
                     Case{"TimeWidthPrecisionAndFlags", "%5.2t|%-#+018t|", {P (&kTime), P (&kTime)},
                          "   03|03/05/2024  07:09 |"},
                     Case{"TimeLargeValuesKeepAllDigits", "%t", {P (&kWideTime)}, "255/00/65535  24:100"},
                     // The modifier does not change the text's width or how the slot is read.
                     Case{"ModifiersChangeNothing", "%lg|%hht", {P (&kGuid), P (&kTime)},
                          "87999fb1-d18c-4de9-b4b6-a130e6beed76|03/05/2024  07:09"}),
  CaseName ());

INSTANTIATE_TEST_SUITE_P (
  Status, Special,
  ::testing::Values (Case{"SuccessWarningAndUnknownWarning", "%r|%r|%r", {0, 4, 5},
                          "Success|Warning Buffer Too Small|5"},
                     Case{"ErrorNames", "%r|%r|%r", {kErr | 1, kErr | 15, kErr | 24},
                          "Load Error|Access Denied|Protocol Error"},
                     Case{"UnknownErrorsAsHex", "%r|%r|%r", {kErr | 25, kErr, 0x123456789ABCDEFull},
                          "8000000000000019|8000000000000000|123456789ABCDEF"},
                     Case{"StatusWidthPrecisionAndZeroFill", "%-12r|%.3r|%012r", {kErr | 14, 0, kErr | 13},
                          "Not Found   |Suc|Media changed"},
                     Case{"StatusModifiers", "%lr|%I32r", {0, kErr | 9}, "Success|Out of Resources"}),
  CaseName ());

TEST (StatusNames, EveryCodeOfTheTableAndNothingAround)
{
  const char *Warnings[] = {"Success", "Warning Unknown Glyph", "Warning Delete Failure", "Warning Write Failure",
                            "Warning Buffer Too Small"};
  const char *Errors[]   = {"Load Error",      "Invalid Parameter", "Unsupported",     "Bad Buffer Size",
                            "Buffer Too Small", "Not Ready",         "Device Error",    "Write Protected",
                            "Out of Resources", "Volume Corrupt",    "Volume Full",     "No Media",
                            "Media changed",    "Not Found",         "Access Denied",   "No Response",
                            "No mapping",       "Time out",          "Not started",     "Already started",
                            "Aborted",          "ICMP Error",        "TFTP Error",      "Protocol Error"};
  for (UINT64 Code = 0; Code < 5; ++Code) {
    ASSERT_NE (StatusName (Code), nullptr);
    EXPECT_STREQ (StatusName (Code), Warnings[Code]);
  }
  for (UINT64 Code = 1; Code <= 24; ++Code) {
    ASSERT_NE (StatusName (kErr | Code), nullptr);
    EXPECT_STREQ (StatusName (kErr | Code), Errors[Code - 1]);
  }
  for (UINT64 Code : {UINT64{5}, UINT64{0x7FFFFFFFFFFFFFFF}, kErr, kErr | 25, kErr | (1ull << 32) | 1, ~0ull}) {
    EXPECT_EQ (StatusName (Code), nullptr) << std::hex << Code;
  }
}

TEST (Status, SixteenBitFormatStillWritesTheEightBitText)
{
  const Output Got = Run16 (u"%r|%lr", {0, 0});
  EXPECT_EQ (Got.Chars, u"Success|Success");
  EXPECT_EQ (Got.Result, 15u);
}

TEST (BufferPrint, FillsTheBufferEndsItAndReturnsTheLength)
{
  CHAR8 Buffer[16];
  std::memset (Buffer, '#', sizeof Buffer);
  EXPECT_EQ (BufferPrint (Buffer, "%d-%s", 42, "ab"), 5u);
  EXPECT_EQ (std::string (Buffer, 7), std::string ("42-ab\0#", 7));
  EXPECT_EQ (BufferCursor, Buffer + 5);  // just past the text; the NUL is not written through it

  // 16-bit characters keep only their low byte.
  EXPECT_EQ (BufferPrint (Buffer, "%S", u"\u0142x"), 2u);
  EXPECT_EQ (std::string (Buffer), "Bx");
}

// NULL pointers for text, GUID and time print "(null)" as a text field, and
// %n with NULL stores nothing. Each still takes exactly its slot.
INSTANTIATE_TEST_SUITE_P (
  NullPointers, Special,
  ::testing::Values (Case{"EveryPointerConversion", "%s|%S|%a|%g|%G|%t|%d", {0, 0, 0, 0, 0, 0, 7},
                          "(null)|(null)|(null)|(null)|(null)|(null)|7"},
                     Case{"NullTextInFields", "%8s|%-8g|%.3t|%08S|", {0, 0, 0, 0}, "  (null)|(null)  |(nu|00(null)|"},
                     Case{"CountToNullStoresNothing", "a%nb%d", {0, 9}, "ab9"}),
  CaseName ());

TEST (NullPointers, SixteenBitFormatGetsTheSameText)
{
  const Output Got = Run16 (u"%s|%5t", {0, 0});
  EXPECT_EQ (Got.Chars, u"(null)|(null)");
}

}  // namespace
