// SPDX-License-Identifier: BSD-2-Clause-Patent
// Demo client of ServiceLib in real firmware. Started from the shell after
// the drivers, it locates LIB_SERVICES_PROTOCOL and shows every service on
// COM1: a few formatted lines (the probe's cases step runs the format
// engine's whole case table, testkit/FormatCases.h), a line read from
// COM1 and scanned, string copy and compare, the heap, and slot 0 for its
// own image; then the same output once more through the SMM instance.
// Then it shows WdtControl's status variable and protocol, leaves boot
// services (when the watchdog is armed or stopped) and shuts the machine
// down.
//
//   Demo.efi        everything
//   Demo.efi wdt    only the watchdog part and the hand-off
//
// Its COM1 output lies between two marker lines printed through ServiceLib,
// so that a test can cut exactly these bytes out of the firmware's own
// console traffic. Progress markers for the register log go to the debug
// console port.
#include <LibServices.h>
#include <WatchdogControl.h>
#include "testkit/CommandLine.h"
#include "testkit/DebugLog.h"
#include "testkit/PowerOff.h"

namespace {

constinit EFI_GUID mLibGuid      = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mSmmLibGuid   = SMM_LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mSmmBaseGuid  = EFI_SMM_BASE_PROTOCOL_GUID;
constinit EFI_GUID mWatchdogGuid = WATCHDOG_CONTROL_PROTOCOL_GUID;
constinit EFI_GUID mSetupGuid    = WDT_SETUP_VARIABLE_GUID;

constinit EFI_HANDLE            mImage = nullptr;
constinit EFI_SYSTEM_TABLE      *mSt   = nullptr;
constinit EFI_BOOT_SERVICES     *mBs   = nullptr;
constinit LIB_SERVICES_PROTOCOL *mLib  = nullptr;  // the instance that prints

FORMAT_OUTPUT_ROUTINE Out ()
{
  return reinterpret_cast<FORMAT_OUTPUT_ROUTINE> (mLib->PutCharA);
}

UINT32 Print (CONST CHAR8 *Format, ...)
{
  VA_LIST Args;
  VA_START (Args, Format);
  UINT32 Count = mLib->FormatOutput (Out (), 0xFFFFFFFF, FALSE, Format, Args);
  VA_END (Args);
  return Count;
}

UINT32 Print16 (CONST char16_t *Format, ...)
{
  VA_LIST Args;
  VA_START (Args, Format);
  UINT32 Count = mLib->FormatOutput (Out (), 0xFFFFFFFF, TRUE, Format, Args);
  VA_END (Args);
  return Count;
}

template <typename... T> VA_LIST Slots (UINT64 (&Buffer)[sizeof...(T)], T... Values)
{
  UINT32 Index = 0;
  ((Buffer[Index++] = (UINT64)(Values)), ...);
  return reinterpret_cast<VA_LIST> (Buffer);
}

VOID ShowFormat (CONST CHAR8 *Name, EFI_GUID *Guid)
{
  Print ("instance %a: revision %d, size %d\n", Name, mLib->Revision, mLib->Size);
  Print ("guid %g\nGUID %G\n", Guid, Guid);
  EFI_TIME Time = {};
  EFI_STATUS Status = mSt->RuntimeServices->GetTime (&Time, nullptr);
  Print ("GetTime %r: %t\n", Status, &Time);
  Print ("abc%d|%5d|%-5d|%05d\n", 42, 42, 42, 42);
  Print ("%s|%5s|%-5s|%.2s|%5.2s|%05s\n", "abc", "abc", "abc", "abc", "abc", "abc");
  Print ("%r|%r|%r|%r|%r|%r\n", EFI_SUCCESS, EFI_WARN_BUFFER_TOO_SMALL, 5ULL, EFI_LOAD_ERROR, EFI_ACCESS_DENIED,
         EFI_PROTOCOL_ERROR);
  Print16 (u"wide: %d|%5s|%-4s|%c|%x|%S|%a|%r|%g\n", 42, u"ab", u"cd", u'W', 0xBEEF, u"S16", u"a16", EFI_SUCCESS,
           Guid);
}

VOID ShowStrings ()
{
  CHAR8  Buffer[16];
  CHAR16 Wide[8];
  mLib->StringCopy (Buffer, "copy me", sizeof (Buffer), TRUE, FALSE);
  mLib->StringCopy (Wide, u"wide", 8, TRUE, TRUE);
  Print ("StringCopy: %a|%S|", Buffer, Wide);
  mLib->StringCopy (Buffer, "........", 9, TRUE, FALSE);
  mLib->StringCopy (Buffer, "abcdef", 3, FALSE, FALSE);
  Print ("%a\n", Buffer);

  constexpr UINTN kAll = ~static_cast<UINTN> (0);
  Print ("StringCompare: %d %d %d %d %d %d %d\n",
         mLib->StringCompare ("abc", "ABD", 3, 0x20, TRUE, FALSE),
         mLib->StringCompare ("abc", "ABD", kAll, 0x20, TRUE, FALSE),
         mLib->StringCompare ("z", "a", 5, 0, TRUE, FALSE),
         mLib->StringCompare ("z", "a", kAll, 0, TRUE, FALSE),
         mLib->StringCompare ("abc", "abcd", kAll, 0, TRUE, FALSE),
         mLib->StringCompare ("ab\0x", "ab\0y", 4, 0, FALSE, FALSE),
         mLib->StringCompare (u"Hello", u"hELLO", kAll, 0x20, TRUE, TRUE));
}

CONST CHAR8 *OkOrNull (CONST VOID *Pointer)
{
  return Pointer != nullptr ? "ok" : "NULL";
}

VOID ShowHeap ()
{
  auto *First  = static_cast<UINT8 *> (mLib->HeapAllocFree (nullptr, 100));
  auto *Second = static_cast<UINT8 *> (mLib->HeapAllocFree (nullptr, 200));
  Print ("heap: alloc 100 %a, alloc 200 %a, distance %d\n", OkOrNull (First), OkOrNull (Second),
         static_cast<INT32> (Second - First));
  VOID *Freed = mLib->HeapAllocFree (First, 0);
  VOID *Again = mLib->HeapAllocFree (nullptr, 50);
  Print ("heap: free returns the block %a, alloc 50 reuses it %a\n", Freed == First ? "yes" : "no",
         Again == First ? "yes" : "no");
  Print ("heap: (NULL, 0) %a, (block, 5) %a\n", OkOrNull (mLib->HeapAllocFree (nullptr, 0)),
         OkOrNull (mLib->HeapAllocFree (Second, 5)));
  mLib->HeapAllocFree (Again, 0);
  mLib->HeapAllocFree (Second, 0);
}

// Slots 11 and 12 on the UART's scratch register: the boot-services
// instance reaches it through CPU I/O, the SMM instance through SmmIo.
VOID ShowPortIo (CONST CHAR8 *Name)
{
  EFI_STATUS Status = mLib->IoWrite (0x3FF, 0xA5, 0);
  UINT32     Value  = mLib->IoRead (0x3FF, 0);
  Print ("IoWrite 0x3FF 0xA5: %r, IoRead 0x3FF: 0x%02x\n", Status, Value);
  LogLine (kLogDemoPortIo, Name, Status, Value);
}

VOID ShowServices (LIB_SERVICES_PROTOCOL *Lib, CONST CHAR8 *Name, EFI_GUID *Guid)
{
  mLib = Lib;
  ShowFormat (Name, Guid);
  ShowPortIo (Name);
  ShowStrings ();
  ShowHeap ();
}

// A line typed on COM1, scanned with GetCharA as the input routine. The
// firmware's console polls COM1 too, from its timer; at TPL_HIGH_LEVEL it
// cannot run, so every byte of the line reaches the scan engine.
VOID ReadInput ()
{
  INT64  First  = 0;
  INT32  Second = 0;
  INT64  Third  = 0;
  CHAR8  Word[32] = {};
  INT32  Consumed = 0;
  UINT64 Args[5];

  EFI_TPL OldTpl = mBs->RaiseTPL (TPL_HIGH_LEVEL);
  Print ("input> ");
  INTN Assigned = mLib->ScanInput (reinterpret_cast<SCAN_INPUT_ROUTINE> (mLib->GetCharA), 0, FALSE,
                                   "%d %ld %x %s%n", Slots (Args, &First, &Second, &Third, Word, &Consumed));
  mBs->RestoreTPL (OldTpl);
  Print ("\nScanInput: %lld assignments: %lld %d %lld '%a', consumed %d\n", Assigned, First, Second, Third, Word,
         Consumed);
}

// Slot 0 for the demo's own image. The demo is an application, so its
// "SMM copy" is a second run of this program that sees InSmm TRUE, prints
// one line through the SMM instance and returns; slot 0 then hands back
// the handle of that copy.
VOID ShowSlotZero (EFI_SMM_BASE_PROTOCOL *SmmBase)
{
  if (SmmBase == nullptr) {
    Print ("slot 0: no SMM Base protocol\n");
    return;
  }
  EFI_HANDLE Handle = mLib->RegisterImageInSmm (mImage, mSt, SmmBase);
  Print ("slot 0 for this application: %a\n",
         Handle == nullptr ? "NULL" : Handle == mImage ? "own handle" : "handle of the SMM copy");
}

EFI_STATUS RunAsSmmCopy ()
{
  if (EFI_ERROR (mBs->LocateProtocol (&mSmmLibGuid, nullptr, reinterpret_cast<VOID **> (&mLib)))) {
    return EFI_NOT_FOUND;
  }
  Print ("  SMM copy of the demo: started with InSmm TRUE, printing through the SMM instance\n");
  return EFI_SUCCESS;
}

VOID ShowWatchdog (BOOLEAN TryStart)
{
  Print ("WdtControl:\n");
  UINT16     Value      = 0;
  UINTN      Size       = sizeof (Value);
  UINT32     Attributes = 0;
  EFI_STATUS Status     = mSt->RuntimeServices->GetVariable (Str16 (u"WdtControlStatus"), &mSetupGuid, &Attributes,
                                                             &Size, &Value);
  Print ("WdtControlStatus: %r, %d bytes, attributes %x, value 0x%04x (bit 0: %d, timeout register: %d)\n", Status,
         Size, Attributes, Value, Value & 1, Value >> 1);
  LogLine (kLogDemoStatusVariable, Status, Size, Attributes, Value);

  WATCHDOG_CONTROL_PROTOCOL *Watchdog = nullptr;
  Status = mBs->LocateProtocol (&mWatchdogGuid, nullptr, reinterpret_cast<VOID **> (&Watchdog));
  Print ("WATCHDOG_CONTROL_PROTOCOL: %r\n", Status);
  if (EFI_ERROR (Status)) {
    return;
  }
  UINT8 Enabled = 0xFF;
  Status        = Watchdog->GetState (Watchdog, &Enabled);
  Print ("GetState: %r, enabled %d\n", Status, Enabled);
  LogLine (kLogDemoGetState, Status, Enabled);
  if (TryStart) {
    LogLine (kLogDemoStartCall);
    Status = Watchdog->Start (Watchdog);
    LogLine (kLogDemoStartReturned);
    Print ("Start: %r\n", Status);
    LogLine (kLogDemoStart, Status);
  }
}

BOOLEAN WatchdogOnly ()
{
  COMMAND_LINE Line;
  if (!GetCommandLine (mBs, mImage, Line)) {
    return FALSE;
  }
  NextWord (Line.Cursor, Line.End);  // the program's own name
  for (CONST CHAR16 *Word = NextWord (Line.Cursor, Line.End); Word != nullptr;
       Word               = NextWord (Line.Cursor, Line.End)) {
    if (WordIs (Word, "wdt")) {
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI DemoMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  mImage = ImageHandle;
  mSt    = SystemTable;
  mBs    = SystemTable->BootServices;

  EFI_SMM_BASE_PROTOCOL *SmmBase = nullptr;
  BOOLEAN                InSmm   = FALSE;
  if (!EFI_ERROR (mBs->LocateProtocol (&mSmmBaseGuid, nullptr, reinterpret_cast<VOID **> (&SmmBase)))) {
    SmmBase->InSmm (SmmBase, &InSmm);
  }
  if (InSmm) {
    return RunAsSmmCopy ();
  }

  LIB_SERVICES_PROTOCOL *Lib = nullptr;
  if (EFI_ERROR (mBs->LocateProtocol (&mLibGuid, nullptr, reinterpret_cast<VOID **> (&Lib)))) {
    LogStr ("APP error: no LIB_SERVICES_PROTOCOL\n");
    HandOffAndPowerOff (mImage, mSt);
  }
  mLib = Lib;
  BOOLEAN Full = !WatchdogOnly ();
  LogLine (Full ? kLogDemoBegin : kLogDemoWdtBegin);
  Print ("<<<DEMO BEGIN>>>\n");
  if (Full) {
    ShowServices (Lib, "boot services", &mLibGuid);
    ReadInput ();
    ShowSlotZero (SmmBase);
    LIB_SERVICES_PROTOCOL *SmmLib = nullptr;
    EFI_STATUS Status = mBs->LocateProtocol (&mSmmLibGuid, nullptr, reinterpret_cast<VOID **> (&SmmLib));
    Print ("gSmmLibServicesProtocolGuid: %r\n", Status);
    if (!EFI_ERROR (Status)) {
      ShowServices (SmmLib, "SMM", &mSmmLibGuid);
      mLib = Lib;
    }
  }
  ShowWatchdog (!Full);
  Print ("<<<DEMO END>>>\n");
  HandOffAndPowerOff (mImage, mSt);
}
