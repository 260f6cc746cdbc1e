// SPDX-License-Identifier: BSD-2-Clause-Patent
// The SMI-time call suite. Each step builds one call description; the
// probe makes it on the SMRAM copy with everything copied into SMRAM, and
// the tool makes the very same call on the boot-services copy. One line
// per step gives both results, whether the two left identical data, the
// SmmIo traffic of the SMRAM call, and what the call produced.
#include "SmramCtl.h"

namespace {

enum class WHERE : UINT8 { Smm, Bs, Both };
enum class SHOW : UINT8 { Nothing, Sink, Bytes };

constinit SLOT_CALL                   mTemplate = {};
constinit SLOT_CALL                   mSmm      = {};
constinit SLOT_CALL                   mBs       = {};
constinit CONST LIB_SERVICES_PROTOCOL *mBsLib   = nullptr;
constinit EFI_STATUS                  mFailed   = EFI_SUCCESS;

bool Same (CONST VOID *A, CONST VOID *B, UINTN Count)
{
  const auto *X = static_cast<const UINT8 *> (A);
  const auto *Y = static_cast<const UINT8 *> (B);
  for (UINTN Index = 0; Index < Count; Index++) {
    if (X[Index] != Y[Index]) {
      return false;
    }
  }
  return true;
}

// Lays out one call description in mTemplate.
class BUILDER {
public:
  explicit BUILDER (LIB_SLOT Slot)
  {
    mTemplate      = {};
    mTemplate.Slot = static_cast<UINT32> (Slot);
  }

  UINT32 Reserve (UINT32 Bytes)
  {
    UINT32 At = mUsed;
    mUsed     = (mUsed + Bytes + 7) & ~7u;
    return At;
  }

  UINT32 Object (CONST VOID *Object, UINT32 Size)
  {
    UINT32 At = Reserve (Size);
    __builtin_memcpy (mTemplate.Data + At, Object, Size);
    return At;
  }

  // An 8- or 16-bit string with its terminator.
  template <typename CharT>
  UINT32 Text (CONST CharT *Text)
  {
    UINT32 Length = 0;
    while (Text[Length] != 0) {
      Length++;
    }
    return Object (Text, sizeof (CharT) * (Length + 1));
  }

  // A VA_LIST: Count 8-byte slots.
  UINT32 VaList (UINT32 Count) { return Reserve (8 * Count); }

  VOID SetSlot (UINT32 List, UINT32 Index, UINT64 Value)
  {
    __builtin_memcpy (mTemplate.Data + List + 8 * Index, &Value, 8);
  }

  VOID SetSlotRef (UINT32 List, UINT32 Index, UINT32 Offset)
  {
    SetSlot (List, Index, Offset);
    mTemplate.Fixups[mTemplate.FixupCount++] = static_cast<UINT16> (List + 8 * Index);
  }

  BUILDER &Arg (SLOT_ARG Kind, UINT64 Value)
  {
    mTemplate.Kinds[mTemplate.ArgCount] = static_cast<UINT8> (Kind);
    mTemplate.Args[mTemplate.ArgCount++] = Value;
    return *this;
  }

  BUILDER &Value (UINT64 Value) { return Arg (SLOT_ARG::Value, Value); }
  BUILDER &Ref (UINT32 Offset) { return Arg (SLOT_ARG::DataRef, Offset); }
  BUILDER &Routine (LIB_SLOT Slot) { return Arg (SLOT_ARG::LibSlot, static_cast<UINT64> (Slot)); }

  BUILDER &Sink (UINT32 Units)
  {
    mTemplate.SinkOffset   = Reserve (2 * Units);
    mTemplate.SinkCapacity = Units;
    return Arg (SLOT_ARG::Sink, 0);
  }

  BUILDER &Source (CONST CHAR8 *Text)
  {
    mTemplate.SourceOffset = this->Text (Text);
    return Arg (SLOT_ARG::Source, 0);
  }

private:
  UINT32 mUsed = 0;
};

VOID ShowResult (CTL_LINE &Line, CONST CHAR8 *Label, CONST SLOT_CALL &Call)
{
  Line.Text (Label).Hex (Call.Result);
  if (Call.ResultInData != 0) {
    Line.Text ("@data");
  }
}

// Runs the call in mTemplate where asked and logs one line. ShowAt and
// ShowLength pick the bytes of Data to show for SHOW::Bytes.
VOID Step (CONST CHAR8 *Name, WHERE Where, SHOW Show = SHOW::Nothing, UINT32 ShowAt = 0, UINT32 ShowLength = 0)
{
  bool       RanSmm  = Where != WHERE::Bs;
  bool       RanBs   = Where != WHERE::Smm && mBsLib != nullptr;
  EFI_STATUS Status  = EFI_SUCCESS;
  UINT64     Locked  = 0;
  UINT64     Io[3]   = {};
  if (RanSmm) {
    PROBE_MESSAGE *M = Message ();
    __builtin_memcpy (M->Payload, &mTemplate, sizeof (SLOT_CALL));
    Status = SendSmi (Name, PROBE_COMMAND::Call, sizeof (SLOT_CALL));
    __builtin_memcpy (&mSmm, M->Payload, sizeof (SLOT_CALL));
    Locked = M->Locked;
    Io[0]  = M->Values[static_cast<UINT32> (CALL_VALUE::IoReads)];
    Io[1]  = M->Values[static_cast<UINT32> (CALL_VALUE::IoWrites)];
    Io[2]  = M->Values[static_cast<UINT32> (CALL_VALUE::IoWrongThis)];
    if (EFI_ERROR (Status)) {
      mFailed = Status;
    }
  }
  if (RanBs) {
    mBs = mTemplate;
    slotcall::Invoke (mBsLib, &mBs);
  }

  LogFields (kLogSmramCall, Name);
  CTL_LINE Line;
  if (RanSmm) {
    ShowResult (Line, " smm=", mSmm);
    Line.Text (" status=").Hex (Status).Text (" locked=").Dec (Locked);
    Line.Text (" io=").Dec (Io[0]).Char ('/').Dec (Io[1]).Char ('/').Dec (Io[2]);
  }
  if (RanBs) {
    ShowResult (Line, " bs=", mBs);
  }
  if (RanSmm && RanBs) {
    // The results are shown on their own; heap pointers differ by arena.
    bool DataSame = Same (&mSmm, &mBs, EFI_OFFSET_OF (SLOT_CALL, Result)) &&
                    Same (mSmm.Data, mBs.Data, sizeof (mSmm.Data));
    Line.Text (" same=").Dec (DataSame ? 1 : 0);
  }
  CONST SLOT_CALL &Shown = RanSmm ? mSmm : mBs;
  if (Show == SHOW::Sink) {
    Line.Text (" out=\"");
    for (UINT32 Index = 0; Index < Shown.SinkLength; Index++) {
      CONST UINT8 *At = Shown.Data + Shown.SinkOffset + 2 * Index;
      UINT16 Unit = static_cast<UINT16> (At[0] | (At[1] << 8));
      if (Unit >= 0x20 && Unit < 0x7F && Unit != '"' && Unit != '\\') {
        Line.Char (static_cast<CHAR8> (Unit));
      } else {
        Line.Text ("\\u").Hex (Unit, 4);
      }
    }
    Line.Text ("\"");
  } else if (Show == SHOW::Bytes) {
    Line.Text (" bytes=");
    for (UINT32 Index = 0; Index < ShowLength; Index++) {
      Line.Hex (Shown.Data[ShowAt + Index], 2);
    }
  }
  Line.End ();
}

// ---------------------------------------------------------------- steps

VOID PortIo ()
{
  constexpr UINT16 kScratch = 0x3FF;     // COM1 scratch register
  constexpr UINT16 kPciAddress = 0xCF8;  // 32-bit read/write register
  BUILDER (LIB_SLOT::IoWrite).Value (kScratch).Value (0x5A).Value (0);
  Step ("io-write8", WHERE::Smm);
  BUILDER (LIB_SLOT::IoRead).Value (kScratch).Value (0);
  Step ("io-read8", WHERE::Both);
  BUILDER (LIB_SLOT::IoWrite).Value (kScratch).Value (0xA5).Value (0);
  Step ("io-write8-bs", WHERE::Bs);
  BUILDER (LIB_SLOT::IoRead).Value (kScratch).Value (0);
  Step ("io-read8-after-bs", WHERE::Smm);
  BUILDER (LIB_SLOT::IoWrite).Value (kPciAddress).Value (0x8000F8A8).Value (2);
  Step ("io-write32", WHERE::Both);
  BUILDER (LIB_SLOT::IoRead).Value (kPciAddress).Value (2);
  Step ("io-read32", WHERE::Both);
}

// COM1 output between two markers that the boot-services copy prints.
VOID Com1 ()
{
  auto Marker = [] (CONST CHAR8 *Text, CONST CHAR8 *Name) {
    BUILDER B (LIB_SLOT::FormatOutput);
    B.Routine (LIB_SLOT::PutCharA).Value (0xFFFFFFFF).Value (0).Ref (B.Text (Text)).Value (0);
    Step (Name, WHERE::Bs);
  };
  Marker ("<<<SMRAM COM1>>>\n", "com1-begin");
  for (CONST CHAR8 *Ch = "SMM:\n"; *Ch != 0; Ch++) {
    BUILDER (LIB_SLOT::PutCharA).Value (static_cast<UINT8> (*Ch));
    Step ("com1-putchar", WHERE::Smm);
  }
  BUILDER B (LIB_SLOT::FormatOutput);
  UINT32 Args = B.VaList (4);
  B.SetSlotRef (Args, 0, B.Text ("from SMRAM"));
  B.SetSlot (Args, 1, static_cast<UINT64> (-42));
  B.SetSlot (Args, 2, 0xBEEF);
  B.SetSlot (Args, 3, '!');
  B.Routine (LIB_SLOT::PutCharA).Value (0xFFFFFFFF).Value (0).Ref (B.Text ("%a %d %x %c\n")).Ref (Args);
  Step ("com1-format", WHERE::Both);
  Marker ("<<<SMRAM COM1 END>>>\n", "com1-end");
}

VOID Format ()
{
  static constexpr EFI_GUID kGuid = LIB_SERVICES_PROTOCOL_GUID;
  static constexpr EFI_TIME kTime = {2026, 12, 8, 23, 59, 30, 0, 0, 0, 0, 0};
  {
    BUILDER B (LIB_SLOT::FormatOutput);
    UINT32 Args = B.VaList (19);
    const UINT64 Values[] = {static_cast<UINT64> (-12345), 77, 4000000000, 0xBEEF, 0xBEEF, 8, 5, 42, 0, 'Z',
                             0xFFFFFFFF12345678, 0xFFFFFFFFFFFFFFFF, 0x1234, 0, 0, 0x800000000000000E};
    for (UINT32 Index = 0; Index < sizeof (Values) / sizeof (Values[0]); Index++) {
      B.SetSlot (Args, Index, Values[Index]);
    }
    B.SetSlotRef (Args, 8, B.Text ("abc"));
    B.SetSlotRef (Args, 13, B.Object (&kGuid, sizeof (kGuid)));
    B.SetSlotRef (Args, 16, B.Object (&kTime, sizeof (kTime)));
    B.SetSlotRef (Args, 17, B.Text ("xyz"));
    UINT32 Count = B.Reserve (8);
    B.SetSlotRef (Args, 18, Count);
    UINT32 Format = B.Text ("%d|%i|%u|%x|%X|%o|%b|%08.3d|%-6s|%c|%lx|%llu|%p|%g|%r|%r|%t|%5.2a|%%|%n");
    B.Sink (256).Value (0xFFFFFFFF).Value (0).Ref (Format).Ref (Args);
    Step ("format8", WHERE::Both, SHOW::Sink);
  }
  {
    BUILDER B (LIB_SLOT::FormatOutput);
    UINT32 Args = B.VaList (6);
    B.SetSlotRef (Args, 0, B.Text (u"wide"));
    B.SetSlotRef (Args, 1, B.Text (u"S16"));
    B.SetSlot (Args, 2, static_cast<UINT64> (-7));
    B.SetSlot (Args, 3, 0x263A);
    B.SetSlotRef (Args, 4, B.Object (&kGuid, sizeof (kGuid)));
    B.SetSlot (Args, 5, 0xABC);
    B.Sink (128).Value (0xFFFFFFFF).Value (1).Ref (B.Text (u"%s|%S|%5d|%c|%G|%x")).Ref (Args);
    Step ("format16", WHERE::Both, SHOW::Sink);
  }
  {
    BUILDER B (LIB_SLOT::FormatOutput);
    UINT32 Args = B.VaList (2);
    B.SetSlot (Args, 0, 123456);
    B.SetSlot (Args, 1, 789);
    B.Sink (32).Value (7).Value (0).Ref (B.Text ("%d-%d")).Ref (Args);
    Step ("format-max", WHERE::Both, SHOW::Sink);
  }
  {
    BUILDER B (LIB_SLOT::FormatOutput);
    UINT32 Args = B.VaList (2);
    B.SetSlot (Args, 0, 12345);
    B.SetSlotRef (Args, 1, B.Text ("abc"));
    B.Value (0).Value (0xFFFFFFFF).Value (0).Ref (B.Text ("%d %s")).Ref (Args);
    Step ("format-count", WHERE::Both);
  }
}

VOID Scan ()
{
  {
    BUILDER B (LIB_SLOT::ScanInput);
    UINT32 Out  = B.Reserve (48);   // d, x, o at 0, 8, 16; c at 24; s at 32
    UINT32 Args = B.VaList (5);
    B.SetSlotRef (Args, 0, Out);
    B.SetSlotRef (Args, 1, Out + 8);
    B.SetSlotRef (Args, 2, Out + 32);
    B.SetSlotRef (Args, 3, Out + 24);
    B.SetSlotRef (Args, 4, Out + 16);
    B.Source ("  -42 0x1f hello Z 777").Value (0).Value (0).Ref (B.Text ("%d %x %s %c %o")).Ref (Args);
    Step ("scan8", WHERE::Both, SHOW::Bytes, Out, 48);
  }
  {
    BUILDER B (LIB_SLOT::ScanInput);
    UINT32 Out  = B.Reserve (16);   // h at 0, l at 4, n at 8
    UINT32 Args = B.VaList (3);
    B.SetSlotRef (Args, 0, Out);
    B.SetSlotRef (Args, 1, Out + 4);
    B.SetSlotRef (Args, 2, Out + 8);
    B.Source ("123 456 789 abc").Value (0).Value (0).Ref (B.Text ("%hd %lx %*d %n")).Ref (Args);
    Step ("scan-modifiers", WHERE::Both, SHOW::Bytes, Out, 16);
  }
}

VOID Strings ()
{
  {
    BUILDER B (LIB_SLOT::StringCopy);
    UINT32 Dest = B.Reserve (24);
    B.Ref (Dest).Ref (B.Text ("SMRAM copy")).Value (24).Value (1).Value (0);
    Step ("copy8", WHERE::Both, SHOW::Bytes, Dest, 24);
  }
  {
    BUILDER B (LIB_SLOT::StringCopy);
    UINT32 Dest = B.Reserve (16);
    B.Ref (Dest).Ref (B.Text (u"Wide")).Value (8).Value (1).Value (1);
    Step ("copy16", WHERE::Both, SHOW::Bytes, Dest, 16);
  }
  struct COMPARE {
    CONST CHAR8 *Name;
    CONST CHAR8 *S1;
    CONST CHAR8 *S2;
    UINT64      Count;
    UINT8       Fold;
  };
  static constexpr COMPARE kCompares[] = {
    {"compare-fold", "abc", "ABD", 3, 0x20},
    {"compare-exact", "z", "a", 5, 0},
    {"compare-unbounded", "abc", "abcd", ~0ULL, 0},
  };
  for (CONST COMPARE &C : kCompares) {
    BUILDER B (LIB_SLOT::StringCompare);
    B.Ref (B.Text (C.S1)).Ref (B.Text (C.S2)).Value (C.Count).Value (C.Fold).Value (1).Value (0);
    Step (C.Name, WHERE::Both);
  }
  BUILDER B (LIB_SLOT::StringCompare);
  B.Ref (B.Text (u"Same")).Ref (B.Text (u"Same")).Value (~0ULL).Value (0).Value (1).Value (1);
  Step ("compare16", WHERE::Both);
}

// Allocations in each copy's own arena; the pointers differ between the
// copies, the pattern must not.
VOID Heap ()
{
  UINT64 A[2], Bk[2];
  auto Alloc = [] (CONST CHAR8 *Name, UINT64 Size, UINT64 *Out) {
    BUILDER (LIB_SLOT::HeapAllocFree).Value (0).Value (Size);
    Step (Name, WHERE::Both);
    Out[0] = mSmm.Result;
    Out[1] = mBs.Result;
  };
  auto Free = [] (CONST CHAR8 *Name, CONST UINT64 *Block) {
    BUILDER (LIB_SLOT::HeapAllocFree).Value (Block[0]).Value (0);
    Step (Name, WHERE::Smm);
    BUILDER (LIB_SLOT::HeapAllocFree).Value (Block[1]).Value (0);
    Step (Name, WHERE::Bs);
  };
  Alloc ("heap-alloc-a", 100, A);
  LogDxeRead ("heap-block", A[0]);
  Alloc ("heap-alloc-b", 200, Bk);
  Free ("heap-free-a", A);
  Free ("heap-free-a-again", A);
  UINT64 C[2];
  Alloc ("heap-alloc-c", 50, C);
  Free ("heap-free-b", Bk);
  Free ("heap-free-c", C);
}

}  // namespace

EFI_STATUS RunCallSuite (CONST LIB_SERVICES_PROTOCOL *BsLib)
{
  mBsLib  = BsLib;
  mFailed = EFI_SUCCESS;
  PortIo ();
  Com1 ();
  Format ();
  Scan ();
  Strings ();
  Heap ();
  return mFailed;
}
