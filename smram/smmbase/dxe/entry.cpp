// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry of the DXE half and the members other than Register. The entry
// reserves the communication buffer and waits for the SMM half's ready
// record; EFI_SMM_BASE_PROTOCOL goes in only once that record exists, so
// a driver that calls Register from its notification is served at once.
#include "DxeHalf.h"
#include <LibServices.h>
#include "../Unsupported.h"

constinit EFI_HANDLE                    mImageHandle  = nullptr;
constinit EFI_SYSTEM_TABLE              *mSystemTable  = nullptr;
constinit EFI_BOOT_SERVICES             *mBootServices = nullptr;
constinit PI_SMM_BASE2_PROTOCOL         *mSmmBase2     = nullptr;
constinit PI_SMM_COMMUNICATION_PROTOCOL *mCommunication = nullptr;
constinit EFI_SMM_BASE_PROTOCOL         *mSmmHalf      = nullptr;
constinit PI_SMM_COMMUNICATE_HEADER     *mBuffer       = nullptr;

namespace {

constinit EFI_GUID mReadyGuid         = SMMBASE_READY_PROTOCOL_GUID;
constinit EFI_GUID mSmmBase2Guid      = EFI_SMM_BASE2_PROTOCOL_GUID;
constinit EFI_GUID mCommunicationGuid = EFI_SMM_COMMUNICATION_PROTOCOL_GUID;
constinit EFI_GUID mSmmBaseGuid       = EFI_SMM_BASE_PROTOCOL_GUID;
constinit EFI_GUID mLibServicesGuid   = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mToTextGuid        = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;

constinit VOID    *mReadyRegistration = nullptr;
constinit BOOLEAN mInstalled          = FALSE;

EFI_STATUS EFIAPI InSmm (IN EFI_SMM_BASE_PROTOCOL *This, OUT BOOLEAN *InSmmFlag)
{
  (void)This;
  if (InSmmFlag == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  return mSmmBase2->InSmm (mSmmBase2, InSmmFlag);
}

// The Framework SMM system table lies in SMRAM and means nothing outside SMM.
EFI_STATUS EFIAPI GetSmstLocation (IN EFI_SMM_BASE_PROTOCOL *This, IN OUT EFI_SMM_SYSTEM_TABLE **Smst)
{
  (void)This;
  if (Smst == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!InSmmNow ()) {
    return EFI_UNSUPPORTED;
  }
  EFI_STATUS Status = mSmmHalf->GetSmstLocation (mSmmHalf, Smst);
  LogLine (kLogSmmBaseDxeSmst, reinterpret_cast<UINT64> (*Smst));
  return Status;
}

// A callback is a root SMI handler in SMRAM: only an SMM copy can give one.
EFI_STATUS EFIAPI RegisterCallback (IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_HANDLE SmmImageHandle,
                                    IN EFI_SMM_CALLBACK_ENTRY_POINT CallbackAddress, IN BOOLEAN MakeLast,
                                    IN BOOLEAN FloatingPointSave)
{
  (void)This;
  if (!InSmmNow ()) {
    return EFI_UNSUPPORTED;
  }
  return mSmmHalf->RegisterCallback (mSmmHalf, SmmImageHandle, CallbackAddress, MakeLast, FloatingPointSave);
}

constinit EFI_SMM_BASE_PROTOCOL mSmmBase = SmmBaseTable (DxeRegister, RegisterCallback, InSmm, GetSmstLocation);

// Runs at TPL_CALLBACK. The SMM core dispatches the SMM half from a
// TPL_CALLBACK notification too, so this never runs inside that SMI.
VOID EFIAPI SmmHalfReady (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  SMMBASE_READY *Ready = nullptr;
  if (mInstalled || EFI_ERROR (mBootServices->LocateProtocol (&mReadyGuid, nullptr, reinterpret_cast<VOID **> (&Ready))) ||
      Ready->Revision != kSmmBaseReadyRevision ||
      EFI_ERROR (mBootServices->LocateProtocol (&mSmmBase2Guid, nullptr, reinterpret_cast<VOID **> (&mSmmBase2))) ||
      EFI_ERROR (mBootServices->LocateProtocol (&mCommunicationGuid, nullptr,
                                                reinterpret_cast<VOID **> (&mCommunication)))) {
    return;
  }
  mSmmHalf   = Ready->SmmInstance;
  mInstalled = TRUE;
  // Debian's OVMF logs no dispatch order, so say which came first.
  VOID    *Lib     = nullptr;
  BOOLEAN Existed = !EFI_ERROR (mBootServices->LocateProtocol (&mLibServicesGuid, nullptr, &Lib));
  EFI_HANDLE Handle = mImageHandle;
  EFI_STATUS Status = mBootServices->InstallProtocolInterface (&Handle, &mSmmBaseGuid, EFI_NATIVE_INTERFACE, &mSmmBase);
  LogLine (kLogSmmBaseInstalled, Status, static_cast<UINT64> (Existed));
}

}  // namespace

BOOLEAN InSmmNow ()
{
  BOOLEAN In = FALSE;
  return !EFI_ERROR (mSmmBase2->InSmm (mSmmBase2, &In)) && In;
}

VOID LogDevicePath (CONST CHAR8 *Prefix, CONST EFI_DEVICE_PATH_PROTOCOL *Path)
{
  LogStr (Prefix);
  DEVICE_PATH_TO_TEXT *ToText = nullptr;
  CHAR16              *Text   = nullptr;
  if (Path != nullptr &&
      !EFI_ERROR (mBootServices->LocateProtocol (&mToTextGuid, nullptr, reinterpret_cast<VOID **> (&ToText)))) {
    Text = ToText->ConvertDevicePathToText (Path, FALSE, FALSE);
  }
  if (Text != nullptr) {
    LogStr16 (Text);
    mBootServices->FreePool (Text);
  } else {
    LogStr (Path == nullptr ? "NULL" : "?");
  }
}

extern "C" EFI_STATUS EFIAPI SmmBaseDxeEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  mImageHandle  = ImageHandle;
  mSystemTable  = SystemTable;
  mBootServices = SystemTable->BootServices;
  // Runtime data reserved before the end of DXE is what the SMM core still
  // accepts as a communication buffer after the lock.
  EFI_PHYSICAL_ADDRESS Buffer = 0;
  EFI_STATUS Status = reinterpret_cast<ALLOCATE_PAGES> (mBootServices->AllocatePages) (
    AllocateAnyPages, EfiRuntimeServicesData, kSmmBaseBufferPages, &Buffer);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  mBuffer = reinterpret_cast<PI_SMM_COMMUNICATE_HEADER *> (Buffer);
  EFI_EVENT Event = nullptr;
  Status = mBootServices->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, SmmHalfReady, nullptr, &Event);
  if (!EFI_ERROR (Status)) {
    Status = mBootServices->RegisterProtocolNotify (&mReadyGuid, Event, &mReadyRegistration);
  }
  if (!EFI_ERROR (Status)) {
    Status = mBootServices->SignalEvent (Event);  // the SMM half may have been first
  }
  LOG ().Text ("SMMBASE DXE started: communication buffer=").Hex (Buffer).Text (" pages=").Dec (kSmmBaseBufferPages)
        .Text (" status=").Hex (Status).End ();
  return Status;
}
