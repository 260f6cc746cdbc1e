// SPDX-License-Identifier: BSD-2-Clause-Patent
// A simulated firmware for host tests: system table, boot and runtime
// services over a handle database, events and event groups, pool
// accounting, variables, the Framework CPU I/O and SMM Base protocols, an
// SMM system table whose SmmIo reaches the port bus, and the port bus with
// its device models. One instance is current at a time; the services reach
// it through a global because firmware services carry no context.
#ifndef SIM_SIM_FIRMWARE_H_
#define SIM_SIM_FIRMWARE_H_

#include <ServiceLibPkg/Uefi/UefiTables.h>
#include <ServiceLibPkg/Framework/CpuIo.h>
#include <ServiceLibPkg/Framework/SmmBase.h>
#include <ServiceLibPkg/Protocol/DevicePath.h>
#include <ServiceLibPkg/Protocol/LoadedImage.h>

#include "PortBus.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

bool operator== (const EFI_GUID &A, const EFI_GUID &B);

namespace sim {

std::string GuidText (const EFI_GUID &Guid);

struct SimEvent {
  UINT32           Type = 0;
  EFI_TPL          Tpl = 0;
  EFI_EVENT_NOTIFY Notify = nullptr;
  VOID             *Context = nullptr;
  bool             HasGroup = false;
  EFI_GUID         Group{};
  unsigned         SignalCount = 0;
  volatile bool    Pending = false;  // signalled while the TPL was at or above Tpl
};

// One RaiseTPL or RestoreTPL call and the level it was given.
struct TplCall {
  bool    Raise;
  EFI_TPL Tpl;
  bool    operator== (const TplCall &) const = default;
};

struct ProtocolEntry {
  EFI_GUID Guid;
  VOID     *Interface;
};

struct SimHandle {
  std::vector<ProtocolEntry> Protocols;
};

// The boot and runtime services the simulation serves, and the device-path
// utilities' AppendDevicePath. Every call of one is recorded, and a rule
// may change its result; tests name them by these enumerators, so a
// misspelt name does not compile. RaiseTPL and RestoreTPL keep a log of
// their own (TplLog).
enum class Service : uint8_t {
  AllocatePool,
  FreePool,
  CreateEvent,
  CreateEventEx,
  SignalEvent,
  CloseEvent,
  RegisterProtocolNotify,
  LocateProtocol,
  HandleProtocol,
  OpenProtocol,
  InstallProtocolInterface,
  InstallMultipleProtocolInterfaces,
  ExitBootServices,
  GetTime,
  GetVariable,
  SetVariable,
  ResetSystem,
  AppendDevicePath,
};

const char *ServiceName (Service Called);

// One recorded call, with the GUID it was about (protocol, event group or
// variable) when it had one.
struct ServiceCall {
  Service  Called;
  bool     HasGuid = false;
  EFI_GUID Guid{};

  ServiceCall (Service S) : Called (S) {}
  ServiceCall (Service S, const EFI_GUID &G) : Called (S), HasGuid (true), Guid (G) {}
  bool operator== (const ServiceCall &) const = default;
};

std::string ToString (const ServiceCall &Call);  // "Service" or "Service <guid>"
void PrintTo (const ServiceCall &Call, std::ostream *Os);

// A rule that changes what one service returns. An error status makes the
// service fail without doing its work (AppendDevicePath then returns NULL);
// a warning lets it do the work and then returns the warning. Guid, when
// set, limits the rule to calls about that GUID; Times < 0 means every
// matching call.
struct StatusRule {
  Service    Called;
  bool       MatchGuid = false;
  EFI_GUID   Guid{};
  EFI_STATUS Status = EFI_SUCCESS;
  int        Times = -1;
};

struct SmmRegisterCall {
  EFI_SMM_BASE_PROTOCOL *This;
  std::vector<UINT8>     FilePath;  // the whole path, end node included
  const VOID            *FilePathPointer;
  VOID                  *SourceBuffer;
  UINTN                  SourceSize;
  BOOLEAN                LegacyIA32Binary;
};

struct Variable {
  UINT32             Attributes;
  std::vector<UINT8> Data;
};

class SimFirmware;

// The Framework SMM Base protocol as the simulation plays it.
struct SimSmmBase {
  EFI_SMM_BASE_PROTOCOL Protocol;          // first member: the interface pointer
  SimFirmware           *Owner = nullptr;
  BOOLEAN               InSmm = FALSE;
  EFI_STATUS            RegisterStatus = EFI_SUCCESS;
  EFI_HANDLE            RegisterHandle = nullptr;
  EFI_STATUS            GetSmstStatus = EFI_SUCCESS;
  std::vector<SmmRegisterCall> RegisterCalls;
  unsigned              InSmmCalls = 0;
  unsigned              GetSmstCalls = 0;
  // Runs inside Register, after the call is recorded: a test can start the
  // SMM copy of an image here, as the real protocol would.
  std::function<void (const SmmRegisterCall &)> OnRegister;
};

class SimFirmware {
 public:
  SimFirmware ();
  ~SimFirmware ();
  SimFirmware (const SimFirmware &) = delete;
  SimFirmware &operator= (const SimFirmware &) = delete;

  static SimFirmware *Current ();

  EFI_SYSTEM_TABLE     SystemTable{};
  EFI_BOOT_SERVICES    BootServices{};
  EFI_RUNTIME_SERVICES RuntimeServices{};
  PortBus              Ports;

  // Handle database.
  EFI_HANDLE NewHandle ();
  EFI_STATUS Install (EFI_HANDLE *Handle, const EFI_GUID &Guid, VOID *Interface);
  EFI_HANDLE Install (const EFI_GUID &Guid, VOID *Interface);  // on a handle of its own
  EFI_STATUS Uninstall (EFI_HANDLE Handle, const EFI_GUID &Guid);
  // Puts Interface in place of the one installed on Handle, and notifies
  // those waiting for the protocol, as ReinstallProtocolInterface does.
  EFI_STATUS Reinstall (EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface);
  void       UninstallAll (const EFI_GUID &Guid);  // every instance, wherever installed
  VOID      *Find (const EFI_GUID &Guid) const;
  VOID      *FindOn (EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  std::vector<EFI_HANDLE> HandlesWith (const EFI_GUID &Guid) const;
  bool       IsHandle (EFI_HANDLE Handle) const;

  // Events.
  std::vector<SimEvent *> Events () const;
  std::vector<SimEvent *> EventsInGroup (const EFI_GUID &Group) const;
  void       SignalGroup (const EFI_GUID &Group);
  // A notify-signal event runs at once when its TPL is above the current
  // one, otherwise when RestoreTPL lowers the level below it.
  void       Signal (EFI_EVENT Event);
  // An event as CreateEvent and CreateEventEx make it, not recorded as a
  // boot-service call: a test's own is a notify-signal event in no group.
  EFI_EVENT  NewEvent (EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context = nullptr,
                       UINT32 Type = EVT_NOTIFY_SIGNAL, const EFI_GUID *Group = nullptr);

  // Task priority, as the firmware's dispatcher keeps it. RaiseTPL and
  // RestoreTPL log their calls here, not in Calls: nothing on this path
  // allocates, so a notification run from a signal handler (Tick) may use
  // them. The log keeps the first calls; TplCallCount counts all of them.
  static constexpr size_t kTplLogSize = 64;
  volatile EFI_TPL CurrentTpl = TPL_APPLICATION;
  TplCall          TplLog[kTplLogSize]{};
  volatile size_t  TplCallCount = 0;
  unsigned         TplMisuse = 0;          // a raise below, or a restore above, the current level
  volatile unsigned DeferredNotifies = 0;  // notifications that RestoreTPL ran
  std::vector<TplCall> TplCalls () const;  // the logged calls
  void       ClearTplLog () { TplCallCount = 0; }

  // A timer interrupt standing in for the firmware's: every Microseconds
  // of wall time a SIGALRM signals Event, which so runs in the middle of
  // whatever the program is doing unless the TPL holds it back.
  void       StartTick (EFI_EVENT Event, unsigned Microseconds);
  void       StopTick ();
  volatile unsigned Ticks = 0;

  // Protocol notifications: (protocol, event) pairs registered so far.
  std::vector<std::pair<EFI_GUID, SimEvent *>> Notifications;

  // Pool: what AllocatePool handed out and is still live, and every FreePool.
  std::map<VOID *, UINTN> LivePool;
  std::vector<VOID *>     Freed;
  unsigned                BadFrees = 0;
  VOID                   *Allocate (UINTN Size);

  // Every call of a service, in order, and how many of them were made
  // above TPL_NOTIFY although the service is limited to it and below.
  std::vector<ServiceCall> Calls;
  unsigned                 CallsAboveNotify = 0;
  size_t CountCalls (Service Called) const;

  // ResetSystem returns nothing, so no rule can change it: FailWith refuses it.
  std::vector<StatusRule> Rules;
  void FailWith (Service Called, EFI_STATUS Status, int Times = -1);
  void FailWith (Service Called, const EFI_GUID &Guid, EFI_STATUS Status, int Times = -1);

  // Platform protocols. The CPU I/O protocol and the device-path utilities
  // are installed from the start; SMM Base only when a test asks for it.
  // CpuIo2 is the PI CPU I/O 2 protocol (same layout and bus, its own
  // interface pointer); a test installs it when it wants it.
  EFI_CPU_IO_PROTOCOL                CpuIo{};
  EFI_CPU_IO_PROTOCOL                CpuIo2{};
  EFI_DEVICE_PATH_UTILITIES_PROTOCOL DevicePathUtilities{};
  SimSmmBase                         SmmBase{};
  EFI_SMM_SYSTEM_TABLE               Smst{};
  EFI_HANDLE                         InstallSmmBase (BOOLEAN InSmm);

  // A loaded image with a device handle and a file path, as a driver
  // loaded from a file system would have.
  EFI_HANDLE CreateImage (const char16_t *FileName);
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImageOf (EFI_HANDLE Image);

  // Variables, keyed by name and GUID.
  std::map<std::pair<std::u16string, std::string>, Variable> Variables;
  void SetVariableData (const std::u16string &Name, const EFI_GUID &Guid, UINT32 Attributes,
                        std::vector<UINT8> Data);
  const Variable *FindVariable (const std::u16string &Name, const EFI_GUID &Guid) const;

  EFI_TIME Now{2024, 3, 5, 7, 9, 59, 0, 0, 0, 0, 0};

  // The start of every service (public so that the ms_abi thunks can reach
  // it): records the call and hands back the first rule that applies to it,
  // counting that use, or NULL.
  const StatusRule *Enter (Service Called, const EFI_GUID *Guid = nullptr);

  std::vector<std::unique_ptr<SimHandle>> Handles;
  std::vector<std::unique_ptr<SimEvent>>  OwnedEvents;

 private:
  void NotifyInstalled (const EFI_GUID &Guid);

  std::vector<std::unique_ptr<std::vector<UINT8>>> Blobs;  // device paths, loaded images
};

// Builds a device path from nodes: a file-path node per name, then the end node.
std::vector<UINT8> FilePathDevicePath (const char16_t *FileName);
size_t DevicePathSize (const EFI_DEVICE_PATH_PROTOCOL *Path);

}  // namespace sim

#endif
