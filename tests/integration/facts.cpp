// SPDX-License-Identifier: BSD-2-Clause-Patent
// Writes facts.json: what the firmware checks (firmware.py) need to know
// of the C++ side, taken from where the C++ defines it, so that no Python
// restates it. The watchdog's registers and the fixture's seed values come
// from their headers, the Setup variable's GUID, size and timeout offset
// from the public header, the protocol GUIDs and the revision and size of
// LIB_SERVICES_PROTOCOL from theirs, the drivers' file GUIDs from their
// INFs (the generated testkit/FileGuids.h), the debug-console line formats from
// testkit/LogLines.h, the number of rows in the format engine's case table
// (testkit/FormatCases.h), and the port accesses of one serial bring-up from
// ServiceLib itself, run once per copy on the simulated firmware.
//
//   facts OUTPUT
#include <LibServices.h>
#include <ServiceLibPkg/Framework/SmmBase.h>
#include <WatchdogControl.h>

#include "fixture/RegisterSeeds.h"
#include "servicelib/servicelib.h"
#include "sim/DriverData.h"
#include "sim/SimFirmware.h"
#include "testkit/FileGuids.h"
#include "testkit/FormatCases.h"
#include "testkit/LogLines.h"
#include "wdtcontrol/registers.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

struct NAMED_REGISTER {
  const char *Name;
  REGISTER_ID Id;
};

constexpr NAMED_REGISTER kRegisters[] = {
  {"Gate", kGateRegister},       {"Mode", kModeRegister}, {"Control", kControlRegister},
  {"Timeout", kTimeoutRegister}, {"Key", kKeyRegister},   {"Counter", kCounterRegister},
};

constexpr std::pair<const char *, const char *> kLines[] = {
  {"exit-boot-services", kLogExitBootServices},
  {"exit-boot-services-result", kLogExitBootServicesResult},
  {"reset-shutdown", kLogResetShutdown},
  {"probe-wdt", kLogProbeWdt},
  {"probe-scratch", kLogProbeScratch},
  {"probe-notified", kLogProbeNotified},
  {"probe-smm-instances", kLogProbeSmmInstances},
  {"probe-stack", kLogProbeStack},
  {"probe-stack-error", kLogProbeStackError},
  {"probe-done", kLogProbeDone},
  {"probe-case-mismatch", kLogProbeCaseMismatch},
  {"probe-cases", kLogProbeCases},
  {"demo-begin", kLogDemoBegin},
  {"demo-wdt-begin", kLogDemoWdtBegin},
  {"demo-start-call", kLogDemoStartCall},
  {"demo-start-returned", kLogDemoStartReturned},
  {"demo-port-io", kLogDemoPortIo},
  {"demo-status-variable", kLogDemoStatusVariable},
  {"demo-get-state", kLogDemoGetState},
  {"demo-start", kLogDemoStart},
  {"setup", kLogSetup},
  {"register-access", kLogRegisterAccess},
  {"hook-register", kLogHookRegister},
  {"fixture-signal", kLogFixtureSignal},
  {"fixture-start", kLogFixtureStart},
  {"fixture-ready", kLogFixtureReady},
  {"hook-run", kLogHookRun},
  {"hook-run-done", kLogHookRunDone},
  {"planted-call", kLogPlantedCall},
  {"fixture-install-smm-base", kLogFixtureInstallSmmBase},
  {"fixture-install-register-access", kLogFixtureInstallRegisterAccess},
  {"fixture-summary", kLogFixtureSummary},
  {"smm-register", kLogSmmRegister},
  {"smm-load-image", kLogSmmLoadImage},
  {"smm-start-image", kLogSmmStartImage},
  {"smm-in-smm", kLogSmmInSmm},
  {"smm-get-smst-location", kLogSmmGetSmstLocation},
  {"smm-io-first", kLogSmmIoFirst},
  {"ctl-command", kLogCtlCommand},
  {"ctl-status", kLogCtlStatus},
  {"watchdog-absent", kLogWatchdogAbsent},
  {"watchdog-present", kLogWatchdogPresent},
  {"smmbase-register-path", kLogSmmBaseRegisterPath},
  {"smmbase-register-file", kLogSmmBaseRegisterFile},
  {"smmbase-refused", kLogSmmBaseRefused},
  {"smmbase-ctl", kLogSmmBaseCtl},
  {"smmbase-smm-ready", kLogSmmBaseSmmReady},
  {"smmbase-installed", kLogSmmBaseInstalled},
  {"smmbase-locked", kLogSmmBaseLocked},
  {"smmbase-dxe-smst", kLogSmmBaseDxeSmst},
  {"smmbase-callback", kLogSmmBaseCallback},
  {"client-slot0", kLogClientSlot0},
  {"client-entry", kLogClientEntry},
  {"client-callback", kLogClientCallback},
  {"smi-returned", kLogSmiReturned},
  {"cf8-around-smi", kLogCf8AroundSmi},
  {"smram-entry-locate", kLogSmramEntryLocate},
  {"smram-entry-install", kLogSmramEntryInstall},
  {"smram-entry-in-smm", kLogSmramEntryInSmm},
  {"smram-entry-smst", kLogSmramEntrySmst},
  {"smram-entry-unserved", kLogSmramEntryUnserved},
  {"smram-entry-returned", kLogSmramEntryReturned},
  {"smram-wrong-this", kLogSmramWrongThis},
  {"smram-range", kLogSmramRange},
  {"smram-lock-state", kLogSmramLockState},
  {"smram-mch", kLogSmramMch},
  {"smram-smi", kLogSmramSmi},
  {"smram-status", kLogSmramStatus},
  {"smram-load", kLogSmramLoad},
  {"smram-load-entry", kLogSmramLoadEntry},
  {"smram-load-attributes", kLogSmramLoadAttributes},
  {"smram-dxe-read", kLogSmramDxeRead},
  {"smram-smm-read-protocol", kLogSmramSmmReadProtocol},
  {"smram-smm-read-image", kLogSmramSmmReadImage},
  {"smram-call", kLogSmramCall},
};

std::string Id (const REGISTER_ID &Register)
{
  return "[" + std::to_string (Register.Type) + ", " + std::to_string (Register.Bank) + ", " +
         std::to_string (Register.Register) + "]";
}

// Registry form, lower case: 87999fb1-d18c-4de9-b4b6-a130e6beed76.
std::string GuidText (const EFI_GUID &Guid)
{
  char Text[40];
  std::snprintf (Text, sizeof (Text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Guid.Data1, Guid.Data2,
                 Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                 Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

std::string Quoted (const std::string &Text)
{
  std::string Out = "\"";
  for (char Ch : Text) {
    if (Ch == '"' || Ch == '\\') {
      Out += '\\';
    }
    Out += Ch;
  }
  return Out + "\"";
}

// The writes and reads through the copy's own port I/O path for one
// character that needs no carriage return, less that character's write:
// the bring-up that precedes every character.
struct BRING_UP {
  size_t Writes = 0;
  size_t Reads  = 0;
  UINT32 LpcAddress = 0;  // the configuration address it selects first
};

BRING_UP MeasureBringUp (bool InSmm)
{
  sim::ReloadDriverData ();
  sim::SimFirmware Fw;
  if (InSmm) {
    Fw.InstallSmmBase (TRUE);
  }
  BRING_UP Found;
  if (ServiceLibEntryPoint (Fw.CreateImage (u"\\ServiceLib.efi"), &Fw.SystemTable) != EFI_SUCCESS) {
    return Found;
  }
  Fw.Ports.Log.clear ();
  SerialPutChar ('a');
  for (const sim::PortAccess &Access : Fw.Ports.Through (InSmm ? sim::PortPath::SmmIo : sim::PortPath::CpuIo)) {
    (Access.Write ? Found.Writes : Found.Reads) += 1;
    if (Access.Write && Access.Port == 0xCF8 && Found.LpcAddress == 0) {
      Found.LpcAddress = Access.Value;
    }
  }
  Found.Writes -= 1;
  return Found;
}

}  // namespace

int main (int Argc, char **Argv)
{
  if (Argc != 2) {
    std::fprintf (stderr, "usage: facts OUTPUT\n");
    return 2;
  }
  sim::KeepLoadedDriverData ();
  const BRING_UP Bs  = MeasureBringUp (false);
  const BRING_UP Smm = MeasureBringUp (true);
  if (Bs.Writes == 0 || Smm.Writes == 0 || Bs.LpcAddress == 0) {
    std::fprintf (stderr, "facts: ServiceLib did not start on the simulated firmware\n");
    return 1;
  }

  std::string Json = "{\n  \"watchdog-registers\": {";
  const char *Separator = "\n    ";
  for (const NAMED_REGISTER &Register : kRegisters) {
    Json += Separator + Quoted (Register.Name) + ": " + Id (Register.Id);
    Separator = ",\n    ";
  }
  Json += "\n  },\n  \"register-seeds\": [";
  Separator = "\n    ";
  for (const REGISTER_VALUE &Seed : kRegisterSeeds) {
    Json += Separator + ("{\"register\": " + Id (Seed.Id)) + ", \"value\": " + std::to_string (Seed.Value) + "}";
    Separator = ",\n    ";
  }
  const EFI_GUID SetupGuid  = WDT_SETUP_VARIABLE_GUID;
  const EFI_GUID LibGuid    = LIB_SERVICES_PROTOCOL_GUID;
  const EFI_GUID SmmLibGuid = SMM_LIB_SERVICES_PROTOCOL_GUID;
  const EFI_GUID SmmBase    = EFI_SMM_BASE_PROTOCOL_GUID;
  const EFI_GUID LibFile    = SERVICELIB_FILE_GUID;
  const EFI_GUID WdtFile    = WDTCONTROL_FILE_GUID;
  Json += "\n  ],\n  \"guids\": {\"lib-services\": " + Quoted (GuidText (LibGuid)) +
          ",\n            \"smm-lib-services\": " + Quoted (GuidText (SmmLibGuid)) +
          ",\n            \"smm-base\": " + Quoted (GuidText (SmmBase)) + "},";
  Json += "\n  \"file-guids\": {\"servicelib\": " + Quoted (GuidText (LibFile)) +
          ", \"wdtcontrol\": " + Quoted (GuidText (WdtFile)) + "},";
  Json += "\n  \"lib-services\": {\"revision\": " + std::to_string (LIB_SERVICES_PROTOCOL_REVISION) +
          ", \"size\": " + std::to_string (sizeof (LIB_SERVICES_PROTOCOL)) + "},";
  Json += "\n  \"setup\": {\"guid\": " + Quoted (GuidText (SetupGuid)) +
          ", \"size\": " + std::to_string (WDT_SETUP_DATA_SIZE) +
          ", \"timeout-offset\": " + std::to_string (WDT_SETUP_TIMEOUT_OFFSET) + "},";
  Json += "\n  \"bring-up\": {\"bs\": [" + std::to_string (Bs.Writes) + ", " + std::to_string (Bs.Reads) +
          "], \"smm\": [" + std::to_string (Smm.Writes) + ", " + std::to_string (Smm.Reads) +
          "], \"lpc-address\": " + std::to_string (Bs.LpcAddress) + "},";
  Json += "\n  \"format-cases\": " + std::to_string (kFormatCaseCount) + ",";
  Json += "\n  \"lines\": {";
  Separator = "\n    ";
  for (const auto &[Name, Format] : kLines) {
    Json += Separator + Quoted (Name) + ": " + Quoted (Format);
    Separator = ",\n    ";
  }
  Json += "\n  }\n}\n";

  FILE *Out = std::fopen (Argv[1], "w");
  if (Out == nullptr || std::fputs (Json.c_str (), Out) < 0 || std::fclose (Out) != 0) {
    std::fprintf (stderr, "facts: cannot write %s\n", Argv[1]);
    return 1;
  }
  return 0;
}
