// SPDX-License-Identifier: BSD-2-Clause-Patent
// The format engine: parsing, conversions, argument slots, the maximum
// count and the character widths.
#include "tests/console/FormatHarness.h"

#include "tests/CaseName.h"
#include "testkit/FormatCases.h"

#include <algorithm>
#include <cstring>

// Rows by name in failure messages.
void PrintTo (const FORMAT_CASE &Row, std::ostream *Os) { *Os << Row.Name; }

using namespace fmtest;

namespace {

const char16_t kWideAb[] = u"AB\u0142";

class Conversions : public ::testing::TestWithParam<Case> {};
TEST_P (Conversions, ProduceExactText) { ExpectFormats (GetParam ()); }

// Rows that cannot be plain data of the shared table: a million spaces.
INSTANTIATE_TEST_SUITE_P (
  Integers, Conversions,
  ::testing::Values (Case{"WidthOfMillionSpaces", "%1234567d", {1}, std::string (1234566, ' ') + "1"}),
  CaseName ());

// The shared case table, which the probe runs in firmware too: the text,
// the result and what %n stored, then the probe's own verdict over the
// same row, which also runs it without an output routine.
std::u16string ExpectedUnits (const FORMAT_CASE &Row)
{
  if (Row.Format16 != nullptr) {
    return std::u16string (Row.Expected16, Row.Length);
  }
  return Widened (std::string (Row.Expected8, Row.Length));
}

std::u16string Received (const FORMAT_CASE_RUN &Run)
{
  return std::u16string (reinterpret_cast<const char16_t *> (Run.Text), std::min (Run.Length, kFormatCaseTextUnits));
}

class SharedCases : public ::testing::TestWithParam<FORMAT_CASE> {};

TEST_P (SharedCases, ProduceExactText)
{
  const FORMAT_CASE &Row = GetParam ();
  FORMAT_CASE_RUN    Run;
  const UINT32       Found = CheckFormatCase (FormatOutput, Row, Run);
  EXPECT_EQ (Narrow (Received (Run)), Narrow (ExpectedUnits (Row)));
  EXPECT_EQ (Received (Run), ExpectedUnits (Row));
  EXPECT_EQ (Run.Length, Row.Length);
  EXPECT_EQ (Run.Result, Row.Length);
  EXPECT_EQ (Run.Data.Count, Row.Stored);
  EXPECT_EQ (Found, 0u);
}

INSTANTIATE_TEST_SUITE_P (Table, SharedCases, ::testing::ValuesIn (kFormatCases, kFormatCases + kFormatCaseCount),
                          CaseName ());

// The probe's verdict catches each kind of difference, and only it.
using formatcases::Row16;
using formatcases::Row8;
constexpr UINT32 kTextAndCounts = kFormatCaseTextDiffers | kFormatCaseResultDiffers | kFormatCaseCountOnlyDiffers;

struct VerdictCase {
  const char  *Name;
  FORMAT_CASE  Row;
  UINT32       Found;
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};
TEST_P (Verdicts, NameWhatDiffers)
{
  FORMAT_CASE_RUN Run;
  EXPECT_EQ (CheckFormatCase (FormatOutput, GetParam ().Row, Run), GetParam ().Found);
}

INSTANTIATE_TEST_SUITE_P (
  Mismatches, Verdicts,
  ::testing::Values (
    VerdictCase{"OtherDigit", Row8 ("", "%d", "43", 42), kFormatCaseTextDiffers},
    VerdictCase{"ShorterText", Row8 ("", "%d", "4", 42), kTextAndCounts},
    VerdictCase{"UnexpectedStore", Row8 ("", "ab%n", "ab", formatcases::kCount),
                kFormatCaseStoreDiffers | kFormatCaseCountOnlyDiffers},
    VerdictCase{"OtherHighUnit", Row16 ("", u"\u0142", u"\u0143"), kFormatCaseTextDiffers},
    VerdictCase{"HighByteWidenedWithSign", Row8 ("", "\xE9", "\xE9"), 0u},
    // More than the run's buffer holds: kept out of its neighbours, and a mismatch.
    VerdictCase{"LongerThanTheBuffer", Row8 ("", "%200d", "1", 1), kTextAndCounts}),
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
