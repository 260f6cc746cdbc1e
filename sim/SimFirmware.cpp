// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SimFirmware.h"

#include "Guids.h"

#include <DirectPort.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include <sys/time.h>

bool operator== (const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp (&A, &B, sizeof A) == 0; }

namespace sim {

namespace {

SimFirmware *mCurrent = nullptr;
EFI_EVENT    mTickEvent = nullptr;  // what the timer signal signals

SimFirmware &Fw ()
{
  if (mCurrent == nullptr) {
    std::fprintf (stderr, "simulated firmware used with no SimFirmware alive\n");
    std::abort ();
  }
  return *mCurrent;
}

using namespace guids;

std::u16string NameOf (const CHAR16 *Name)
{
  std::u16string S;
  while (*Name != 0) {
    S.push_back (static_cast<char16_t> (*Name++));
  }
  return S;
}

// The boot services that UEFI allows at TPL_NOTIFY and below only.
bool LimitedToNotify (Service Called)
{
  switch (Called) {
    case Service::AllocatePool:
    case Service::FreePool:
    case Service::CreateEvent:
    case Service::CreateEventEx:
    case Service::CloseEvent:
    case Service::RegisterProtocolNotify:
    case Service::LocateProtocol:
    case Service::HandleProtocol:
    case Service::OpenProtocol:
    case Service::InstallProtocolInterface:
    case Service::InstallMultipleProtocolInterfaces:
    case Service::ExitBootServices:
      return true;
    default:
      return false;
  }
}

// A rule with an error status stops the service before its work.
bool Fails (const StatusRule *R) { return R != nullptr && EFI_ERROR (R->Status); }

// What a service returns after its work: the work's error, else the rule's
// warning, else success.
EFI_STATUS Outcome (const StatusRule *R, EFI_STATUS Work = EFI_SUCCESS)
{
  return EFI_ERROR (Work) || R == nullptr ? Work : R->Status;
}

//
// Boot services.
//
EFI_STATUS EFIAPI SimAllocatePool (EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::AllocatePool);
  if (Fails (R)) {
    return R->Status;
  }
  *Buffer = F.Allocate (Size);
  return Outcome (R);
}

EFI_STATUS EFIAPI SimFreePool (VOID *Buffer)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::FreePool);
  F.Freed.push_back (Buffer);
  if (Fails (R)) {
    return R->Status;
  }
  auto It = F.LivePool.find (Buffer);
  if (It == F.LivePool.end ()) {
    ++F.BadFrees;
    return EFI_INVALID_PARAMETER;
  }
  std::free (Buffer);
  F.LivePool.erase (It);
  return Outcome (R);
}

EFI_STATUS EFIAPI SimCreateEvent (UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context, EFI_EVENT *Event)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::CreateEvent);
  if (Fails (R)) {
    return R->Status;
  }
  *Event = F.NewEvent (Tpl, Notify, Context, Type,
                       Type == EVT_SIGNAL_EXIT_BOOT_SERVICES ? &kExitBootGroup : nullptr);
  return Outcome (R);
}

EFI_STATUS EFIAPI SimCreateEventEx (UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, CONST VOID *Context,
                                    CONST EFI_GUID *Group, EFI_EVENT *Event)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::CreateEventEx, Group);
  if (Fails (R)) {
    return R->Status;
  }
  *Event = F.NewEvent (Tpl, Notify, const_cast<VOID *> (Context), Type, Group);
  return Outcome (R);
}

EFI_STATUS EFIAPI SimSignalEvent (EFI_EVENT Event)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::SignalEvent);
  if (Fails (R)) {
    return R->Status;
  }
  F.Signal (Event);
  return Outcome (R);
}

EFI_STATUS EFIAPI SimCloseEvent (EFI_EVENT)
{
  return Outcome (Fw ().Enter (Service::CloseEvent));
}

EFI_STATUS EFIAPI SimRegisterProtocolNotify (EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::RegisterProtocolNotify, Protocol);
  if (Fails (R)) {
    return R->Status;
  }
  F.Notifications.push_back ({*Protocol, static_cast<SimEvent *> (Event)});
  *Registration = Event;
  return Outcome (R);
}

EFI_STATUS EFIAPI SimLocateProtocol (EFI_GUID *Protocol, VOID *, VOID **Interface)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::LocateProtocol, Protocol);
  if (Fails (R)) {
    *Interface = nullptr;
    return R->Status;
  }
  // A protocol may be installed with a NULL interface: it is then found,
  // and the interface handed back is NULL.
  *Interface = F.Find (*Protocol);
  if (*Interface == nullptr && F.HandlesWith (*Protocol).empty ()) {
    return EFI_NOT_FOUND;
  }
  return Outcome (R);
}

EFI_STATUS EFIAPI SimHandleProtocol (EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::HandleProtocol, Protocol);
  if (Fails (R)) {
    return R->Status;
  }
  *Interface = F.FindOn (Handle, *Protocol);
  return Outcome (R, *Interface != nullptr ? EFI_SUCCESS : EFI_UNSUPPORTED);
}

EFI_STATUS EFIAPI SimOpenProtocol (EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE Agent,
                                   EFI_HANDLE Controller, UINT32 Attributes)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::OpenProtocol, Protocol);
  (void)Agent;
  (void)Controller;
  (void)Attributes;
  if (Fails (R)) {
    return R->Status;
  }
  if (!F.IsHandle (Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  VOID *Found = F.FindOn (Handle, *Protocol);
  if (Found == nullptr) {
    return EFI_UNSUPPORTED;
  }
  if (Interface != nullptr) {
    *Interface = Found;
  }
  return Outcome (R);
}

EFI_STATUS EFIAPI SimInstallProtocolInterface (EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE,
                                               VOID *Interface)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::InstallProtocolInterface, Protocol);
  if (Fails (R)) {
    return R->Status;
  }
  return Outcome (R, F.Install (Handle, *Protocol, Interface));
}

EFI_STATUS EFIAPI SimInstallMultipleProtocolInterfaces (EFI_HANDLE *Handle, ...)
{
  auto &F = Fw ();
  VA_LIST Args;
  VA_START (Args, Handle);
  std::vector<ProtocolEntry> Pairs;
  for (;;) {
    auto *Guid = *reinterpret_cast<EFI_GUID **> (Args);
    Args += 8;
    if (Guid == nullptr) {
      break;
    }
    auto *Interface = *reinterpret_cast<VOID **> (Args);
    Args += 8;
    Pairs.push_back ({*Guid, Interface});
  }
  VA_END (Args);
  const StatusRule *R = F.Enter (Service::InstallMultipleProtocolInterfaces,
                                 Pairs.empty () ? nullptr : &Pairs[0].Guid);
  if (Fails (R)) {
    return R->Status;
  }
  for (const auto &P : Pairs) {
    EFI_STATUS Status = F.Install (Handle, P.Guid, P.Interface);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }
  return Outcome (R);
}

// The hand-off: the group's notifications run, then the boot services are
// gone, as in the firmware: the table is zeroed and the system table no
// longer points at it.
EFI_STATUS EFIAPI SimExitBootServices (EFI_HANDLE, UINTN)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::ExitBootServices);
  if (Fails (R)) {
    return R->Status;
  }
  F.SignalGroup (kExitBootGroup);
  F.SystemTable.BootServices = nullptr;
  std::memset (&F.BootServices, 0, sizeof F.BootServices);
  return Outcome (R);
}

void LogTpl (SimFirmware &F, bool Raise, EFI_TPL Tpl)
{
  const size_t N = F.TplCallCount;
  if (N < SimFirmware::kTplLogSize) {
    F.TplLog[N] = {Raise, Tpl};
  }
  F.TplCallCount = N + 1;
}

EFI_TPL EFIAPI SimRaiseTpl (EFI_TPL NewTpl)
{
  auto         &F  = Fw ();
  const EFI_TPL Old = F.CurrentTpl;
  if (NewTpl < Old) {
    ++F.TplMisuse;
  }
  F.CurrentTpl = NewTpl;
  LogTpl (F, true, NewTpl);
  return Old;
}

VOID EFIAPI SimRestoreTpl (EFI_TPL OldTpl)
{
  auto &F = Fw ();
  LogTpl (F, false, OldTpl);
  if (OldTpl > F.CurrentTpl) {
    ++F.TplMisuse;
  }
  F.CurrentTpl = OldTpl;
  // Run what waited for the level to drop, highest first as the
  // dispatcher does; a tick may add more while one runs.
  for (bool Ran = true; Ran;) {
    Ran = false;
    SimEvent *Best = nullptr;
    for (const auto &E : F.OwnedEvents) {
      if (E->Pending && E->Tpl > F.CurrentTpl && (Best == nullptr || E->Tpl > Best->Tpl)) {
        Best = E.get ();
      }
    }
    if (Best != nullptr) {
      Best->Pending = false;
      F.DeferredNotifies = F.DeferredNotifies + 1;
      F.Signal (Best);
      Ran = true;
    }
  }
}

void TickHandler (int)
{
  SimFirmware *F = SimFirmware::Current ();
  if (F != nullptr && mTickEvent != nullptr) {
    F->Ticks = F->Ticks + 1;
    F->Signal (mTickEvent);
  }
}

VOID EFIAPI SimCopyMem (VOID *Dest, VOID *Src, UINTN Length) { std::memmove (Dest, Src, Length); }
VOID EFIAPI SimSetMem (VOID *Buffer, UINTN Size, UINT8 Value) { std::memset (Buffer, Value, Size); }

//
// Runtime services.
//
EFI_STATUS EFIAPI SimGetTime (EFI_TIME *Time, VOID *)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::GetTime);
  if (Fails (R)) {
    return R->Status;
  }
  *Time = F.Now;
  return Outcome (R);
}

EFI_STATUS EFIAPI SimGetVariable (CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::GetVariable, Guid);
  if (Fails (R)) {
    return R->Status;
  }
  if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const Variable *V = F.FindVariable (NameOf (Name), *Guid);
  if (V == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (Data == nullptr && *DataSize >= V->Data.size () && !V->Data.empty ()) {
    return EFI_INVALID_PARAMETER;
  }
  // Attributes are reported both on success and when the buffer is too small.
  if (Attributes != nullptr) {
    *Attributes = V->Attributes;
  }
  if (*DataSize < V->Data.size ()) {
    *DataSize = V->Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }
  *DataSize = V->Data.size ();
  if (!V->Data.empty ()) {
    std::memcpy (Data, V->Data.data (), V->Data.size ());
  }
  return Outcome (R);
}

EFI_STATUS EFIAPI SimSetVariable (CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, VOID *Data)
{
  auto             &F = Fw ();
  const StatusRule *R = F.Enter (Service::SetVariable, Guid);
  if (Fails (R)) {
    return R->Status;
  }
  if (Name == nullptr || Guid == nullptr || (DataSize != 0 && Data == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Key = std::make_pair (NameOf (Name), GuidText (*Guid));
  if (DataSize == 0 || Attributes == 0) {
    return Outcome (R, F.Variables.erase (Key) != 0 ? EFI_SUCCESS : EFI_NOT_FOUND);
  }
  auto *Bytes = static_cast<const UINT8 *> (Data);
  F.Variables[Key] = Variable{Attributes, std::vector<UINT8> (Bytes, Bytes + DataSize)};
  return Outcome (R);
}

VOID EFIAPI SimResetSystem (EFI_RESET_TYPE, EFI_STATUS, UINTN, VOID *)
{
  Fw ().Enter (Service::ResetSystem);
}

//
// CPU I/O, SMM SmmIo: both protocols lay their I/O routines out alike, so
// one template serves Read and Write of each, Path naming the route to the
// bus; memory access is not simulated.
//
template <PortPath Path, bool Write, typename ThisT, typename WidthT>
EFI_STATUS EFIAPI SimPortIo (ThisT *This, WidthT Width, UINT64 Address, UINTN Count, VOID *Buffer)
{
  if (Width > 2 || Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto *Bytes = static_cast<UINT8 *> (Buffer);
  const unsigned Size = 1u << Width;
  for (UINTN I = 0; I < Count; ++I) {
    UINT32 Value = 0;
    if (Write) {
      std::memcpy (&Value, Bytes + I * Size, Size);
      Fw ().Ports.Write (Path, static_cast<UINT16> (Address), static_cast<unsigned> (Width), Value, This);
    } else {
      Value = Fw ().Ports.Read (Path, static_cast<UINT16> (Address), static_cast<unsigned> (Width), This);
      std::memcpy (Bytes + I * Size, &Value, Size);
    }
  }
  return EFI_SUCCESS;
}

template <typename ThisT, typename WidthT>
EFI_STATUS EFIAPI SimMemUnsupported (ThisT *, WidthT, UINT64, UINTN, VOID *)
{
  return EFI_UNSUPPORTED;
}

//
// SMM Base.
//
SimSmmBase &SmmOf (EFI_SMM_BASE_PROTOCOL *This) { return *reinterpret_cast<SimSmmBase *> (This); }

EFI_STATUS EFIAPI SimSmmRegister (EFI_SMM_BASE_PROTOCOL *This, EFI_DEVICE_PATH_PROTOCOL *FilePath,
                                  VOID *SourceBuffer, UINTN SourceSize, EFI_HANDLE *ImageHandle,
                                  BOOLEAN LegacyIA32Binary)
{
  auto           &S = SmmOf (This);
  SmmRegisterCall Call{This, {}, FilePath, SourceBuffer, SourceSize, LegacyIA32Binary};
  if (FilePath != nullptr) {
    auto *Bytes = reinterpret_cast<const UINT8 *> (FilePath);
    Call.FilePath.assign (Bytes, Bytes + DevicePathSize (FilePath));
  }
  S.RegisterCalls.push_back (Call);
  if (S.OnRegister) {
    S.OnRegister (S.RegisterCalls.back ());
  }
  if (ImageHandle != nullptr) {
    *ImageHandle = S.RegisterHandle;
  }
  return S.RegisterStatus;
}

EFI_STATUS EFIAPI SimSmmInSmm (EFI_SMM_BASE_PROTOCOL *This, BOOLEAN *InSmm)
{
  auto &S = SmmOf (This);
  ++S.InSmmCalls;
  *InSmm = S.InSmm;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SimSmmGetSmstLocation (EFI_SMM_BASE_PROTOCOL *This, EFI_SMM_SYSTEM_TABLE **Smst)
{
  auto &S = SmmOf (This);
  ++S.GetSmstCalls;
  if (!EFI_ERROR (S.GetSmstStatus)) {
    *Smst = &S.Owner->Smst;
  }
  return S.GetSmstStatus;
}

//
// Device path utilities.
//
EFI_DEVICE_PATH_PROTOCOL *EFIAPI SimAppendDevicePath (CONST EFI_DEVICE_PATH_PROTOCOL *First,
                                                      CONST EFI_DEVICE_PATH_PROTOCOL *Second)
{
  auto &F = Fw ();
  if (Fails (F.Enter (Service::AppendDevicePath))) {
    return nullptr;
  }
  const size_t A = First != nullptr ? DevicePathSize (First) - 4 : 0;  // without its end node
  const size_t B = Second != nullptr ? DevicePathSize (Second) : 4;
  auto *Out = static_cast<UINT8 *> (F.Allocate (A + B));
  if (A != 0) {
    std::memcpy (Out, First, A);
  }
  if (Second != nullptr) {
    std::memcpy (Out + A, Second, B);
  } else {
    const UINT8 End[4] = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
    std::memcpy (Out + A, End, 4);
  }
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *> (Out);
}

UINTN EFIAPI SimGetDevicePathSize (CONST EFI_DEVICE_PATH_PROTOCOL *Path) { return DevicePathSize (Path); }

}  // namespace

const char *ServiceName (Service Called)
{
  switch (Called) {
    case Service::AllocatePool:                      return "AllocatePool";
    case Service::FreePool:                          return "FreePool";
    case Service::CreateEvent:                       return "CreateEvent";
    case Service::CreateEventEx:                     return "CreateEventEx";
    case Service::SignalEvent:                       return "SignalEvent";
    case Service::CloseEvent:                        return "CloseEvent";
    case Service::RegisterProtocolNotify:            return "RegisterProtocolNotify";
    case Service::LocateProtocol:                    return "LocateProtocol";
    case Service::HandleProtocol:                    return "HandleProtocol";
    case Service::OpenProtocol:                      return "OpenProtocol";
    case Service::InstallProtocolInterface:          return "InstallProtocolInterface";
    case Service::InstallMultipleProtocolInterfaces: return "InstallMultipleProtocolInterfaces";
    case Service::ExitBootServices:                  return "ExitBootServices";
    case Service::GetTime:                           return "GetTime";
    case Service::GetVariable:                       return "GetVariable";
    case Service::SetVariable:                       return "SetVariable";
    case Service::ResetSystem:                       return "ResetSystem";
    case Service::AppendDevicePath:                  return "AppendDevicePath";
  }
  return "?";
}

std::string ToString (const ServiceCall &Call)
{
  return Call.HasGuid ? std::string (ServiceName (Call.Called)) + " " + GuidText (Call.Guid)
                      : std::string (ServiceName (Call.Called));
}

void PrintTo (const ServiceCall &Call, std::ostream *Os) { *Os << ToString (Call); }

std::string GuidText (const EFI_GUID &G)
{
  char Buf[40];
  std::snprintf (Buf, sizeof Buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", G.Data1, G.Data2, G.Data3,
                 G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Buf;
}

size_t DevicePathSize (const EFI_DEVICE_PATH_PROTOCOL *Path)
{
  auto  *P = reinterpret_cast<const UINT8 *> (Path);
  size_t Size = 0;
  for (;;) {
    const size_t Len = P[Size + 2] | (P[Size + 3] << 8);
    const bool   End = P[Size] == END_DEVICE_PATH_TYPE && P[Size + 1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
    Size += Len;
    if (End || Len < 4) {
      return Size;
    }
  }
}

std::vector<UINT8> FilePathDevicePath (const char16_t *FileName)
{
  std::vector<UINT8> Out;
  size_t             Chars = 0;
  while (FileName[Chars] != 0) {
    ++Chars;
  }
  const size_t Len = 4 + 2 * (Chars + 1);
  Out.push_back (MEDIA_DEVICE_PATH);
  Out.push_back (MEDIA_FILEPATH_DP);
  Out.push_back (static_cast<UINT8> (Len));
  Out.push_back (static_cast<UINT8> (Len >> 8));
  for (size_t I = 0; I <= Chars; ++I) {
    Out.push_back (static_cast<UINT8> (FileName[I]));
    Out.push_back (static_cast<UINT8> (FileName[I] >> 8));
  }
  Out.insert (Out.end (), {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0});
  return Out;
}

SimFirmware::SimFirmware ()
{
  if (mCurrent != nullptr) {
    std::fprintf (stderr, "only one SimFirmware may be alive at a time\n");
    std::abort ();
  }
  mCurrent = this;

  auto &B                               = BootServices;
  B.Hdr.Signature                       = 0x56524553544f4f42ULL;  // "BOOTSERV"
  B.Hdr.HeaderSize                      = sizeof B;
  B.RaiseTPL                            = SimRaiseTpl;
  B.RestoreTPL                          = SimRestoreTpl;
  B.AllocatePool                        = SimAllocatePool;
  B.FreePool                            = SimFreePool;
  B.CreateEvent                         = SimCreateEvent;
  B.SignalEvent                         = SimSignalEvent;
  B.CloseEvent                          = SimCloseEvent;
  B.InstallProtocolInterface            = SimInstallProtocolInterface;
  B.HandleProtocol                      = SimHandleProtocol;
  B.RegisterProtocolNotify              = SimRegisterProtocolNotify;
  B.ExitBootServices                    = SimExitBootServices;
  B.OpenProtocol                        = SimOpenProtocol;
  B.LocateProtocol                      = SimLocateProtocol;
  B.InstallMultipleProtocolInterfaces   = SimInstallMultipleProtocolInterfaces;
  B.CopyMem                             = SimCopyMem;
  B.SetMem                              = SimSetMem;
  B.CreateEventEx                       = SimCreateEventEx;

  auto &R          = RuntimeServices;
  R.Hdr.Signature  = 0x56524553544e5552ULL;  // "RUNTSERV"
  R.Hdr.HeaderSize = sizeof R;
  R.GetTime        = SimGetTime;
  R.GetVariable    = SimGetVariable;
  R.SetVariable    = SimSetVariable;
  R.ResetSystem    = SimResetSystem;

  SystemTable.Hdr.Signature  = 0x5453595320494249ULL;  // "IBI SYST"
  SystemTable.Hdr.HeaderSize = sizeof SystemTable;
  SystemTable.BootServices    = &BootServices;
  SystemTable.RuntimeServices = &RuntimeServices;

  CpuIo.Mem.Read  = SimMemUnsupported;
  CpuIo.Mem.Write = SimMemUnsupported;
  CpuIo.Io.Read   = SimPortIo<PortPath::CpuIo, false>;
  CpuIo.Io.Write  = SimPortIo<PortPath::CpuIo, true>;
  CpuIo2          = CpuIo;

  Smst.SmmIo.Mem.Read  = SimMemUnsupported;
  Smst.SmmIo.Mem.Write = SimMemUnsupported;
  Smst.SmmIo.Io.Read   = SimPortIo<PortPath::SmmIo, false>;
  Smst.SmmIo.Io.Write  = SimPortIo<PortPath::SmmIo, true>;

  DevicePathUtilities.GetDevicePathSize = SimGetDevicePathSize;
  DevicePathUtilities.AppendDevicePath  = SimAppendDevicePath;

  SmmBase.Protocol.Register        = SimSmmRegister;
  SmmBase.Protocol.InSmm           = SimSmmInSmm;
  SmmBase.Protocol.GetSmstLocation = SimSmmGetSmstLocation;
  SmmBase.Owner                    = this;

  EFI_HANDLE Platform = nullptr;
  Install (&Platform, kCpuIoGuid, &CpuIo);
  Install (&Platform, kDpuGuid, &DevicePathUtilities);
}

SimFirmware::~SimFirmware ()
{
  if (mTickEvent != nullptr) {
    StopTick ();
  }
  for (auto &[Pointer, Size] : LivePool) {
    std::free (Pointer);
  }
  mCurrent = nullptr;
}

SimFirmware *SimFirmware::Current () { return mCurrent; }

EFI_HANDLE SimFirmware::NewHandle ()
{
  Handles.push_back (std::make_unique<SimHandle> ());
  return Handles.back ().get ();
}

bool SimFirmware::IsHandle (EFI_HANDLE Handle) const
{
  for (const auto &H : Handles) {
    if (H.get () == Handle) {
      return true;
    }
  }
  return false;
}

EFI_STATUS SimFirmware::Install (EFI_HANDLE *Handle, const EFI_GUID &Guid, VOID *Interface)
{
  if (Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (*Handle == nullptr) {
    *Handle = NewHandle ();
  } else if (!IsHandle (*Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  auto *H = static_cast<SimHandle *> (*Handle);
  for (const auto &P : H->Protocols) {
    if (P.Guid == Guid) {
      return EFI_INVALID_PARAMETER;
    }
  }
  H->Protocols.push_back ({Guid, Interface});
  NotifyInstalled (Guid);
  return EFI_SUCCESS;
}

void SimFirmware::NotifyInstalled (const EFI_GUID &Guid)
{
  // Notify those waiting for this protocol, as the firmware would.
  for (const auto &[G, E] : std::vector<std::pair<EFI_GUID, SimEvent *>> (Notifications)) {
    if (G == Guid) {
      Signal (E);
    }
  }
}

EFI_STATUS SimFirmware::Reinstall (EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface)
{
  if (!IsHandle (Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  for (auto &P : static_cast<SimHandle *> (Handle)->Protocols) {
    if (P.Guid == Guid) {
      P.Interface = Interface;
      NotifyInstalled (Guid);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_HANDLE SimFirmware::Install (const EFI_GUID &Guid, VOID *Interface)
{
  EFI_HANDLE Handle = nullptr;
  Install (&Handle, Guid, Interface);
  return Handle;
}

EFI_STATUS SimFirmware::Uninstall (EFI_HANDLE Handle, const EFI_GUID &Guid)
{
  if (!IsHandle (Handle)) {
    return EFI_INVALID_PARAMETER;
  }
  auto &Protocols = static_cast<SimHandle *> (Handle)->Protocols;
  for (auto It = Protocols.begin (); It != Protocols.end (); ++It) {
    if (It->Guid == Guid) {
      Protocols.erase (It);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

void SimFirmware::UninstallAll (const EFI_GUID &Guid)
{
  for (EFI_HANDLE Handle : HandlesWith (Guid)) {
    Uninstall (Handle, Guid);
  }
}

VOID *SimFirmware::Find (const EFI_GUID &Guid) const
{
  for (const auto &H : Handles) {
    for (const auto &P : H->Protocols) {
      if (P.Guid == Guid) {
        return P.Interface;
      }
    }
  }
  return nullptr;
}

VOID *SimFirmware::FindOn (EFI_HANDLE Handle, const EFI_GUID &Guid) const
{
  if (!IsHandle (Handle)) {
    return nullptr;
  }
  for (const auto &P : static_cast<SimHandle *> (Handle)->Protocols) {
    if (P.Guid == Guid) {
      return P.Interface;
    }
  }
  return nullptr;
}

std::vector<EFI_HANDLE> SimFirmware::HandlesWith (const EFI_GUID &Guid) const
{
  std::vector<EFI_HANDLE> Out;
  for (const auto &H : Handles) {
    for (const auto &P : H->Protocols) {
      if (P.Guid == Guid) {
        Out.push_back (H.get ());
      }
    }
  }
  return Out;
}

std::vector<SimEvent *> SimFirmware::Events () const
{
  std::vector<SimEvent *> Out;
  for (const auto &E : OwnedEvents) {
    Out.push_back (E.get ());
  }
  return Out;
}

std::vector<SimEvent *> SimFirmware::EventsInGroup (const EFI_GUID &Group) const
{
  std::vector<SimEvent *> Out;
  for (const auto &E : OwnedEvents) {
    if (E->HasGroup && E->Group == Group) {
      Out.push_back (E.get ());
    }
  }
  return Out;
}

void SimFirmware::Signal (EFI_EVENT Event)
{
  auto *E = static_cast<SimEvent *> (Event);
  ++E->SignalCount;
  if (E->Notify == nullptr || (E->Type & EVT_NOTIFY_SIGNAL) == 0) {
    return;
  }
  const EFI_TPL Old = CurrentTpl;
  if (E->Tpl <= Old) {
    E->Pending = true;
    return;
  }
  // The notification runs at its own level, so that what it interrupts
  // cannot run again until it returns.
  CurrentTpl = E->Tpl;
  E->Notify (E, E->Context);
  CurrentTpl = Old;
}

EFI_EVENT SimFirmware::NewEvent (EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context, UINT32 Type,
                                 const EFI_GUID *Group)
{
  auto E     = std::make_unique<SimEvent> ();
  E->Type    = Type;
  E->Tpl     = Tpl;
  E->Notify  = Notify;
  E->Context = Context;
  if (Group != nullptr) {
    E->HasGroup = true;
    E->Group    = *Group;
  }
  OwnedEvents.push_back (std::move (E));
  return OwnedEvents.back ().get ();
}

std::vector<TplCall> SimFirmware::TplCalls () const
{
  const size_t N = TplCallCount < kTplLogSize ? TplCallCount : kTplLogSize;
  return std::vector<TplCall> (TplLog, TplLog + N);
}

void SimFirmware::StartTick (EFI_EVENT Event, unsigned Microseconds)
{
  mTickEvent = Event;
  struct sigaction Action = {};
  Action.sa_handler = TickHandler;
  Action.sa_flags   = SA_RESTART;
  sigemptyset (&Action.sa_mask);
  sigaction (SIGALRM, &Action, nullptr);
  const itimerval Timer = {{0, static_cast<suseconds_t> (Microseconds)}, {0, static_cast<suseconds_t> (Microseconds)}};
  setitimer (ITIMER_REAL, &Timer, nullptr);
}

void SimFirmware::StopTick ()
{
  const itimerval Off = {};
  setitimer (ITIMER_REAL, &Off, nullptr);
  signal (SIGALRM, SIG_IGN);
  mTickEvent = nullptr;
}

void SimFirmware::SignalGroup (const EFI_GUID &Group)
{
  for (SimEvent *E : EventsInGroup (Group)) {
    Signal (E);
  }
}

VOID *SimFirmware::Allocate (UINTN Size)
{
  VOID *P = std::calloc (1, Size == 0 ? 1 : Size);
  LivePool[P] = Size;
  return P;
}

const StatusRule *SimFirmware::Enter (Service Called, const EFI_GUID *Guid)
{
  Calls.push_back (Guid != nullptr ? ServiceCall (Called, *Guid) : ServiceCall (Called));
  if (CurrentTpl > TPL_NOTIFY && LimitedToNotify (Called)) {
    ++CallsAboveNotify;
  }
  for (auto &R : Rules) {
    if (R.Times == 0 || R.Called != Called) {
      continue;
    }
    if (R.MatchGuid && (Guid == nullptr || !(R.Guid == *Guid))) {
      continue;
    }
    if (R.Times > 0) {
      --R.Times;
    }
    return &R;
  }
  return nullptr;
}

size_t SimFirmware::CountCalls (Service Called) const
{
  size_t N = 0;
  for (const auto &C : Calls) {
    N += C.Called == Called;
  }
  return N;
}

void SimFirmware::FailWith (Service Called, EFI_STATUS Status, int Times)
{
  if (Called == Service::ResetSystem) {
    std::fprintf (stderr, "FailWith: ResetSystem returns nothing, so no rule can change it\n");
    std::abort ();
  }
  Rules.push_back ({Called, false, {}, Status, Times});
}

void SimFirmware::FailWith (Service Called, const EFI_GUID &Guid, EFI_STATUS Status, int Times)
{
  FailWith (Called, Status, Times);
  Rules.back ().MatchGuid = true;
  Rules.back ().Guid      = Guid;
}

EFI_HANDLE SimFirmware::InstallSmmBase (BOOLEAN InSmm)
{
  SmmBase.InSmm = InSmm;
  return Install (kSmmBaseGuid, &SmmBase.Protocol);
}

EFI_HANDLE SimFirmware::CreateImage (const char16_t *FileName)
{
  // The device the file was loaded from: a one-node hardware path.
  Blobs.push_back (std::make_unique<std::vector<UINT8>> (
    std::vector<UINT8>{0x01, 0x01, 6, 0, 0x00, 0x1F, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0}));
  EFI_HANDLE Device = Install (kDevicePathGuid, Blobs.back ()->data ());

  Blobs.push_back (std::make_unique<std::vector<UINT8>> (FilePathDevicePath (FileName)));
  auto *File = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *> (Blobs.back ()->data ());

  Blobs.push_back (std::make_unique<std::vector<UINT8>> (sizeof (EFI_LOADED_IMAGE_PROTOCOL)));
  auto *Loaded         = reinterpret_cast<EFI_LOADED_IMAGE_PROTOCOL *> (Blobs.back ()->data ());
  Loaded->Revision     = 0x1000;
  Loaded->SystemTable  = &SystemTable;
  Loaded->DeviceHandle = Device;
  Loaded->FilePath     = File;

  return Install (kLoadedImageGuid, Loaded);
}

EFI_LOADED_IMAGE_PROTOCOL *SimFirmware::LoadedImageOf (EFI_HANDLE Image)
{
  return static_cast<EFI_LOADED_IMAGE_PROTOCOL *> (FindOn (Image, kLoadedImageGuid));
}

void SimFirmware::SetVariableData (const std::u16string &Name, const EFI_GUID &Guid, UINT32 Attributes,
                                   std::vector<UINT8> Data)
{
  Variables[{Name, GuidText (Guid)}] = Variable{Attributes, std::move (Data)};
}

const Variable *SimFirmware::FindVariable (const std::u16string &Name, const EFI_GUID &Guid) const
{
  auto It = Variables.find ({Name, GuidText (Guid)});
  return It == Variables.end () ? nullptr : &It->second;
}

}  // namespace sim

// The host side of the direct-port seam: in/out instructions of the drivers
// land on the simulated bus.
extern "C" UINT8 HostDirectPortRead8 (UINT16 Port)
{
  return static_cast<UINT8> (sim::Fw ().Ports.Read (sim::PortPath::Direct, Port, 0));
}

extern "C" VOID HostDirectPortWrite8 (UINT16 Port, UINT8 Value)
{
  sim::Fw ().Ports.Write (sim::PortPath::Direct, Port, 0, Value);
}
