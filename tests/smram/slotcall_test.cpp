// SPDX-License-Identifier: BSD-2-Clause-Patent
// Call descriptions of the SMRAM lane: what the probe refuses to act on,
// and that binding hands out addresses inside the description, runs the
// callbacks over its Data, and leaves Data as it would be anywhere else.
#include "smram/SlotCall.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

SLOT_CALL MakeCall (LIB_SLOT Slot)
{
  SLOT_CALL Call {};
  Call.Slot = static_cast<UINT32> (Slot);
  return Call;
}

TEST (SlotCall, RefusesWhatWouldReachOutsideItsData)
{
  struct CASE {
    const char *Name;
    void (*Apply) (SLOT_CALL &);
  };
  const CASE Cases[] = {
    {"slot 0 loads images", [] (SLOT_CALL &C) { C.Slot = 0; }},
    {"a get slot waits for COM1", [] (SLOT_CALL &C) { C.Slot = static_cast<UINT32> (LIB_SLOT::GetCharB); }},
    {"slot past the table", [] (SLOT_CALL &C) { C.Slot = static_cast<UINT32> (LIB_SLOT::Count); }},
    {"too many arguments", [] (SLOT_CALL &C) { C.ArgCount = kSlotCallMaxArgs + 1; }},
    {"reference past Data", [] (SLOT_CALL &C) { C.Args[0] = kSlotCallDataSize; }},
    {"unknown argument kind", [] (SLOT_CALL &C) { C.Kinds[0] = 9; }},
    {"slot routine past the table",
     [] (SLOT_CALL &C) { C.Kinds[0] = static_cast<UINT8> (SLOT_ARG::LibSlot); C.Args[0] = 13; }},
    {"fixup not 8-byte aligned", [] (SLOT_CALL &C) { C.FixupCount = 1; C.Fixups[0] = 4; }},
    {"fixup field past Data", [] (SLOT_CALL &C) { C.FixupCount = 1; C.Fixups[0] = kSlotCallDataSize - 4; }},
    {"fixup holding an offset past Data",
     [] (SLOT_CALL &C) { C.FixupCount = 1; UINT64 V = kSlotCallDataSize; std::memcpy (C.Data, &V, 8); }},
    {"sink running past Data", [] (SLOT_CALL &C) { C.SinkOffset = kSlotCallDataSize - 2; C.SinkCapacity = 2; }},
  };
  SLOT_CALL Good = MakeCall (LIB_SLOT::StringCopy);
  Good.ArgCount  = 1;
  Good.Kinds[0]  = static_cast<UINT8> (SLOT_ARG::DataRef);
  ASSERT_TRUE (slotcall::Valid (&Good));
  for (const CASE &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SLOT_CALL Call = Good;
    Case.Apply (Call);
    EXPECT_FALSE (slotcall::Valid (&Call));
  }
}

// Stand-ins for slots, seeing what a real slot would.
UINT8 *mData;

UINT64 EFIAPI FakeFormat (UINT64 Output, UINT64 Max, UINT64 Wide, UINT64 Format, UINT64 Args, UINT64)
{
  auto Put = reinterpret_cast<FORMAT_OUTPUT_ROUTINE> (Output);
  auto Text = reinterpret_cast<const char *> (*reinterpret_cast<UINT64 *> (Args));  // first VA slot
  EXPECT_EQ (reinterpret_cast<UINT8 *> (Format), mData);
  for (; *Text != 0; Text++) {
    Put (static_cast<CHAR16> (*Text));
  }
  Put (0x263A);
  return 0xDEAD000000000000ULL | (Max + Wide);  // only the low 32 bits are the result
}

UINT64 EFIAPI FakeScan (UINT64 Input, UINT64, UINT64, UINT64, UINT64, UINT64)
{
  auto Get = reinterpret_cast<SCAN_INPUT_ROUTINE> (Input);
  INT32 Counter = 0;
  UINT64 Sum = 0;
  while (UINTN Ch = Get (&Counter)) {
    Sum = Sum * 256 + Ch;
  }
  EXPECT_EQ (Get (&Counter), 0u);  // asking again after the end is allowed
  return Sum;
}

UINT64 EFIAPI FakeCopy (UINT64 Dest, UINT64, UINT64, UINT64, UINT64, UINT64)
{
  return Dest;
}

UINT64 EFIAPI FakeCompare (UINT64, UINT64, UINT64, UINT64, UINT64, UINT64)
{
  return 0x12345678FFFFFFFEULL;  // INT32 -2 with garbage above
}

LIB_SERVICES_PROTOCOL FakeLib ()
{
  LIB_SERVICES_PROTOCOL Lib {};
  Lib.FormatOutput  = reinterpret_cast<LIB_FORMAT_OUTPUT> (&FakeFormat);
  Lib.ScanInput     = reinterpret_cast<LIB_SCAN_INPUT> (&FakeScan);
  Lib.StringCopy    = reinterpret_cast<LIB_STRING_COPY> (&FakeCopy);
  Lib.StringCompare = reinterpret_cast<LIB_STRING_COMPARE> (&FakeCompare);
  return Lib;
}

TEST (SlotCall, BindsArgumentsIntoDataAndRestoresIt)
{
  static SLOT_CALL Call = MakeCall (LIB_SLOT::FormatOutput);
  std::memcpy (Call.Data, "%a", 3);
  std::memcpy (Call.Data + 8, "hi", 3);
  UINT64 Slot0 = 8;                       // the VA slot holds the offset of "hi"
  std::memcpy (Call.Data + 16, &Slot0, 8);
  Call.FixupCount = 1;
  Call.Fixups[0]  = 16;
  Call.SinkOffset = 32;
  Call.SinkCapacity = 2;                  // one unit short: the last is dropped
  const UINT8 Kinds[] = {2, 0, 0, 1, 1};
  const UINT64 Args[] = {0, 5, 1, 0, 16};
  Call.ArgCount = 5;
  std::memcpy (Call.Kinds, Kinds, sizeof (Kinds));
  std::memcpy (Call.Args, Args, sizeof (Args));
  ASSERT_TRUE (slotcall::Valid (&Call));
  SLOT_CALL Before = Call;

  LIB_SERVICES_PROTOCOL Lib = FakeLib ();
  mData = Call.Data;
  slotcall::Invoke (&Lib, &Call);
  EXPECT_EQ (Call.Result, 6u);
  EXPECT_EQ (Call.SinkLength, 2u);
  EXPECT_EQ (Call.SinkDropped, 1u);
  EXPECT_EQ (0, std::memcmp (Call.Data + 32, "h\0i\0", 4));
  EXPECT_EQ (0, std::memcmp (Call.Data, Before.Data, 32)) << "the VA slot is an offset again";
}

TEST (SlotCall, ReadsTheSourceAndShapesResults)
{
  LIB_SERVICES_PROTOCOL Lib = FakeLib ();
  SLOT_CALL Scan = MakeCall (LIB_SLOT::ScanInput);
  std::memcpy (Scan.Data + 40, "AB", 3);
  Scan.SourceOffset = 40;
  Scan.ArgCount = 1;
  Scan.Kinds[0] = static_cast<UINT8> (SLOT_ARG::Source);
  slotcall::Invoke (&Lib, &Scan);
  EXPECT_EQ (Scan.Result, 0x4142u);
  EXPECT_EQ (Scan.SourceReads, 4u);

  SLOT_CALL Compare = MakeCall (LIB_SLOT::StringCompare);
  slotcall::Invoke (&Lib, &Compare);
  EXPECT_EQ (static_cast<INT64> (Compare.Result), -2);

  SLOT_CALL Copy = MakeCall (LIB_SLOT::StringCopy);
  Copy.ArgCount = 1;
  Copy.Kinds[0] = static_cast<UINT8> (SLOT_ARG::DataRef);
  Copy.Args[0]  = 24;
  slotcall::Invoke (&Lib, &Copy);
  EXPECT_EQ (Copy.Result, 24u) << "a pointer into Data comes back as its offset";
  EXPECT_EQ (Copy.ResultInData, 1);
}

}  // namespace
