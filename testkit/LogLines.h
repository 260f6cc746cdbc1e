// SPDX-License-Identifier: BSD-2-Clause-Patent
// The debug-console lines that the firmware checks read, one format each:
// {} is a decimal number or a text, {:X} an upper-case hexadecimal number,
// {:0NX} one of at least N digits. Some formats are only a line's fixed
// start (written with LogFields): the rest of such a line is key=value
// pairs that the image writes and the checks read by key. The images write them with
// LogLine (DebugLog.h); the build hands the same strings to the checks
// (tests/integration/facts.cpp writes them into facts.json), which fill
// them in with Python's str.format, whose rules these are. A line changed
// here is a line changed for both sides.
#ifndef TESTKIT_LOG_LINES_H_
#define TESTKIT_LOG_LINES_H_

// The end of every run (PowerOff.h): before ExitBootServices, its result
// ("done" or "failed") with the number of calls it took, the power-off.
inline constexpr char kLogExitBootServices[]       = "APP exit boot services";
inline constexpr char kLogExitBootServicesResult[] = "APP exit boot services {}, attempts={}";
inline constexpr char kLogResetShutdown[]          = "APP reset shutdown";

// The probe (probe/): what WdtControl left behind, the scratch register
// written and read back through IoWrite and IoRead, the notification that
// interrupted a serial call.
inline constexpr char kLogProbeWdt[] =
  "APP probe wdt: Setup status={:X} size={} timeout={} WdtControlStatus status={:X} protocol status={:X} images={}";
inline constexpr char kLogProbeScratch[] =
  "APP probe scratch: write {:02X} status={:X} read {:02X}, write {:02X} status={:X} read {:02X}";
inline constexpr char kLogProbeNotified[] = "APP probe notified: scanned {}";
inline constexpr char kLogProbeSmmInstances[] = "APP probe SMM instances={} on an image handle={}";
// The format engine's case table run through the instance: a line for
// each row that differs (bits as CheckFormatCase returns them; the text
// received follows in quotes), then the count of rows and of mismatches.
inline constexpr char kLogProbeCaseMismatch[] = "APP probe cases: mismatch {} differs={:X} result={} received ";
inline constexpr char kLogProbeCases[]        = "APP probe cases: {} rows, {} mismatches";
// The start of its line: each case's depth follows.
inline constexpr char kLogProbeStack[] = "APP probe stack: FormatOutput deepest {} bytes";
// The start of its line: why the case (numbered from 1) was not measured follows.
inline constexpr char kLogProbeStackError[] = "APP probe stack error: case {}";
// The end of the probe's steps, before the hand-off.
inline constexpr char kLogProbeDone[] = "APP probe done";

// The demo (demo/): its start (all of it, or the watchdog only), the
// scratch register through one instance ("boot services" or "SMM"),
// WdtControl's status variable, and its protocol's GetState and Start
// (around the call, then its status).
inline constexpr char kLogDemoBegin[]          = "APP demo";
inline constexpr char kLogDemoWdtBegin[]       = "APP demo wdt";
inline constexpr char kLogDemoStartCall[]      = "APP watchdog Start";
inline constexpr char kLogDemoStartReturned[]  = "APP watchdog Start returned";
inline constexpr char kLogDemoPortIo[]         = "APP {} instance: IoWrite 0x3FF status={:X} IoRead 0x3FF={:02X}";
inline constexpr char kLogDemoStatusVariable[] =
  "APP WdtControlStatus status={:X} size={} attributes={:X} value={:04X}";
inline constexpr char kLogDemoGetState[]       = "APP GetState status={:X} enabled={}";
inline constexpr char kLogDemoStart[]          = "APP Start status={:X}";

// The fixture (fixture/): its start and its services ready (the line that
// follows a start that failed differs), the registered hook run through
// its control interface (around the call), a slot of the planted table
// called (the start: its name follows), one watchdog register access ("R", "->" or "W",
// "<-"; the last field is empty unless the caller's context was wrong),
// the hook service's registration, and the notification signalled after
// a port access ("out" or "in").
inline constexpr char kLogRegisterAccess[]  = "RA {} {:02X}:{:X}:{:08X} {} {:02X}{}";
inline constexpr char kLogHookRegister[]    = "HOOK register code={} systemtable={} image={} routine={}";
inline constexpr char kLogFixtureSignal[]   = "FIX signal after {} {:03X}={:02X}";
inline constexpr char kLogFixtureStart[]    = "FIX start";
inline constexpr char kLogFixtureReady[]    = "FIX ready: cpuio hook control";
inline constexpr char kLogHookRun[]         = "HOOK run";
inline constexpr char kLogHookRunDone[]     = "HOOK run done";
inline constexpr char kLogPlantedCall[]     = "PLANT call slot {}";
// The fixture installing a service when fixturectl asks for it, and its
// port-access counts at ExitBootServices (the start: "NAME.reads=N
// NAME.writes=N NAME.wrongthis=N" follow for cpuio and smmio).
inline constexpr char kLogFixtureInstallSmmBase[]        = "FIX install smm base";
inline constexpr char kLogFixtureInstallRegisterAccess[] = "FIX install register access";
inline constexpr char kLogFixtureSummary[]               = "FIX summary";
// The fixture's Framework SMM Base: each call with the This it was given
// ("SmmBase", or "other"), Register with its file path as text, and the
// first SmmIo access each way ("write" or "read"; This "&Smst->SmmIo" or
// "other").
inline constexpr char kLogSmmRegister[] =
  "SMM Register This={} FilePath={} SourceBuffer={:X} SourceSize={} LegacyIA32Binary={}";
inline constexpr char kLogSmmLoadImage[]       = "SMM LoadImage status={:X}";
inline constexpr char kLogSmmStartImage[]      = "SMM StartImage in SMM status={:X}";
inline constexpr char kLogSmmInSmm[]           = "SMM InSmm This={} -> {}";
inline constexpr char kLogSmmGetSmstLocation[] = "SMM GetSmstLocation This={}";
inline constexpr char kLogSmmIoFirst[]         = "SMM SmmIo first {}: This={} width={} port={:04X} count={}";

// fixturectl: a command (before the fixture acts on it) and its status
// after, the Setup variable it stored, and what WdtControl has published
// before and after the register-access service appears.
inline constexpr char kLogCtlCommand[]      = "CTL {}";
inline constexpr char kLogCtlStatus[]       = "CTL {} status={:X}";
inline constexpr char kLogSetup[]           = "CTL setup timeout={} status={:X}";
inline constexpr char kLogWatchdogAbsent[]  = "CTL {}: watchdog-protocol={} status-variable=absent";
inline constexpr char kLogWatchdogPresent[] = "CTL {}: watchdog-protocol={} status-variable={:04X}";

// The Framework SMM Base over PI SMM (smram/smmbase/): the DXE half's
// Register (the start: the device path asked for, then "source-buffer"
// and "size"; after the load the file's path within its device, then
// "device", "status", "handle", "base", "size", "entry-status"), the SMM
// half refusing a call after the lock, and smmbasectl's calls from the
// shell (the start: "in-smm" or "handle" may follow).
inline constexpr char kLogSmmBaseRegisterPath[] = "SMMBASE DXE Register path=";
inline constexpr char kLogSmmBaseRegisterFile[] = "SMMBASE DXE Register file-path=";
inline constexpr char kLogSmmBaseRefused[]      = "SMMBASE SMM {} refused: SMRAM is locked (EFI_UNSUPPORTED)";
inline constexpr char kLogSmmBaseCtl[]          = "CTL smmbase {} status={:X}";
// Its start-up: the SMM half ready, then SMM Base installed by the DXE
// half (whether ServiceLib's protocol was there by then); the SMM half
// seeing the lock; the DXE half handing out the Framework SMM system table
// in SMM; a callback registered.
inline constexpr char kLogSmmBaseSmmReady[] = "SMMBASE SMM ready: PI SMST={:X} SMM instance={:X} status={:X}";
inline constexpr char kLogSmmBaseInstalled[] =
  "SMMBASE DXE SMM half ready; installed SMM Base status={:X} gLibServicesProtocolGuid existed={}";
inline constexpr char kLogSmmBaseLocked[] =
  "SMMBASE SMM ready-to-lock: Register and RegisterCallback are refused from now on";
inline constexpr char kLogSmmBaseDxeSmst[]  = "SMMBASE DXE GetSmstLocation in SMM -> {:X}";
inline constexpr char kLogSmmBaseCallback[] = "SMMBASE SMM RegisterCallback callback={:X} image={:X} status={:X}";
// Its test client: slot 0 from its DXE copy (the handle it got back), its
// SMM copy's start, its callback taking a request (1 from the shell, 2
// after ExitBootServices); smitrigger, which raises the SMI after
// ExitBootServices: whether the request "was taken" or "is still pending",
// and the PCI configuration address around it.
inline constexpr char kLogClientSlot0[]    = "CLIENT DXE slot 0 with handle {:X} -> {:X}";
inline constexpr char kLogClientEntry[]    = "CLIENT SMM entry: SMM instance={:X} Smst={:X} callback={:X} status={:X}";
inline constexpr char kLogClientCallback[] = "CLIENT SMM callback: request {}";
inline constexpr char kLogSmiReturned[]    = "APP back from the SMI: the request {}";
inline constexpr char kLogCf8AroundSmi[]   = "APP 0xCF8 around the SMI: before={:08X} after={:08X}";

// The SMRAM probe driver (smram/driver/), into its log ring, which comes
// out with smramctl's lines: what the image it started in SMM asked of
// the environment it hosts (a protocol located, or installed by
// "InstallProtocolInterface" or "InstallMultipleProtocolInterfaces", with
// its GUID; its Framework SMM Base's InSmm and GetSmstLocation with the
// This given, "SmmBase" or "other"; a boot service it does not serve, by
// its offset in the table), and what the entry point returned; a port
// access through the SmmIo it hosts with another This.
inline constexpr char kLogSmramEntryLocate[]   = "SMM entry LocateProtocol {} status={:X} interface={:X}";
inline constexpr char kLogSmramEntryInstall[]  = "SMM entry {} {} interface={:X} handle={:X} status={:X}";
inline constexpr char kLogSmramEntryInSmm[]    = "SMM entry InSmm This={} -> 1";
inline constexpr char kLogSmramEntrySmst[]     = "SMM entry GetSmstLocation This={} -> {:X}";
inline constexpr char kLogSmramEntryUnserved[] = "SMM entry called boot service at offset {:X}: not served";
inline constexpr char kLogSmramEntryReturned[] = "SMM entry point returned {:X}";
inline constexpr char kLogSmramWrongThis[]     = "SMM SmmIo {} port={:X} with This={:X}, not &Smst->SmmIo";

// smramctl (smram/tool/): SMRAM as SMM Access 2 and the MCH report it,
// each SMI it sends, the probe's status, the load of an image into SMRAM
// (three lines, each the start: key=value pairs follow), reads of SMRAM
// from DXE and from inside SMM, and each slot call (the start: the
// results of each copy follow as key=value pairs).
inline constexpr char kLogSmramRange[]     = "CTL smram range base={:08X} size={:08X} state={:X}";
inline constexpr char kLogSmramLockState[] = "CTL smram lock-state={} open-state={}";
inline constexpr char kLogSmramMch[]       = "CTL mch smramc={:02X} esmramc={:02X}";
inline constexpr char kLogSmramSmi[]       = "CTL smi {}";
inline constexpr char kLogSmramStatus[]    = "CTL status locked={} handler={:X} pi-smst={:X} stack={:X} status={:X}";
inline constexpr char kLogSmramLoad[]      = "CTL load status={:X}";
inline constexpr char kLogSmramLoadEntry[] = "CTL load entry-status={:X}";
inline constexpr char kLogSmramLoadAttributes[]  = "CTL load attributes-before={:X}";
inline constexpr char kLogSmramDxeRead[]         = "CTL dxe-read {} address={:X} 8={:02X} 32={:08X}";
inline constexpr char kLogSmramSmmReadProtocol[] = "CTL smm-read protocol revision={} size={} status={:X}";
inline constexpr char kLogSmramSmmReadImage[]    = "CTL smm-read image-base first-bytes={:04X} status={:X}";
inline constexpr char kLogSmramCall[]            = "CTL call {}";

#endif
