// SPDX-License-Identifier: BSD-2-Clause-Patent
// A client of the four public headers, compiled (never run) by matrix.py
// as C11 and as C++20, alone, with EDK2 MdePkg and with gnu-efi, with the
// SDK's headers before or after ours (SDK_HEADER and SDK_HEADER_2, or after
// with SDK_LAST). It uses what clients use: the GUID macros and g...Guid declarations, tags for
// forward declarations, callbacks of its own, a variadic routine that
// hands its list to FormatOutput, and every member as a Microsoft x64
// routine. The MISUSE_* switches each add one mistake that must not
// compile.

// A client may forward-declare the protocols before it includes anything.
struct _LIB_SERVICES_PROTOCOL;
struct _WATCHDOG_CONTROL_PROTOCOL;
struct _REGISTER_ACCESS_PROTOCOL;
struct _HOOK_REGISTRATION_PROTOCOL;

#if defined (SDK_HEADER) && !defined (SDK_LAST)
#include SDK_HEADER
#include SDK_HEADER_2
#endif
#include <LibServices.h>
#include <WatchdogControl.h>
#include <RegisterAccess.h>
#include <HookRegistration.h>
#include <ServiceLibPkg/Framework/CpuIo.h>
#if defined (SDK_HEADER) && defined (SDK_LAST)
#include SDK_HEADER
#include SDK_HEADER_2
#endif

#define MSABI __attribute__((ms_abi))

// The tags name the very protocol types.
struct _LIB_SERVICES_PROTOCOL *LibByTag (LIB_SERVICES_PROTOCOL *P) { return P; }
struct _WATCHDOG_CONTROL_PROTOCOL *WdtByTag (WATCHDOG_CONTROL_PROTOCOL *P) { return P; }
struct _REGISTER_ACCESS_PROTOCOL *RaByTag (REGISTER_ACCESS_PROTOCOL *P) { return P; }
struct _HOOK_REGISTRATION_PROTOCOL *HookByTag (HOOK_REGISTRATION_PROTOCOL *P) { return P; }

// The macros initialise GUIDs; the declarations name the EDK2-style globals.
EFI_GUID mGuids[] = {
  LIB_SERVICES_PROTOCOL_GUID, SMM_LIB_SERVICES_PROTOCOL_GUID, WATCHDOG_CONTROL_PROTOCOL_GUID,
  WDT_SETUP_VARIABLE_GUID, REGISTER_ACCESS_PROTOCOL_GUID, HOOK_REGISTRATION_PROTOCOL_GUID,
  EFI_CPU_IO_PROTOCOL_GUID, EFI_SMM_BASE_PROTOCOL_GUID,
};
EFI_GUID *mGuidGlobals[] = {
  &gLibServicesProtocolGuid, &gSmmLibServicesProtocolGuid, &gWatchdogControlProtocolGuid,
  &gWdtSetupVariableGuid, &gRegisterAccessProtocolGuid, &gHookRegistrationProtocolGuid,
  &gEfiCpuIoProtocolGuid, &gEfiSmmBaseProtocolGuid,
};

static VOID SERVICELIB_EFIAPI ClientOutput (IN CHAR16 Ch) { (VOID)Ch; }
static UINTN SERVICELIB_EFIAPI ClientInput (IN INT32 *Counter) { (VOID)Counter; return 0; }
static VOID SERVICELIB_EFIAPI ClientHook (VOID) {}

// The list VA_START builds goes to the engine as it is.
UINT32 SERVICELIB_EFIAPI ClientPrint (IN LIB_SERVICES_PROTOCOL *Lib, IN CONST CHAR8 *Format, ...)
{
  VA_LIST Args;
  UINT32  Count;
  VA_START (Args, Format);
  Count = Lib->FormatOutput (ClientOutput, 0xFFFFFFFF, FALSE, Format, Args);
  VA_END (Args);
  return Count;
}

// Every member converts, without a cast, to the Microsoft x64 routine
// type: a System V member would be rejected here.
VOID MembersAreMicrosoftX64 (IN LIB_SERVICES_PROTOCOL *Lib, IN WATCHDOG_CONTROL_PROTOCOL *Wdt,
                             IN REGISTER_ACCESS_PROTOCOL *Ra, IN HOOK_REGISTRATION_PROTOCOL *Hook,
                             IN EFI_SMM_BASE_PROTOCOL *SmmBase, IN EFI_SMM_SYSTEM_TABLE *Smst,
                             IN EFI_CPU_IO_PROTOCOL *CpuIo)
{
  EFI_HANDLE (MSABI *Register)(EFI_HANDLE, EFI_SYSTEM_TABLE *, EFI_SMM_BASE_PROTOCOL *) = Lib->RegisterImageInSmm;
  UINTN (MSABI *Get)(VOID) = Lib->GetCharB;
  VOID (MSABI *Put)(CHAR16, ...) = Lib->PutCharC;
  UINT32 (MSABI *Format)(FORMAT_OUTPUT_ROUTINE, UINT32, BOOLEAN, CONST VOID *, VA_LIST) = Lib->FormatOutput;
  INTN (MSABI *Scan)(SCAN_INPUT_ROUTINE, UINTN, BOOLEAN, CONST VOID *, VA_LIST) = Lib->ScanInput;
  VOID *(MSABI *Copy)(VOID *, CONST VOID *, UINTN, BOOLEAN, BOOLEAN) = Lib->StringCopy;
  INT32 (MSABI *Compare)(CONST VOID *, CONST VOID *, UINTN, INT8, BOOLEAN, BOOLEAN) = Lib->StringCompare;
  VOID *(MSABI *Heap)(VOID *, UINTN) = Lib->HeapAllocFree;
  UINT32 (MSABI *IoRead)(UINT16, UINTN) = Lib->IoRead;
  EFI_STATUS (MSABI *IoWrite)(UINT16, UINT32, UINTN) = Lib->IoWrite;
  VOID (MSABI *Output)(CHAR16) = (FORMAT_OUTPUT_ROUTINE)ClientOutput;
  UINTN (MSABI *Input)(INT32 *) = (SCAN_INPUT_ROUTINE)ClientInput;
  EFI_STATUS (MSABI *Start)(WATCHDOG_CONTROL_PROTOCOL *) = Wdt->Start;
  EFI_STATUS (MSABI *GetState)(WATCHDOG_CONTROL_PROTOCOL *, UINT8 *) = Wdt->GetState;
  EFI_STATUS (MSABI *Read)(VOID *, UINT8, UINT8, UINT32, UINT8 *) = Ra->Read;
  EFI_STATUS (MSABI *Write)(VOID *, UINT8, UINT8, UINT32, UINT8) = Ra->Write;
  EFI_STATUS (MSABI *Hooked)(EFI_HANDLE, EFI_SYSTEM_TABLE *, UINT32, HOOK_ROUTINE) = Hook->Register;
  EFI_STATUS (MSABI *InSmm)(EFI_SMM_BASE_PROTOCOL *, BOOLEAN *) = SmmBase->InSmm;
  EFI_STATUS (MSABI *SmmIo)(EFI_SMM_CPU_IO_INTERFACE *, EFI_SMM_IO_WIDTH, UINT64, UINTN, VOID *) = Smst->SmmIo.Io.Read;
  EFI_STATUS (MSABI *CpuIoRead)(EFI_CPU_IO_PROTOCOL *, EFI_CPU_IO_PROTOCOL_WIDTH, UINT64, UINTN, VOID *) =
    CpuIo->Io.Read;

  (VOID)Register; (VOID)Get; (VOID)Put; (VOID)Format; (VOID)Scan; (VOID)Copy; (VOID)Compare; (VOID)Heap;
  (VOID)IoRead; (VOID)IoWrite; (VOID)Output; (VOID)Input; (VOID)Start; (VOID)GetState; (VOID)Read; (VOID)Write;
  (VOID)Hooked; (VOID)InSmm; (VOID)SmmIo; (VOID)CpuIoRead;
}

VOID CallEverything (IN LIB_SERVICES_PROTOCOL *Lib, IN HOOK_REGISTRATION_PROTOCOL *Hook, IN EFI_HANDLE Image,
                     IN EFI_SYSTEM_TABLE *SystemTable)
{
  UINT64  Slots[] = { 42, (UINT64)(UINTN)"ok" };
  INT64   Value;
  UINT64  Destinations[] = { (UINT64)(UINTN)&Value };
  CHAR16  Wide[4];

  Lib->FormatOutput ((FORMAT_OUTPUT_ROUTINE)Lib->PutCharA, 0xFFFFFFFF, FALSE, "%d %a\n", (VA_LIST)Slots);
  Lib->ScanInput ((SCAN_INPUT_ROUTINE)(VOID *)Lib->GetCharA, 0, FALSE, "%d", (VA_LIST)Destinations);
  Lib->ScanInput (ClientInput, 0, FALSE, "%d", (VA_LIST)Destinations);
  Lib->StringCopy (Wide, Wide + 1, 3, TRUE, TRUE);
  Lib->HeapAllocFree (Lib->HeapAllocFree (NULL, 16), 0);
  ClientPrint (Lib, (CONST CHAR8 *)"%d %a\n", 42, "ok");
  Hook->Register (Image, SystemTable, 2, ClientHook);
  Lib->RegisterImageInSmm (Image, SystemTable, (EFI_SMM_BASE_PROTOCOL *)NULL);
}

#if defined (MISUSE_SYSV_CALLBACK)
// A routine in the SDK's or the compiler's own convention is not an
// output routine.
static VOID SysVOutput (IN CHAR16 Ch) { (VOID)Ch; }
VOID MisuseSysVCallback (IN LIB_SERVICES_PROTOCOL *Lib)
{
  Lib->FormatOutput (SysVOutput, 1, FALSE, "x", (VA_LIST)NULL);
}
#endif

#if defined (MISUSE_SYSV_VA_LIST)
// The C library's va_list of a System V routine is a structure, not the
// x64 slots the engine reads.
UINT32 MisuseSysVList (IN LIB_SERVICES_PROTOCOL *Lib, IN CONST CHAR8 *Format, ...)
{
  __builtin_va_list Args;
  UINT32            Count;
  __builtin_va_start (Args, Format);
  Count = Lib->FormatOutput (ClientOutput, 0xFFFFFFFF, FALSE, Format, Args);
  __builtin_va_end (Args);
  return Count;
}
#endif
