// SPDX-License-Identifier: BSD-2-Clause-Patent
// FormatOutput's stack high-water mark, measured in the image that runs.
//
// The area below the stack pointer is painted with a pattern, one case
// runs, and the lowest byte that no longer holds the pattern is how deep
// the call went. The depth counts from the stack pointer at the call, so
// the call's own return address is its first 8 bytes: the same count as
// the build's (cmake/footprint.py), which this measurement checks. Every
// case runs once with each of two patterns, so a byte that happens to be
// written with the pattern's value cannot hide the true depth.
//
// The output routine of a case is NULL or a routine that uses no stack
// beyond its return address: the caller's own routine is outside the count.
#include "StackDepth.h"
#include "testkit/DebugLog.h"

namespace {

constexpr UINTN kPaintedBytes = 4096;  // four times the budget
// The painter's and the measured call's frames lie in this gap above the
// painted area, so that painting never overwrites a live frame.
constexpr UINTN kGapBytes   = 256;
constexpr UINT8 kPatterns[] = { 0xA5, 0x5A };

struct STACK_CASE {
  FORMAT_OUTPUT_ROUTINE Routine;  // NULL: count only
  BOOLEAN               Wide;
  CONST VOID            *Format;
  CONST UINT64          *Args;    // one 8-byte slot per argument
};

VOID EFIAPI DiscardChar (IN CHAR16 Ch)
{
  (void)Ch;
}

inline UINT8 *StackPointer ()
{
  UINT8 *Sp;
  __asm__ __volatile__ ("movq %%rsp, %0" : "=r"(Sp));
  return Sp;
}

// Byte by byte through a volatile pointer: a memset call would put its own
// frame into the area.
[[gnu::noinline]] VOID Paint (volatile UINT8 *Bottom, UINT8 Pattern)
{
  for (UINTN Index = 0; Index < kPaintedBytes; Index++) {
    Bottom[Index] = Pattern;
  }
}

// One call of the case. The frame is fixed once the prologue has run, so
// the stack pointer read here is the one at the call.
[[gnu::noinline]] UINT8 *RunCase (LIB_SERVICES_PROTOCOL *Lib, CONST STACK_CASE *Case)
{
  UINT8 *const Sp = StackPointer ();
  Lib->FormatOutput (Case->Routine, 0xFFFFFFFF, Case->Wide, Case->Format,
                     reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (Case->Args)));
  return Sp;
}

// The deepest either pattern shows, in bytes below the call's stack
// pointer; 0 when the case wrote at the very bottom of the painted area
// (it may have gone further) or nowhere in it.
[[gnu::noinline]] UINTN Measure (LIB_SERVICES_PROTOCOL *Lib, CONST STACK_CASE *Case)
{
  UINT8 *const Top     = StackPointer () - kGapBytes;
  UINT8 *const Bottom  = Top - kPaintedBytes;
  UINTN        Deepest = 0;
  for (UINT8 Pattern : kPatterns) {
    Paint (Bottom, Pattern);
    UINT8 *const CallSp = RunCase (Lib, Case);
    // No call from here on until the scan is done: its frame would land
    // in the area.
    volatile UINT8 *Byte = Bottom;
    while (Byte < Top && *Byte == Pattern) {
      Byte++;
    }
    if (Byte == Bottom || Byte == Top) {
      return 0;
    }
    const UINTN Depth = static_cast<UINTN> (CallSp - const_cast<UINT8 *> (Byte));
    Deepest           = Depth > Deepest ? Depth : Deepest;
  }
  return Deepest;
}

UINT64 Slot (CONST VOID *Pointer)
{
  return reinterpret_cast<UINTN> (Pointer);
}

}  // namespace

VOID ShowStackDepth (IN EFI_BOOT_SERVICES *BootServices, IN LIB_SERVICES_PROTOCOL *Lib)
{
  EFI_GUID         Guid    = { 0x87999FB1, 0xD18C, 0x4DE9, { 0xB4, 0xB6, 0xA1, 0x30, 0xE6, 0xBE, 0xED, 0x76 } };
  EFI_TIME         Time    = {};
  INT32            Count   = 0;
  constexpr UINT64 kNoName = 0x8000000000000019ULL;  // an error without a text of its own: built as hex
  Time.Year  = 2024;
  Time.Month = 3;
  Time.Day   = 5;

  // The texts of %g, %G, %t and %r are built by a nested engine run: the
  // deepest path. The field cases take every flag, and widths and
  // precisions past any text buffer of the engine.
  CONST UINT64 SpecialArgs[] = { Slot (&Guid), Slot (&Guid), Slot (&Time), kNoName, 0, kNoName };
  CONST UINT64 FieldArgs[]   = { 300, 70, ~0ULL, 300, 70, 1ULL << 63, 300, ~0ULL, 300, 200, Slot (u"wide"), 300,
                                 'Z', 300, ~0ULL, 300, 0xBEEF, Slot (&Count) };
  CONST CHAR8  *Special8     = "%g|%-40G|%t|%r|%.3r|%r";
  CONST CHAR16 *Special16    = Str16 (u"%g|%-40G|%t|%lr|%.3r|%r");
  CONST CHAR8  *Fields8      = "%-+#0*.*llb|% *.*lld|%#0*llo|%*.*S|%-*c|%*p|%0*X|%n";
  CONST CHAR16 *Fields16     = Str16 (u"%-+#0*.*llb|% *.*lld|%#0*llo|%*.*s|%-*c|%*p|%0*X|%n");
  const STACK_CASE Cases[]   = {
    { nullptr, FALSE, Special8, SpecialArgs },    { DiscardChar, FALSE, Special8, SpecialArgs },
    { nullptr, TRUE, Special16, SpecialArgs },    { DiscardChar, TRUE, Special16, SpecialArgs },
    { DiscardChar, FALSE, Fields8, FieldArgs },   { DiscardChar, TRUE, Fields16, FieldArgs },
  };

  constexpr UINTN kCases = sizeof (Cases) / sizeof (Cases[0]);
  UINTN           Depths[kCases];
  // A timer interrupt during a case would push its frame into the painted
  // area, read as the engine's.
  const EFI_TPL Old = BootServices->RaiseTPL (TPL_HIGH_LEVEL);
  for (UINTN Index = 0; Index < kCases; Index++) {
    Depths[Index] = Measure (Lib, &Cases[Index]);
  }
  BootServices->RestoreTPL (Old);

  UINTN Deepest = 0;
  for (UINTN Index = 0; Index < kCases; Index++) {
    if (Depths[Index] == 0) {
      LogFields (kLogProbeStackError, static_cast<UINT64> (Index + 1));
      LogStr (" could not be measured: it wrote at the bottom of the painted area, or nowhere in it\n");
      return;
    }
    Deepest = Depths[Index] > Deepest ? Depths[Index] : Deepest;
  }
  LogFields (kLogProbeStack, Deepest);
  LogStr (" (cases");
  for (UINTN Index = 0; Index < kCases; Index++) {
    LogStr (" ");
    LogDec (Depths[Index]);
  }
  LogStr (")\n");
}
