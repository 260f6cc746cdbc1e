// SPDX-License-Identifier: BSD-2-Clause-Patent
// The SMRAM side of the Framework SMM Base: the instance that code already
// in SMM reaches through the DXE half (InSmm TRUE, GetSmstLocation,
// RegisterCallback), its Framework SMM system table, and the root PI SMI
// handlers that carry Framework callbacks.
#include "SmmHalf.h"
#include "../Unsupported.h"

namespace {

constexpr UINT64 kSmstSignature = 0x54534d53ULL;  // "SMST"
constexpr UINT32 kSmstRevision  = 0x00010000;
constexpr UINTN  kCallbackSlots = 8;

// SmmIo forwards to the PI SmmIo (PiSmmDriver.h).
constinit EFI_SMM_SYSTEM_TABLE mFrameworkSmst = {
  { kSmstSignature, kSmstRevision, sizeof (EFI_SMM_SYSTEM_TABLE), 0, 0 },
  nullptr, 0, nullptr,
  {},
  { kForwardedSmmMem, kForwardedSmmIo },
  nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1, nullptr, nullptr, 0, nullptr,
};

// ---- Framework callbacks on root PI SMI handlers. A root handler runs on
// every SMI, the firmware's own SMM Communicate SMIs included, so the
// callback itself decides (from the APM ports) whether the SMI is its own.
struct CALLBACK_SLOT {
  EFI_HANDLE                   DispatchHandle;
  EFI_HANDLE                   ImageHandle;
  EFI_SMM_CALLBACK_ENTRY_POINT Callback;
};

constinit CALLBACK_SLOT mCallbacks[kCallbackSlots] = {};

EFI_STATUS EFIAPI CallbackRoot (IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL)
{
  (void)Context;
  for (CALLBACK_SLOT &Slot : mCallbacks) {
    if (Slot.Callback != nullptr && Slot.DispatchHandle == DispatchHandle) {
      Slot.Callback (Slot.ImageHandle, CommBuffer, CommBufferSize);
    }
  }
  return EFI_SUCCESS;
}

// ---- the members.
EFI_STATUS EFIAPI InSmm (IN EFI_SMM_BASE_PROTOCOL *This, OUT BOOLEAN *InSmmFlag)
{
  (void)This;
  if (InSmmFlag == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *InSmmFlag = TRUE;  // this instance runs only in SMRAM
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSmstLocation (IN EFI_SMM_BASE_PROTOCOL *This, IN OUT EFI_SMM_SYSTEM_TABLE **Smst)
{
  (void)This;
  if (Smst == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Counts and the current processor are the PI table's at the time asked.
  mFrameworkSmst.CurrentlyExecutingCpu = mPiSmst->CurrentlyExecutingCpu;
  mFrameworkSmst.NumberOfCpus          = mPiSmst->NumberOfCpus;
  *Smst = &mFrameworkSmst;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RegisterCallback (IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_HANDLE SmmImageHandle,
                                    IN EFI_SMM_CALLBACK_ENTRY_POINT CallbackAddress, IN BOOLEAN MakeLast,
                                    IN BOOLEAN FloatingPointSave)
{
  (void)This;
  (void)MakeLast;           // PI runs root handlers in the order registered
  (void)FloatingPointSave;  // the SMM core saves no floating-point state for anyone
  if (mLocked) {
    return RefuseAfterLock ("RegisterCallback");
  }
  if (CallbackAddress == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (CALLBACK_SLOT &Slot : mCallbacks) {
    if (Slot.Callback == nullptr) {
      EFI_HANDLE DispatchHandle = nullptr;
      EFI_STATUS Status = mPiSmst->SmiHandlerRegister (CallbackRoot, nullptr, &DispatchHandle);
      if (!EFI_ERROR (Status)) {
        Slot = { DispatchHandle, SmmImageHandle, CallbackAddress };
      }
      LogLine (kLogSmmBaseCallback, reinterpret_cast<UINT64> (CallbackAddress),
               reinterpret_cast<UINT64> (SmmImageHandle), Status);
      return Status;
    }
  }
  return EFI_OUT_OF_RESOURCES;
}

}  // namespace

// Loading from inside SMM would need a nested SMI: the DXE half does it.
constinit EFI_SMM_BASE_PROTOCOL mSmmInstance = SmmBaseTable (unsupported::Register, RegisterCallback, InSmm,
                                                             GetSmstLocation);

EFI_STATUS RefuseAfterLock (CONST CHAR8 *What)
{
  LogLine (kLogSmmBaseRefused, What);
  return EFI_UNSUPPORTED;
}
