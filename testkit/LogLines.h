// SPDX-License-Identifier: BSD-2-Clause-Patent
// The debug-console lines that the firmware checks read whole, one format
// each: {} is a decimal number or a text, {:X} an upper-case hexadecimal
// number, {:0NX} one of at least N digits. The images write them with
// LogLine (DebugLog.h); the build hands the same strings to the checks
// (tests/integration/facts.cpp writes them into facts.json), which fill
// them in with Python's str.format, whose rules these are. A line changed
// here is a line changed for both sides.
#ifndef TESTKIT_LOG_LINES_H_
#define TESTKIT_LOG_LINES_H_

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

// The demo (demo/): the scratch register through one instance ("boot
// services" or "SMM"), WdtControl's status variable, and its protocol's
// GetState and Start.
inline constexpr char kLogDemoPortIo[]         = "APP {} instance: IoWrite 0x3FF status={:X} IoRead 0x3FF={:02X}";
inline constexpr char kLogDemoStatusVariable[] =
  "APP WdtControlStatus status={:X} size={} attributes={:X} value={:04X}";
inline constexpr char kLogDemoGetState[]       = "APP GetState status={:X} enabled={}";
inline constexpr char kLogDemoStart[]          = "APP Start status={:X}";

// The fixture (fixture/): one watchdog register access ("R", "->" or "W",
// "<-"; the last field is empty unless the caller's context was wrong),
// the hook service's registration, and the notification signalled after
// a port access ("out" or "in").
inline constexpr char kLogRegisterAccess[]  = "RA {} {:02X}:{:X}:{:08X} {} {:02X}{}";
inline constexpr char kLogHookRegister[]    = "HOOK register code={} systemtable={} image={} routine={}";
inline constexpr char kLogFixtureSignal[]   = "FIX signal after {} {:03X}={:02X}";

// fixturectl: the Setup variable it stored, and what WdtControl has
// published before and after the register-access service appears.
inline constexpr char kLogSetup[]           = "CTL setup timeout={} status={:X}";
inline constexpr char kLogWatchdogAbsent[]  = "CTL {}: watchdog-protocol={} status-variable=absent";
inline constexpr char kLogWatchdogPresent[] = "CTL {}: watchdog-protocol={} status-variable={:04X}";

#endif
