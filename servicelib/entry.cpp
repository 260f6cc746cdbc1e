// SPDX-License-Identifier: BSD-2-Clause-Patent
// Entry point: decide whether this copy runs as a boot-service driver or
// inside SMRAM, install the matching protocol instance and keep the located
// instance in mLib for the image's own port I/O.
#include "servicelib.h"
#include <DirectPort.h>
#include "../common/ProtocolNotify.h"

constinit EFI_HANDLE            mImageHandle         = nullptr;
constinit EFI_SYSTEM_TABLE      *mSystemTable        = nullptr;
constinit EFI_BOOT_SERVICES     *mBootServices       = nullptr;
constinit EFI_SMM_BASE_PROTOCOL *SmmBase             = nullptr;
constinit EFI_CPU_IO_PROTOCOL   *CpuIo               = nullptr;
constinit EFI_SMM_SYSTEM_TABLE  *Smst                = nullptr;
constinit LIB_SERVICES_PROTOCOL *mLib                = nullptr;
constinit BOOLEAN               mSmmCopy             = FALSE;

static constinit EFI_GUID mSmmBaseProtocolGuid = EFI_SMM_BASE_PROTOCOL_GUID;

namespace {

// Registrations for the protocol notifications set up at entry; the
// firmware wants somewhere to keep them for the life of the image.
constinit VOID *mSmmBaseRegistration = nullptr;
constinit VOID *mCpuIoRegistration   = nullptr;

// TRUE once this image has been loaded into SMRAM.
constinit BOOLEAN mSmmImageRegistered = FALSE;

// PIT channel 2 in mode 3 with divisor 0x0B0B (about 422 Hz). Port 0x61 is
// the speaker gate: 0x00 keeps it silent, 0x0B makes the tone sound. The
// tone is the driver's only failure signal, so it bypasses the port I/O
// protocols, which may be what failed.
constexpr UINT16 kPitControlPort  = 0x43;
constexpr UINT16 kPitChannel2Port = 0x42;
constexpr UINT16 kSpeakerPort     = 0x61;

void ProgramSpeakerTimer ()
{
  DirectPortWrite8 (kPitControlPort, 0xB6);
  DirectPortWrite8 (kPitChannel2Port, 0x0B);
  DirectPortWrite8 (kPitChannel2Port, 0x0B);
}

// Loads this image into SMRAM when the SMM Base protocol appears. One SMM
// copy is enough: a later installation of the protocol (a second instance,
// or a reinstallation) does nothing once a load has succeeded, while a
// failed load may be tried again by the next one.
VOID EFIAPI SmmBaseNotify (IN EFI_EVENT Event, IN VOID *Context)
{
  (void)Event;
  (void)Context;
  if (mSmmImageRegistered) {
    return;
  }
  EFI_STATUS Status = mBootServices->LocateProtocol (&mSmmBaseProtocolGuid, nullptr,
                                                     reinterpret_cast<VOID **> (&SmmBase));
  if (EFI_ERROR (Status) || SmmBase == nullptr) {
    return;
  }
  if (RegisterImageInSmm (mImageHandle, mSystemTable, SmmBase) == nullptr) {
    ProgramSpeakerTimer ();
    return;
  }
  mSmmImageRegistered = TRUE;
}

EFI_STATUS StartOutsideSmm ()
{
  VOID *Existing;
  if (mBootServices->LocateProtocol (&gLibServicesProtocolGuid, nullptr, &Existing) != EFI_SUCCESS) {
    EFI_HANDLE Handle = mImageHandle;
    mBootServices->InstallMultipleProtocolInterfaces (&Handle, &gLibServicesProtocolGuid, &mLibServicesBs,
                                                      nullptr);
    EFI_EVENT SmmBaseEvent = nullptr;
    RegisterProtocolNotification (mBootServices, &mSmmBaseProtocolGuid, SmmBaseNotify, &mSmmBaseRegistration,
                                  &SmmBaseEvent);
    // A notification fires only for installations after it was armed. On a
    // Framework platform SMM Base is an early driver, and nothing orders
    // this image after it, so when it is already here the notification is
    // run now: SignalEvent calls it at once at the entry's TPL, and the SMM
    // copy is started before this copy goes on.
    if (SmmBase != nullptr && SmmBaseEvent != nullptr) {
      mBootServices->SignalEvent (SmmBaseEvent);
    }
    if (CpuIo == nullptr) {
      RegisterProtocolNotification (mBootServices, &mCpuIoProtocolGuid, CpuIoNotify, &mCpuIoRegistration);
    }
  }

  EFI_STATUS Status = mBootServices->LocateProtocol (&gLibServicesProtocolGuid, nullptr,
                                                     reinterpret_cast<VOID **> (&mLib));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  ProgramSpeakerTimer ();
  DirectPortWrite8 (kSpeakerPort, 0x00);
  return EFI_SUCCESS;
}

EFI_STATUS StartInSmm ()
{
  EFI_HANDLE Handle = mImageHandle;
  mBootServices->InstallMultipleProtocolInterfaces (&Handle, &gSmmLibServicesProtocolGuid, &mLibServicesSmm,
                                                    nullptr);
  VOID       *Located = nullptr;
  EFI_STATUS Status   = mBootServices->LocateProtocol (&gSmmLibServicesProtocolGuid, nullptr, &Located);
  if (EFI_ERROR (Status)) {
    ProgramSpeakerTimer ();
    DirectPortWrite8 (kSpeakerPort, 0x0B);
    return Status;
  }
  // Whatever the locate found, SMM code calls only this copy's own table:
  // any driver can install a table under the SMM GUID before this copy
  // starts, and calling through it would hand SMM to that driver.
  mLib   = &mLibServicesSmm;
  Status = SmmBase->GetSmstLocation (SmmBase, &Smst);
  if (EFI_ERROR (Status)) {
    Smst = nullptr;  // the SMM port slots then find no system table to call through
  }
  return Status;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI ServiceLibEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  mImageHandle  = ImageHandle;
  mSystemTable  = SystemTable;
  mBootServices = SystemTable->BootServices;
  BOOLEAN InSmm = FALSE;

  mBootServices->LocateProtocol (&mSmmBaseProtocolGuid, nullptr, reinterpret_cast<VOID **> (&SmmBase));
  if (EFI_ERROR (mBootServices->LocateProtocol (&mCpuIoProtocolGuid, nullptr, reinterpret_cast<VOID **> (&CpuIo)))) {
    CpuIo = nullptr;  // what a failed locate left behind is no interface
  }
  if (SmmBase != nullptr) {
    SmmBase->InSmm (SmmBase, &InSmm);
  }
  if (InSmm) {
    mSmmCopy = TRUE;
    return StartInSmm ();
  }
  return StartOutsideSmm ();
}
