// SPDX-License-Identifier: BSD-2-Clause-Patent
// The probe's SMI handler. The communication buffer lies outside SMRAM, so
// everything the handler acts on is first copied into SMRAM: the command,
// the image to load, the call description with its strings and argument
// slots. Replies and the pending log text go back into the buffer.
#include "ProbeDriver.h"

namespace {

constinit SLOT_CALL mCall = {};   // the SMRAM copy of a call description

EFI_STATUS RunLoad (PROBE_MESSAGE *Shared, UINT32 PayloadSize, UINT64 *Values)
{
  VOID      *File   = nullptr;
  EFI_STATUS Status = mPiSmst->SmmAllocatePool (EfiRuntimeServicesData, PayloadSize, &File);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  __builtin_memcpy (File, Shared->Payload, PayloadSize);
  Status = LoadAndStart (static_cast<UINT8 *> (File), PayloadSize, Values);
  mPiSmst->SmmFreePool (File);
  return Status;
}

EFI_STATUS RunCall (PROBE_MESSAGE *Shared, UINT32 PayloadSize, UINT64 *Values)
{
  if (mCopy.Interface == nullptr) {
    return EFI_NOT_STARTED;
  }
  if (PayloadSize != sizeof (SLOT_CALL)) {
    return EFI_BAD_BUFFER_SIZE;
  }
  __builtin_memcpy (&mCall, Shared->Payload, sizeof (SLOT_CALL));
  if (!slotcall::Valid (&mCall)) {
    return EFI_INVALID_PARAMETER;
  }
  mSmmIoCounts = {};
  slotcall::Invoke (mCopy.Interface, &mCall);
  Values[static_cast<UINT32> (CALL_VALUE::IoReads)]     = mSmmIoCounts.Reads;
  Values[static_cast<UINT32> (CALL_VALUE::IoWrites)]    = mSmmIoCounts.Writes;
  Values[static_cast<UINT32> (CALL_VALUE::IoWrongThis)] = mSmmIoCounts.WrongThis;
  __builtin_memcpy (Shared->Payload, &mCall, sizeof (SLOT_CALL));
  return EFI_SUCCESS;
}

// Reads only inside the loaded copy: the tool checks what DXE cannot see.
EFI_STATUS RunPeek (UINT64 *Values)
{
  UINT64 Address = Values[0];
  if (Address < mCopy.Base || Address + 8 > mCopy.Base + mCopy.Size) {
    return EFI_ACCESS_DENIED;
  }
  Values[0] = *reinterpret_cast<volatile UINT64 *> (Address);
  return EFI_SUCCESS;
}

// What a loaded copy would do if it called a boot service at SMI time: the
// routine lies outside SMRAM, and after the lock the processor refuses to
// run it in SMM. The machine stops with an exception dump on COM1.
EFI_STATUS RunFault ()
{
  if (mCopy.Interface == nullptr) {
    return EFI_NOT_STARTED;
  }
  EFI_BOOT_SERVICES *BootServices = HostedBootServices ();
  LOG ().Text ("SMM calling the loaded copy's RaiseTPL at ")
        .Hex (reinterpret_cast<UINT64> (BootServices->RaiseTPL)).End ();
  EFI_TPL Old = BootServices->RaiseTPL (TPL_NOTIFY);
  BootServices->RestoreTPL (Old);
  LOG ().Text ("SMM RaiseTPL returned inside SMM").End ();
  return EFI_SUCCESS;
}

EFI_STATUS RunStatus (UINT64 *Values)
{
  UINT64 Local = 0;
  Values[static_cast<UINT32> (STATUS_VALUE::Handler)]      = reinterpret_cast<UINT64> (kProbeSmiHandler);
  Values[static_cast<UINT32> (STATUS_VALUE::PiSmst)]       = reinterpret_cast<UINT64> (mPiSmst);
  Values[static_cast<UINT32> (STATUS_VALUE::StackAddress)] = reinterpret_cast<UINT64> (&Local);
  return EFI_SUCCESS;
}

}  // namespace

VOID ServeProbeMessage (PROBE_MESSAGE *Shared, UINTN Size)
{
  UINT32 Command     = Shared->Command;
  UINT32 PayloadSize = Shared->PayloadSize;
  UINT64 Values[kSmramProbeValues];
  __builtin_memcpy (Values, Shared->Values, sizeof (Values));

  EFI_STATUS Status;
  if (PayloadSize > Size - kProbeMessageFixed) {
    Status = EFI_BAD_BUFFER_SIZE;
  } else {
    switch (static_cast<PROBE_COMMAND> (Command)) {
      case PROBE_COMMAND::Status:
        Status = RunStatus (Values);
        break;
      case PROBE_COMMAND::Load:
        Status = RunLoad (Shared, PayloadSize, Values);
        break;
      case PROBE_COMMAND::Call:
        Status = RunCall (Shared, PayloadSize, Values);
        break;
      case PROBE_COMMAND::Peek:
        Status = RunPeek (Values);
        break;
      case PROBE_COMMAND::Fault:
        Status = RunFault ();
        break;
      default:
        Status = EFI_UNSUPPORTED;
        break;
    }
  }
  if (EFI_ERROR (Status)) {
    LOG ().Text ("SMM command ").Dec (Command).Text (" failed: ").Hex (Status).End ();
  }
  Shared->Status = Status;
  Shared->Locked = mLocked;
  __builtin_memcpy (Shared->Values, Values, sizeof (Values));
  UINT32 Lost = 0;
  Shared->LogSize = LogDrain (Shared->Log, kSmramProbeLogSize, &Lost);
  Shared->LogLost = Lost;
}
