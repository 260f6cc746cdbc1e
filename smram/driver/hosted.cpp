// SPDX-License-Identifier: BSD-2-Clause-Patent
// What an image started by the probe sees of the platform, all of it in
// SMRAM: a system table whose boot services are the subset a Framework SMM
// driver uses at entry (served over the PI SMM protocol database), a
// Framework SMM Base that answers InSmm with TRUE, and a Framework SMM
// system table whose SmmIo forwards to the PI SmmIo and checks This.
#include "ProbeDriver.h"
#include "testkit/SmmIoPair.h"

constinit IO_COUNTS mSmmIoCounts = {};
extern constinit EFI_SMM_BASE_PROTOCOL mHostedSmmBase;

namespace {

constexpr UINTN kBootServiceCount = (sizeof (EFI_BOOT_SERVICES) - sizeof (EFI_TABLE_HEADER)) / sizeof (VOID *);
constexpr UINT64 kBootServicesSignature = 0x56524553544f4f42ULL;  // "BOOTSERV"
constexpr UINT64 kSystemTableSignature  = 0x5453595320494249ULL;  // "IBI SYST"
constexpr UINT64 kSmstSignature         = 0x54534d53ULL;          // "SMST"

constinit EFI_GUID mFwSmmBaseGuid = EFI_SMM_BASE_PROTOCOL_GUID;

constinit EFI_BOOT_SERVICES     mHostedBs    = {};
constinit EFI_SYSTEM_TABLE      mHostedSt    = {};
constinit EFI_SMM_SYSTEM_TABLE  mFwSmst      = {};
// The firmware's routines, copied while DXE memory could still be read.
constinit VOID                  *mFirmwareBs[kBootServiceCount] = {};

VOID **Slots (EFI_BOOT_SERVICES *Table)
{
  return reinterpret_cast<VOID **> (reinterpret_cast<UINT8 *> (Table) + sizeof (EFI_TABLE_HEADER));
}

// ---- boot services outside the served subset: say which, refuse.
template <UINTN Index>
EFI_STATUS EFIAPI Unserved ()
{
  CONST UINT64 Offset = sizeof (EFI_TABLE_HEADER) + Index * sizeof (VOID *);
  LOG ().Fields (kLogSmramEntryUnserved, Offset).End ();
  return EFI_UNSUPPORTED;
}

template <typename T, T... Index>
struct UNSERVED_TABLE {
  using ROUTINE = EFI_STATUS (EFIAPI *)();
  static constexpr ROUTINE kRoutines[sizeof...(Index)] = {&Unserved<Index>...};
};

using UNSERVED = __make_integer_seq<UNSERVED_TABLE, UINTN, kBootServiceCount>;

// ---- the served subset.
EFI_STATUS EFIAPI HostedLocateProtocol (IN EFI_GUID *Protocol, IN VOID *Registration, OUT VOID **Interface)
{
  (void)Registration;
  EFI_STATUS Status;
  if (SameGuid (*Protocol, mFwSmmBaseGuid)) {
    *Interface = &mHostedSmmBase;
    Status     = EFI_SUCCESS;
  } else {
    Status = mPiSmst->SmmLocateProtocol (Protocol, nullptr, Interface);
  }
  LOG ().Fields (kLogSmramEntryLocate, Protocol, Status,
                 EFI_ERROR (Status) ? 0 : reinterpret_cast<UINT64> (*Interface)).End ();
  return Status;
}

EFI_STATUS Install (EFI_HANDLE *Handle, EFI_GUID *Protocol, VOID *Interface, CONST CHAR8 *How)
{
  EFI_STATUS Status = mPiSmst->SmmInstallProtocolInterface (Handle, Protocol, EFI_NATIVE_INTERFACE, Interface);
  LOG ().Fields (kLogSmramEntryInstall, How, Protocol, reinterpret_cast<UINT64> (Interface),
                 reinterpret_cast<UINT64> (*Handle), Status).End ();
  return Status;
}

EFI_STATUS EFIAPI HostedInstallProtocolInterface (IN OUT EFI_HANDLE *Handle, IN EFI_GUID *Protocol,
                                                  IN EFI_INTERFACE_TYPE Type, IN VOID *Interface)
{
  (void)Type;
  return Install (Handle, Protocol, Interface, "InstallProtocolInterface");
}

EFI_STATUS EFIAPI HostedInstallMultiple (IN OUT EFI_HANDLE *Handle, ...)
{
  __builtin_ms_va_list Marker;
  __builtin_ms_va_start (Marker, Handle);
  EFI_STATUS Status = EFI_SUCCESS;
  for (;;) {
    auto *Protocol = __builtin_va_arg (Marker, EFI_GUID *);
    if (Protocol == nullptr) {
      break;
    }
    VOID *Interface = __builtin_va_arg (Marker, VOID *);
    Status = Install (Handle, Protocol, Interface, "InstallMultipleProtocolInterfaces");
    if (EFI_ERROR (Status)) {
      break;
    }
  }
  __builtin_ms_va_end (Marker);
  return Status;
}

EFI_STATUS EFIAPI HostedHandleProtocol (IN EFI_HANDLE Handle, IN EFI_GUID *Protocol, OUT VOID **Interface)
{
  return mPiSmst->SmmHandleProtocol (Handle, Protocol, Interface);
}

EFI_STATUS EFIAPI HostedOpenProtocol (IN EFI_HANDLE Handle, IN EFI_GUID *Protocol, OUT VOID **Interface,
                                      IN EFI_HANDLE Agent, IN EFI_HANDLE Controller, IN UINT32 Attributes)
{
  (void)Agent;
  (void)Controller;
  (void)Attributes;
  return mPiSmst->SmmHandleProtocol (Handle, Protocol, Interface);
}

EFI_STATUS EFIAPI HostedAllocatePool (IN EFI_MEMORY_TYPE Type, IN UINTN Size, OUT VOID **Buffer)
{
  (void)Type;
  return mPiSmst->SmmAllocatePool (EfiRuntimeServicesData, Size, Buffer);
}

EFI_STATUS EFIAPI HostedFreePool (IN VOID *Buffer)
{
  return mPiSmst->SmmFreePool (Buffer);
}

// ---- Framework SMM Base, SMRAM instance.
EFI_STATUS EFIAPI FwUnsupported ()
{
  LOG ().Text ("SMM Framework SMM Base: member not served").End ();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI FwInSmm (IN EFI_SMM_BASE_PROTOCOL *This, OUT BOOLEAN *InSmm)
{
  *InSmm = TRUE;
  LOG ().Fields (kLogSmramEntryInSmm, This == &mHostedSmmBase ? "SmmBase" : "other").End ();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FwGetSmstLocation (IN EFI_SMM_BASE_PROTOCOL *This, IN OUT EFI_SMM_SYSTEM_TABLE **Smst)
{
  *Smst = &mFwSmst;
  LOG ().Fields (kLogSmramEntrySmst, This == &mHostedSmmBase ? "SmmBase" : "other", reinterpret_cast<UINT64> (&mFwSmst))
        .End ();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FwAllocatePool (IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_MEMORY_TYPE Type, IN UINTN Size,
                                  OUT VOID **Buffer)
{
  (void)This;
  (void)Type;
  return mPiSmst->SmmAllocatePool (EfiRuntimeServicesData, Size, Buffer);
}

EFI_STATUS EFIAPI FwFreePool (IN EFI_SMM_BASE_PROTOCOL *This, IN VOID *Buffer)
{
  (void)This;
  return mPiSmst->SmmFreePool (Buffer);
}

// ---- Framework SmmIo over the PI SmmIo; port accesses are counted and This
// checked (memory accesses forward as they are: PiSmmDriver.h).
EFI_STATUS IoForward (IN EFI_SMM_CPU_IO_INTERFACE *This, IN EFI_SMM_IO_WIDTH Width, IN UINT64 Address,
                      IN UINTN Count, IN OUT VOID *Buffer, IN BOOLEAN Write)
{
  (Write ? mSmmIoCounts.Writes : mSmmIoCounts.Reads)++;
  if (This != &mFwSmst.SmmIo) {
    mSmmIoCounts.WrongThis++;
    LOG ().Fields (kLogSmramWrongThis, Write ? "write" : "read", Address, reinterpret_cast<UINT64> (This)).End ();
  }
  PI_SMM_IO_ACCESS &Io = mPiSmst->SmmIo.Io;
  return (Write ? Io.Write : Io.Read) (&mPiSmst->SmmIo, Width, Address, Count, Buffer);
}

}  // namespace

constinit EFI_SMM_BASE_PROTOCOL mHostedSmmBase = {};

VOID SnapshotFirmwareBootServices (CONST EFI_BOOT_SERVICES *BootServices)
{
  CONST VOID *CONST *From = Slots (const_cast<EFI_BOOT_SERVICES *> (BootServices));
  for (UINTN Index = 0; Index < kBootServiceCount; Index++) {
    mFirmwareBs[Index] = const_cast<VOID *> (From[Index]);
  }
}

EFI_SYSTEM_TABLE *HostedSystemTableForEntry ()
{
  VOID **To = Slots (&mHostedBs);
  for (UINTN Index = 0; Index < kBootServiceCount; Index++) {
    To[Index] = reinterpret_cast<VOID *> (UNSERVED::kRoutines[Index]);
  }
  mHostedBs.Hdr.Signature                   = kBootServicesSignature;
  mHostedBs.Hdr.HeaderSize                  = sizeof (EFI_BOOT_SERVICES);
  mHostedBs.AllocatePool                    = HostedAllocatePool;
  mHostedBs.FreePool                        = HostedFreePool;
  mHostedBs.LocateProtocol                  = HostedLocateProtocol;
  mHostedBs.InstallProtocolInterface        = HostedInstallProtocolInterface;
  mHostedBs.InstallMultipleProtocolInterfaces = HostedInstallMultiple;
  mHostedBs.HandleProtocol                  = HostedHandleProtocol;
  mHostedBs.OpenProtocol                    = HostedOpenProtocol;

  mHostedSmmBase.Register         = reinterpret_cast<EFI_SMM_REGISTER_HANDLER> (&FwUnsupported);
  mHostedSmmBase.UnRegister       = reinterpret_cast<EFI_SMM_UNREGISTER_HANDLER> (&FwUnsupported);
  mHostedSmmBase.Communicate      = reinterpret_cast<EFI_SMM_COMMUNICATE> (&FwUnsupported);
  mHostedSmmBase.RegisterCallback = reinterpret_cast<EFI_SMM_CALLBACK_SERVICE> (&FwUnsupported);
  mHostedSmmBase.InSmm            = FwInSmm;
  mHostedSmmBase.SmmAllocatePool  = FwAllocatePool;
  mHostedSmmBase.SmmFreePool      = FwFreePool;
  mHostedSmmBase.GetSmstLocation  = FwGetSmstLocation;

  mHostedSt.Hdr.Signature  = kSystemTableSignature;
  mHostedSt.Hdr.HeaderSize = sizeof (EFI_SYSTEM_TABLE);
  mHostedSt.BootServices   = &mHostedBs;

  mFwSmst.Hdr.Signature         = kSmstSignature;
  mFwSmst.Hdr.HeaderSize        = sizeof (EFI_SMM_SYSTEM_TABLE);
  mFwSmst.SmmIo.Io              = SmmIoPair<IoForward>;
  mFwSmst.SmmIo.Mem             = kForwardedSmmMem;
  mFwSmst.SmmAllocatePool       = reinterpret_cast<VOID *> (mPiSmst->SmmAllocatePool);
  mFwSmst.SmmFreePool           = reinterpret_cast<VOID *> (mPiSmst->SmmFreePool);
  mFwSmst.SmmAllocatePages      = reinterpret_cast<VOID *> (mPiSmst->SmmAllocatePages);
  mFwSmst.SmmFreePages          = reinterpret_cast<VOID *> (mPiSmst->SmmFreePages);
  mFwSmst.CurrentlyExecutingCpu = mPiSmst->CurrentlyExecutingCpu;
  mFwSmst.NumberOfCpus          = mPiSmst->NumberOfCpus;
  return &mHostedSt;
}

VOID SealHostedBootServices ()
{
  VOID **To = Slots (&mHostedBs);
  for (UINTN Index = 0; Index < kBootServiceCount; Index++) {
    To[Index] = mFirmwareBs[Index];
  }
}

EFI_SMM_SYSTEM_TABLE *FrameworkSmst ()
{
  return &mFwSmst;
}

EFI_BOOT_SERVICES *HostedBootServices ()
{
  return &mHostedBs;
}
