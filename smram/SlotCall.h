// SPDX-License-Identifier: BSD-2-Clause-Patent
// One call of a LIB_SERVICES_PROTOCOL slot, described so that it can be
// made in two places with the same inputs: inside SMM on the SMRAM copy
// (the probe driver copies the description into SMRAM first) and in DXE on
// the boot-services copy (the shell tool). Pointers inside the description
// are offsets into its own Data area; binding turns them into addresses of
// wherever the description lies, so the strings, argument slots and output
// buffers of an SMI-time call all sit in SMRAM.
//
// Two helper routines stand in for a caller's callbacks: a sink that
// stores each produced CHAR16 into Data (an output routine for
// FormatOutput) and a source that reads an 8-bit string from Data (an
// input routine for ScanInput). Each image that includes this header has
// its own copies of them and of their cursors.
#ifndef SMRAM_SLOT_CALL_H_
#define SMRAM_SLOT_CALL_H_

#include <LibServices.h>

inline constexpr UINT32 kSlotCallMaxArgs   = 6;
inline constexpr UINT32 kSlotCallMaxFixups = 24;
inline constexpr UINT32 kSlotCallDataSize  = 2048;

enum class SLOT_ARG : UINT8 {
  Value   = 0,  // passed as it is
  DataRef = 1,  // an offset into Data, passed as its address
  Sink    = 2,  // the sink routine
  Source  = 3,  // the source routine
  LibSlot = 4,  // the routine in this slot of the same protocol table
};

// Slots by their index after the two header fields.
enum class LIB_SLOT : UINT32 {
  RegisterImageInSmm = 0,
  GetCharA,
  PutCharA,
  PutCharB,
  GetCharB,
  PutCharC,
  FormatOutput,
  ScanInput,
  StringCopy,
  StringCompare,
  HeapAllocFree,
  IoRead,
  IoWrite,
  Count
};

// A slot's index ties to the header's member: the slots follow the two
// 32-bit header fields as an array of pointers (SlotRoutine reads them so).
inline constexpr UINTN SlotOffset (LIB_SLOT Slot)
{
  return EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, RegisterImageInSmm) + sizeof (VOID *) * static_cast<UINTN> (Slot);
}

static_assert (SlotOffset (LIB_SLOT::RegisterImageInSmm) == 8, "the slots follow Revision and Size");
static_assert (SlotOffset (LIB_SLOT::GetCharA) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, GetCharA));
static_assert (SlotOffset (LIB_SLOT::PutCharA) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharA));
static_assert (SlotOffset (LIB_SLOT::PutCharB) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharB));
static_assert (SlotOffset (LIB_SLOT::GetCharB) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, GetCharB));
static_assert (SlotOffset (LIB_SLOT::PutCharC) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharC));
static_assert (SlotOffset (LIB_SLOT::FormatOutput) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, FormatOutput));
static_assert (SlotOffset (LIB_SLOT::ScanInput) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, ScanInput));
static_assert (SlotOffset (LIB_SLOT::StringCopy) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, StringCopy));
static_assert (SlotOffset (LIB_SLOT::StringCompare) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, StringCompare));
static_assert (SlotOffset (LIB_SLOT::HeapAllocFree) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, HeapAllocFree));
static_assert (SlotOffset (LIB_SLOT::IoRead) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, IoRead));
static_assert (SlotOffset (LIB_SLOT::IoWrite) == EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, IoWrite));
static_assert (SlotOffset (LIB_SLOT::Count) == sizeof (LIB_SERVICES_PROTOCOL), "IoWrite is the last slot");

struct SLOT_CALL {
  UINT32 Slot;
  UINT32 ArgCount;
  UINT64 Args[kSlotCallMaxArgs];
  UINT8  Kinds[kSlotCallMaxArgs];
  UINT16 FixupCount;
  // Offsets of 8-byte fields in Data that hold Data offsets (pointers in
  // a VA_LIST, for instance) and are bound like DataRef arguments.
  UINT16 Fixups[kSlotCallMaxFixups];
  UINT32 SinkOffset;      // where the sink stores CHAR16 units
  UINT32 SinkCapacity;    // in CHAR16 units
  UINT32 SinkLength;      // out: units stored
  UINT32 SinkDropped;     // out: units that did not fit
  UINT32 SourceOffset;    // the source's NUL-terminated 8-bit string
  UINT32 SourceReads;     // out: how often the source was called
  UINT64 Result;          // out: the slot's result, widened by its type
  UINT8  ResultInData;    // out: 1 when Result was an address in Data, now an offset
  UINT8  Reserved[7];
  alignas (8) UINT8 Data[kSlotCallDataSize];
};

static_assert (sizeof (SLOT_CALL) % 8 == 0, "SLOT_CALL keeps 8-byte fields aligned in arrays");

namespace slotcall {

// Whether a description may name each slot (not slot 0, which loads
// images, and not the get slots, which wait for COM1 input), and how the
// slot's result comes back in RAX: only the low bytes of a narrower
// result are defined.
struct SLOT_TYPE {
  LIB_SLOT Slot;  // the row's own slot, checked against its index below
  bool     Callable;
  UINT8    Bits;
  bool     Signed;
  bool     Pointer;
};

inline constexpr SLOT_TYPE kSlotTypes[static_cast<UINT32> (LIB_SLOT::Count)] = {
  {LIB_SLOT::RegisterImageInSmm, false, 64, false, true},  // handle
  {LIB_SLOT::GetCharA, false, 64, false, false},
  {LIB_SLOT::PutCharA, true, 0, false, false},             // VOID
  {LIB_SLOT::PutCharB, true, 0, false, false},
  {LIB_SLOT::GetCharB, false, 64, false, false},
  {LIB_SLOT::PutCharC, true, 0, false, false},
  {LIB_SLOT::FormatOutput, true, 32, false, false},        // UINT32
  {LIB_SLOT::ScanInput, true, 64, true, false},            // INTN
  {LIB_SLOT::StringCopy, true, 64, false, true},           // Dest
  {LIB_SLOT::StringCompare, true, 32, true, false},        // INT32
  {LIB_SLOT::HeapAllocFree, true, 64, false, true},        // block
  {LIB_SLOT::IoRead, true, 32, false, false},              // UINT32
  {LIB_SLOT::IoWrite, true, 64, false, false},             // EFI_STATUS
};

inline constexpr bool SlotTypesInSlotOrder ()
{
  for (UINT32 Index = 0; Index < static_cast<UINT32> (LIB_SLOT::Count); Index++) {
    if (static_cast<UINT32> (kSlotTypes[Index].Slot) != Index) {
      return false;
    }
  }
  return true;
}

static_assert (SlotTypesInSlotOrder (), "kSlotTypes lists each slot at its own index");

// The routine in a slot: the slots follow the two 32-bit header fields as
// an array of pointers.
inline VOID *SlotRoutine (CONST LIB_SERVICES_PROTOCOL *Lib, UINT64 Slot)
{
  return reinterpret_cast<VOID *CONST *> (&Lib->RegisterImageInSmm)[Slot];
}

inline UINT64 Normalize (UINT32 Slot, UINT64 Raw)
{
  SLOT_TYPE Type = kSlotTypes[Slot];
  if (Type.Bits == 0) {
    return 0;
  }
  if (Type.Bits == 32) {
    return Type.Signed ? static_cast<UINT64> (static_cast<INT64> (static_cast<INT32> (Raw)))
                       : static_cast<UINT32> (Raw);
  }
  return Raw;
}

// The callbacks work on one call at a time.
inline constinit SLOT_CALL *mActive = nullptr;

inline VOID EFIAPI Sink (IN CHAR16 Ch)
{
  SLOT_CALL *Call = mActive;
  if (Call->SinkLength < Call->SinkCapacity) {
    UINT8 *At = Call->Data + Call->SinkOffset + 2 * Call->SinkLength;
    At[0] = static_cast<UINT8> (Ch);
    At[1] = static_cast<UINT8> (Ch >> 8);
    Call->SinkLength++;
  } else {
    Call->SinkDropped++;
  }
}

inline UINTN EFIAPI Source (IN INT32 *Counter)
{
  (void)Counter;
  SLOT_CALL *Call = mActive;
  Call->SourceReads++;
  if (Call->SourceOffset >= kSlotCallDataSize || Call->Data[Call->SourceOffset] == 0) {
    return 0;
  }
  return Call->Data[Call->SourceOffset++];
}

// Checks what a description may point at: every offset inside Data, the
// sink's buffer too, and a slot that can be called this way.
inline bool Valid (CONST SLOT_CALL *Call)
{
  if (Call->Slot >= static_cast<UINT32> (LIB_SLOT::Count) || !kSlotTypes[Call->Slot].Callable ||
      Call->ArgCount > kSlotCallMaxArgs || Call->FixupCount > kSlotCallMaxFixups ||
      Call->SourceOffset > kSlotCallDataSize || Call->SinkOffset > kSlotCallDataSize ||
      Call->SinkCapacity > (kSlotCallDataSize - Call->SinkOffset) / 2) {
    return false;
  }
  for (UINT32 Index = 0; Index < Call->ArgCount; Index++) {
    auto Kind = static_cast<SLOT_ARG> (Call->Kinds[Index]);
    if (Kind > SLOT_ARG::LibSlot || (Kind == SLOT_ARG::DataRef && Call->Args[Index] >= kSlotCallDataSize) ||
        (Kind == SLOT_ARG::LibSlot && Call->Args[Index] >= static_cast<UINT32> (LIB_SLOT::Count))) {
      return false;
    }
  }
  for (UINT32 Index = 0; Index < Call->FixupCount; Index++) {
    UINT32 At = Call->Fixups[Index];
    if (At % 8 != 0 || At > kSlotCallDataSize - 8 ||
        *reinterpret_cast<CONST UINT64 *> (Call->Data + At) >= kSlotCallDataSize) {
      return false;
    }
  }
  return true;
}

inline VOID MoveFixups (SLOT_CALL *Call, UINT64 Delta)
{
  for (UINT32 Index = 0; Index < Call->FixupCount; Index++) {
    *reinterpret_cast<UINT64 *> (Call->Data + Call->Fixups[Index]) += Delta;
  }
}

// Makes the call on Lib with the description at Call (which must have
// passed Valid), then puts the Data fields back to offsets so that the
// same call made elsewhere leaves byte-identical Data.
inline VOID Invoke (CONST LIB_SERVICES_PROTOCOL *Lib, SLOT_CALL *Call)
{
  UINT64 Base = reinterpret_cast<UINT64> (Call->Data);
  UINT64 Args[kSlotCallMaxArgs] = {};
  for (UINT32 Index = 0; Index < Call->ArgCount; Index++) {
    switch (static_cast<SLOT_ARG> (Call->Kinds[Index])) {
      case SLOT_ARG::Value:
        Args[Index] = Call->Args[Index];
        break;
      case SLOT_ARG::DataRef:
        Args[Index] = Base + Call->Args[Index];
        break;
      case SLOT_ARG::Sink:
        Args[Index] = reinterpret_cast<UINT64> (&Sink);
        break;
      case SLOT_ARG::Source:
        Args[Index] = reinterpret_cast<UINT64> (&Source);
        break;
      case SLOT_ARG::LibSlot:
        Args[Index] = reinterpret_cast<UINT64> (SlotRoutine (Lib, Call->Args[Index]));
        break;
    }
  }
  Call->SinkLength  = 0;
  Call->SinkDropped = 0;
  Call->SourceReads = 0;
  mActive           = Call;
  MoveFixups (Call, Base);

  // Every slot takes at most six arguments of at most 64 bits each, so one
  // shape serves them all: surplus arguments go unread.
  using SLOT_ROUTINE = UINT64 (EFIAPI *)(UINT64, UINT64, UINT64, UINT64, UINT64, UINT64);
  auto Routine = reinterpret_cast<SLOT_ROUTINE> (SlotRoutine (Lib, Call->Slot));
  UINT64 Raw   = Routine (Args[0], Args[1], Args[2], Args[3], Args[4], Args[5]);

  MoveFixups (Call, 0 - Base);
  mActive      = nullptr;
  Call->Result = Normalize (Call->Slot, Raw);
  Call->ResultInData = 0;
  if (kSlotTypes[Call->Slot].Pointer && Call->Result >= Base && Call->Result < Base + kSlotCallDataSize) {
    Call->Result -= Base;
    Call->ResultInData = 1;
  }
}

}  // namespace slotcall

#endif
