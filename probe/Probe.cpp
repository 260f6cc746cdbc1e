// SPDX-License-Identifier: BSD-2-Clause-Patent
// Probe: a small ServiceLib client for the real-firmware scenarios, with
// the steps chosen on its command line. It picks one instance of
// LIB_SERVICES_PROTOCOL, prints everything it finds through that
// instance's PutCharA between two marker lines (so a test can cut exactly
// those COM1 bytes out of the firmware's own console traffic), logs the
// same facts to the debug console, and may end the run.
//
//   Probe.efi [bs|smm] [print] [scratch] [wdt] [stack] [cases] [interrupt] [off]
//
//   bs        the boot-services instance (the default)
//   smm       the SMM instance that the SMM copy of ServiceLib installed on
//             its own image handle, whatever else is installed under the GUID
//   print     the instance's revision and size, and one formatted line
//   scratch   the UART scratch register (0x3FF) written with IoWrite and
//             read back with IoRead, twice: only port I/O that reaches the
//             hardware reads back both patterns
//   wdt       what WdtControl left behind: the Setup variable it reads, its
//             status variable and protocol, and loaded images of it, loaded
//             from a file or dispatched from a firmware volume
//   stack     FormatOutput's stack high-water mark over its worst cases, on
//             the debug console only (StackDepth.cpp)
//   cases     every row of the format engine's case table
//             (testkit/FormatCases.h) through the instance's FormatOutput
//             into memory, each mismatch and a summary on the debug
//             console only
//   interrupt a notification that prints and scans, signalled by the
//             fixture right after the probe's own PutCharA opens the divisor
//             latch (0x3FB <- 0x80), then right after its GetCharA reads
//             the data register in a scan of the line typed on COM1
//   off       leave boot services and power off
//
// Each step prints a fixed number of characters for given results, so the
// port accesses that a run costs follow from its COM1 text; the stack and
// cases steps print nothing there and make no port access.
#include <LibServices.h>
#include <WatchdogControl.h>
#include "fixture/FixtureControl.h"
#include "testkit/CommandLine.h"
#include "testkit/DebugLog.h"
#include "testkit/FileGuids.h"
#include "testkit/FormatCases.h"
#include "testkit/PowerOff.h"
#include "StackDepth.h"

namespace {

constinit EFI_GUID mLibGuid         = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mSmmLibGuid      = SMM_LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mWatchdogGuid    = WATCHDOG_CONTROL_PROTOCOL_GUID;
constinit EFI_GUID mSetupGuid       = WDT_SETUP_VARIABLE_GUID;
constinit EFI_GUID mControlGuid     = FIXTURE_CONTROL_PROTOCOL_GUID;
// EFI_SERIAL_IO_PROTOCOL, under which the firmware's console driver reads COM1.
constinit EFI_GUID mSerialIoGuid    = { 0xBB25CF6F, 0xF1D4, 0x11D2, { 0x9A, 0x0C, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0xFD } };

constinit EFI_SYSTEM_TABLE      *mSt  = nullptr;
constinit EFI_BOOT_SERVICES     *mBs  = nullptr;
constinit LIB_SERVICES_PROTOCOL *mLib = nullptr;
constinit EFI_HANDLE            mImage = nullptr;

// WdtControl's FILE_GUID, from its INF: the name of its file in a firmware
// volume, which is all the device path of a driver that the DXE dispatcher
// started says about it.
constexpr EFI_GUID kWdtControlFileGuid = WDTCONTROL_FILE_GUID;
// The firmware-volume file node: MEDIA_DEVICE_PATH subtype 6, the file's GUID.
constexpr UINT8 kFvFileSubType = 0x06;

constexpr UINT16 kScratchPort       = 0x3FF;
constexpr UINT8  kScratchPatterns[] = { 0xA5, 0x5A };

UINT32 Print (CONST CHAR8 *Format, ...)
{
  VA_LIST Args;
  VA_START (Args, Format);
  UINT32 Count = mLib->FormatOutput (reinterpret_cast<FORMAT_OUTPUT_ROUTINE> (mLib->PutCharA), 0xFFFFFFFF, FALSE,
                                     Format, Args);
  VA_END (Args);
  return Count;
}

// One word of the command line, by its low bytes.
VOID LogWord (CONST CHAR16 *Word)
{
  while (*Word != 0 && *Word != u' ') {
    LogChar (static_cast<CHAR8> (*Word++ & 0x7F));
  }
}

VOID LogStatus (CONST CHAR8 *Name, EFI_STATUS Status)
{
  LogStr (Name);
  LogStr (" status=");
  LogHex (Status);
}

// Handles that carry Guid, from a pool buffer the caller frees; none on failure.
UINTN HandlesWith (EFI_GUID *Guid, EFI_HANDLE *&Handles)
{
  UINTN Count = 0;
  Handles     = nullptr;
  if (EFI_ERROR (mBs->LocateHandleBuffer (ByProtocol, Guid, nullptr, &Count, &Handles)) || Handles == nullptr) {
    return 0;
  }
  return Count;
}

// Any driver may install a table under the SMM GUID; the SMM copy of
// ServiceLib installs its own on its image handle, so that is where the
// probe looks: an interface on a handle without a loaded image is not it.
LIB_SERVICES_PROTOCOL *FindSmmInstance ()
{
  EFI_HANDLE            *Handles;
  UINTN                 Count  = HandlesWith (&mSmmLibGuid, Handles);
  UINTN                 Images = 0;
  LIB_SERVICES_PROTOCOL *Found = nullptr;
  for (UINTN Index = 0; Index < Count; Index++) {
    VOID *Image;
    VOID *Interface;
    if (!EFI_ERROR (mBs->HandleProtocol (Handles[Index], &mLoadedImageGuid, &Image)) &&
        !EFI_ERROR (mBs->HandleProtocol (Handles[Index], &mSmmLibGuid, &Interface))) {
      Images++;
      Found = static_cast<LIB_SERVICES_PROTOCOL *> (Interface);
    }
  }
  if (Handles != nullptr) {
    mBs->FreePool (Handles);
  }
  LogLine (kLogProbeSmmInstances, Count, Images);
  return Images == 1 ? Found : nullptr;
}

LIB_SERVICES_PROTOCOL *FindBootServicesInstance ()
{
  LIB_SERVICES_PROTOCOL *Lib = nullptr;
  if (EFI_ERROR (mBs->LocateProtocol (&mLibGuid, nullptr, reinterpret_cast<VOID **> (&Lib)))) {
    return nullptr;
  }
  return Lib;
}

VOID ShowInstance (CONST CHAR8 *Name)
{
  Print ("instance: %a, revision %d, size %d\n", Name, mLib->Revision, mLib->Size);
  Print ("format: %d|%i|%x|%X|%5d|%-4d|%03u|%s|%c|%r\n", 42, -17, 0x1F, 0xBEEF, 42, 7, 9, "text", 'Z',
         EFI_SUCCESS);
}

// Each pattern is written and read back before the next, and all before
// anything is printed, so the serial output in between cannot disturb it.
VOID ShowScratch ()
{
  constexpr UINTN kPatterns = sizeof (kScratchPatterns);
  EFI_STATUS      Status[kPatterns];
  UINT32          Value[kPatterns];
  for (UINTN Index = 0; Index < kPatterns; Index++) {
    Status[Index] = mLib->IoWrite (kScratchPort, kScratchPatterns[Index], 0);
    Value[Index]  = mLib->IoRead (kScratchPort, 0);
  }
  static_assert (kPatterns == 2, "kLogProbeScratch has the fields of two patterns");
  LogLine (kLogProbeScratch, kScratchPatterns[0], Status[0], Value[0], kScratchPatterns[1], Status[1], Value[1]);
  Print ("scratch: IoWrite 0x%X 0x%02X %r, IoRead 0x%02X; IoWrite 0x%X 0x%02X %r, IoRead 0x%02X\n", kScratchPort,
         kScratchPatterns[0], Status[0], Value[0], kScratchPort, kScratchPatterns[1], Status[1], Value[1]);
}

// Byte by byte: a GUID in a device-path node need not be aligned.
BOOLEAN SameGuid (CONST VOID *NodeData, CONST EFI_GUID &Guid)
{
  CONST UINT8 *Left  = static_cast<CONST UINT8 *> (NodeData);
  CONST UINT8 *Right = reinterpret_cast<CONST UINT8 *> (&Guid);
  for (UINTN Index = 0; Index < sizeof (EFI_GUID); Index++) {
    if (Left[Index] != Right[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

// TRUE when Path names the driver: its last file-path node ends with the
// file Name (loaded from a disk), or a firmware-volume file node carries
// FileGuid (dispatched from flash).
BOOLEAN PathNames (CONST EFI_DEVICE_PATH_PROTOCOL *Path, CONST CHAR8 *Name, CONST EFI_GUID &FileGuid)
{
  CONST CHAR16 *File = nullptr;
  UINTN        Chars = 0;
  while (Path != nullptr && Path->Type != END_DEVICE_PATH_TYPE) {
    UINTN Length = Path->Length[0] | (Path->Length[1] << 8);
    if (Length < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      return FALSE;
    }
    if (Path->Type == MEDIA_DEVICE_PATH && Path->SubType == MEDIA_FILEPATH_DP) {
      File  = reinterpret_cast<CONST CHAR16 *> (Path + 1);
      Chars = (Length - sizeof (EFI_DEVICE_PATH_PROTOCOL)) / sizeof (CHAR16);
    }
    if (Path->Type == MEDIA_DEVICE_PATH && Path->SubType == kFvFileSubType &&
        Length >= sizeof (EFI_DEVICE_PATH_PROTOCOL) + sizeof (EFI_GUID) && SameGuid (Path + 1, FileGuid)) {
      return TRUE;
    }
    Path = reinterpret_cast<CONST EFI_DEVICE_PATH_PROTOCOL *> (reinterpret_cast<CONST UINT8 *> (Path) + Length);
  }
  while (Chars != 0 && File[Chars - 1] == 0) {
    Chars--;
  }
  UINTN NameChars = 0;
  while (Name[NameChars] != 0) {
    NameChars++;
  }
  if (File == nullptr || Chars < NameChars || (Chars > NameChars && File[Chars - NameChars - 1] != u'\\')) {
    return FALSE;
  }
  for (UINTN Index = 0; Index < NameChars; Index++) {
    if (File[Chars - NameChars + Index] != static_cast<CHAR16> (Name[Index])) {
      return FALSE;
    }
  }
  return TRUE;
}

UINTN LoadedImagesOf (CONST CHAR8 *Name, CONST EFI_GUID &FileGuid)
{
  EFI_HANDLE *Handles;
  UINTN      Count = HandlesWith (&mLoadedImageGuid, Handles);
  UINTN      Found = 0;
  for (UINTN Index = 0; Index < Count; Index++) {
    EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
    if (!EFI_ERROR (mBs->HandleProtocol (Handles[Index], &mLoadedImageGuid, reinterpret_cast<VOID **> (&Image))) &&
        PathNames (Image->FilePath, Name, FileGuid)) {
      Found++;
    }
  }
  if (Handles != nullptr) {
    mBs->FreePool (Handles);
  }
  return Found;
}

VOID ShowWatchdog ()
{
  UINT8      Setup[WDT_SETUP_DATA_SIZE] = {};
  UINTN      SetupSize                  = sizeof (Setup);
  EFI_STATUS SetupStatus = mSt->RuntimeServices->GetVariable (Str16 (u"Setup"), &mSetupGuid, nullptr, &SetupSize,
                                                              Setup);
  if (EFI_ERROR (SetupStatus)) {
    SetupSize = 0;
  }
  UINT16     Word       = 0;
  UINTN      WordSize   = sizeof (Word);
  EFI_STATUS WordStatus = mSt->RuntimeServices->GetVariable (Str16 (u"WdtControlStatus"), &mSetupGuid, nullptr,
                                                             &WordSize, &Word);
  VOID       *Watchdog      = nullptr;
  EFI_STATUS ProtocolStatus = mBs->LocateProtocol (&mWatchdogGuid, nullptr, &Watchdog);
  UINTN      Images         = LoadedImagesOf ("WdtControl.efi", kWdtControlFileGuid);

  LogLine (kLogProbeWdt, SetupStatus, SetupSize, Setup[WDT_SETUP_TIMEOUT_OFFSET], WordStatus, ProtocolStatus, Images);
  Print ("wdt: Setup %r, %d bytes, timeout %d; WdtControlStatus %r; WATCHDOG_CONTROL_PROTOCOL %r; "
         "WdtControl images %d\n",
         SetupStatus, SetupSize, Setup[WDT_SETUP_TIMEOUT_OFFSET], WordStatus, ProtocolStatus, Images);
}

// One row's run: a global, as it is too big for the probe's stack.
constinit FORMAT_CASE_RUN mCaseRun = {};

// What a mismatching row received, by its low bytes, control characters
// as '.', so that the log line stays one line.
VOID LogReceived ()
{
  for (UINT32 Index = 0; Index < mCaseRun.Length && Index < kFormatCaseTextUnits; Index++) {
    CHAR16 Ch = mCaseRun.Text[Index];
    LogChar (Ch >= 0x20 && Ch < 0x7F ? static_cast<CHAR8> (Ch) : '.');
  }
}

VOID ShowCases ()
{
  UINTN Mismatches = 0;
  for (UINTN Index = 0; Index < kFormatCaseCount; Index++) {
    CONST FORMAT_CASE &Row   = kFormatCases[Index];
    UINT32            Found = CheckFormatCase (mLib->FormatOutput, Row, mCaseRun);
    if (Found == 0) {
      continue;
    }
    Mismatches++;
    LogFields (kLogProbeCaseMismatch, Row.Name, Found, mCaseRun.Result);
    LogStr ("'");
    LogReceived ();
    LogStr ("'\n");
  }
  LogLine (kLogProbeCases, kFormatCaseCount, Mismatches);
}

// The notification's own input, scanned from memory.
constinit CONST CHAR8 *mMemoryInput = nullptr;

UINTN EFIAPI ReadMemory (IN INT32 *Counter)
{
  (void)Counter;
  return *mMemoryInput != 0 ? static_cast<UINT8> (*mMemoryInput++) : 0;
}

// Runs at TPL_CALLBACK wherever the fixture's trigger lands: scans "99"
// from memory, then prints what it read through PutCharA.
VOID EFIAPI PrintAndScanNotify (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  INT64  Value  = 0;
  UINT64 Args[] = { reinterpret_cast<UINT64> (&Value) };
  mMemoryInput  = "99";
  INTN Result   = mLib->ScanInput (ReadMemory, 0, FALSE, "%d", reinterpret_cast<VA_LIST> (Args));
  LogLine (kLogProbeNotified, static_cast<UINT64> (Result));
  Print ("[notified: %d %lld]", Result, Value);
}

// The firmware's console reads COM1 from a timer at TPL_NOTIFY, and the
// scan below must run at the caller's TPL so that the notification can
// land in it: the console would take typed characters first. Opening the
// serial I/O protocol exclusively stops the console's driver on it until
// AttachConsole gives it back.
constinit EFI_HANDLE *mSerialHandles = nullptr;
constinit UINTN      mSerialCount    = 0;

VOID DetachConsole ()
{
  mSerialCount = HandlesWith (&mSerialIoGuid, mSerialHandles);
  LogStr ("APP probe console detached from serial handles:");
  for (UINTN Index = 0; Index < mSerialCount; Index++) {
    VOID *Interface;
    LogStatus ("", mBs->OpenProtocol (mSerialHandles[Index], &mSerialIoGuid, &Interface, mImage, nullptr,
                                      EFI_OPEN_PROTOCOL_EXCLUSIVE));
  }
  LogStr ("\n");
}

VOID AttachConsole ()
{
  for (UINTN Index = 0; Index < mSerialCount; Index++) {
    mBs->CloseProtocol (mSerialHandles[Index], &mSerialIoGuid, mImage, nullptr);
    mBs->ConnectController (mSerialHandles[Index], nullptr, nullptr, TRUE);
  }
  if (mSerialHandles != nullptr) {
    mBs->FreePool (mSerialHandles);
  }
  mSerialHandles = nullptr;
  mSerialCount   = 0;
}

// Output, then input, each interrupted at the point where a notification
// that prints or scans would do harm if it ran at once. The line typed on
// COM1 is the demo's.
VOID ShowInterrupted ()
{
  FIXTURE_CONTROL_PROTOCOL *Control = nullptr;
  EFI_EVENT                 Event   = nullptr;
  if (EFI_ERROR (mBs->LocateProtocol (&mControlGuid, nullptr, reinterpret_cast<VOID **> (&Control))) ||
      EFI_ERROR (mBs->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, PrintAndScanNotify, nullptr, &Event))) {
    LogStr ("APP probe error: no fixture to interrupt the probe\n");
    return;
  }
  Print ("interrupted output: ");
  Control->SignalAtPortAccess (Event, TRUE, 0x3FB, 0x80);
  mLib->PutCharA ('a');
  mLib->PutCharA ('\n');

  INT64  Dec = 0, Neg = 0, Hex = 0;
  CHAR8  Word[16] = {};
  UINT64 Args[] = { reinterpret_cast<UINT64> (&Dec), reinterpret_cast<UINT64> (&Neg), reinterpret_cast<UINT64> (&Hex),
                    reinterpret_cast<UINT64> (Word) };
  DetachConsole ();
  Print ("input> ");
  Control->SignalAtPortAccess (Event, FALSE, 0x3F8, 0);
  INTN Count = mLib->ScanInput (reinterpret_cast<SCAN_INPUT_ROUTINE> (reinterpret_cast<VOID *> (mLib->GetCharA)), 0,
                                FALSE, "%d %d %x %15s", reinterpret_cast<VA_LIST> (Args));
  Print ("\nscanned %d: %lld %lld 0x%llX %a\n", Count, Dec, Neg, Hex, Word);
  mBs->CloseEvent (Event);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI ProbeMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  mSt    = SystemTable;
  mBs    = SystemTable->BootServices;
  mImage = ImageHandle;

  COMMAND_LINE Line = { nullptr, nullptr };
  if (GetCommandLine (mBs, ImageHandle, Line)) {
    NextWord (Line.Cursor, Line.End);  // the program's own name
  }
  COMMAND_LINE Words = Line;
  BOOLEAN      Smm   = FALSE;
  BOOLEAN      Off   = FALSE;
  LogStr ("APP probe");
  for (CONST CHAR16 *Word = NextWord (Words.Cursor, Words.End); Word != nullptr;
       Word               = NextWord (Words.Cursor, Words.End)) {
    Smm |= WordIs (Word, "smm");
    Off |= WordIs (Word, "off");
    LogStr (" ");
    LogWord (Word);
  }
  LogStr ("\n");

  mLib = Smm ? FindSmmInstance () : FindBootServicesInstance ();
  if (mLib == nullptr) {
    LogStr (Smm ? "APP probe error: no SMM instance of ServiceLib\n" : "APP probe error: no LIB_SERVICES_PROTOCOL\n");
  } else {
    Print ("<<<PROBE BEGIN>>>\n");
    for (CONST CHAR16 *Word = NextWord (Line.Cursor, Line.End); Word != nullptr;
         Word               = NextWord (Line.Cursor, Line.End)) {
      if (WordIs (Word, "print")) {
        ShowInstance (Smm ? "SMM" : "boot services");
      } else if (WordIs (Word, "scratch")) {
        ShowScratch ();
      } else if (WordIs (Word, "wdt")) {
        ShowWatchdog ();
      } else if (WordIs (Word, "stack")) {
        ShowStackDepth (mBs, mLib);
      } else if (WordIs (Word, "cases")) {
        ShowCases ();
      } else if (WordIs (Word, "interrupt")) {
        ShowInterrupted ();
      } else if (!WordIs (Word, "bs") && !WordIs (Word, "smm") && !WordIs (Word, "off")) {
        LogStr ("APP probe error: unknown step ");
        LogWord (Word);
        LogStr ("\n");
      }
    }
    Print ("<<<PROBE END>>>\n");
    AttachConsole ();
  }
  LogLine (kLogProbeDone);
  if (Off) {
    HandOffAndPowerOff (ImageHandle, SystemTable);
  }
  return mLib != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}
