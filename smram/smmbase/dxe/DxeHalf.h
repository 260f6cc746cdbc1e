// SPDX-License-Identifier: BSD-2-Clause-Patent
// Internal declarations of the DXE half: a boot-service driver that
// publishes EFI_SMM_BASE_PROTOCOL once the SMM half is ready, sends
// Register to it through SMM Communicate, and forwards the members that
// are called inside SMM straight to the SMM half. Test support only.
#ifndef SMRAM_SMMBASE_DXE_DXE_HALF_H_
#define SMRAM_SMMBASE_DXE_DXE_HALF_H_

#include "../SmmBaseThunk.h"
#include "../FileAccess.h"
#include "testkit/DebugLog.h"

extern constinit EFI_HANDLE                    mImageHandle;
extern constinit EFI_SYSTEM_TABLE              *mSystemTable;
extern constinit EFI_BOOT_SERVICES             *mBootServices;
extern constinit PI_SMM_BASE2_PROTOCOL         *mSmmBase2;
extern constinit PI_SMM_COMMUNICATION_PROTOCOL *mCommunication;
extern constinit EFI_SMM_BASE_PROTOCOL         *mSmmHalf;   // in SMRAM: call only inside SMM
extern constinit PI_SMM_COMMUNICATE_HEADER     *mBuffer;    // runtime data, reserved at entry

using LOG = TEXT_LINE<LogChar>;

// Whether the caller runs in SMM, from the PI SMM Base 2 protocol.
BOOLEAN InSmmNow ();

// Logs Prefix and the device path as text.
VOID LogDevicePath (CONST CHAR8 *Prefix, CONST EFI_DEVICE_PATH_PROTOCOL *Path);

EFI_STATUS EFIAPI DxeRegister (IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_DEVICE_PATH_PROTOCOL *FilePath,
                               IN VOID *SourceBuffer OPTIONAL, IN UINTN SourceSize, OUT EFI_HANDLE *ImageHandle,
                               IN BOOLEAN LegacyIA32Binary OPTIONAL);

#endif
