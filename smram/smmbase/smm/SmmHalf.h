// SPDX-License-Identifier: BSD-2-Clause-Patent
// Internal declarations of the SMM half: a PI SMM driver that loads
// Framework SMM images into SMRAM for the DXE half and starts them inside
// SMM with the platform's own system table, before the lock, as the
// Framework SMM core did. Test support only.
#ifndef SMRAM_SMMBASE_SMM_SMM_HALF_H_
#define SMRAM_SMMBASE_SMM_SMM_HALF_H_

#include "../../PiSmmDriver.h"
#include "../SmmBaseThunk.h"
#include "testkit/DebugLog.h"

// The platform's UEFI system table, from the entry point on. From the lock
// on (mLocked) nothing is loaded and no callback is added.
extern constinit EFI_SYSTEM_TABLE *mPlatformSystemTable;

// The instance that code already in SMM reaches (instance.cpp), and its
// Framework SMM system table.
extern constinit EFI_SMM_BASE_PROTOCOL mSmmInstance;

using LOG = TEXT_LINE<LogChar>;

// Logs and refuses what only makes sense before the lock.
EFI_STATUS RefuseAfterLock (CONST CHAR8 *What);

// ---- loading (load.cpp).
VOID ServeSmmBaseMessage (SMMBASE_MESSAGE *Shared, UINTN Size);
inline constexpr PI_SMM_HANDLER kSmmBaseSmiHandler =
  MessageHandler<SMMBASE_MESSAGE, ServeSmmBaseMessage, kSmmBaseMessageHeader>;

#endif
