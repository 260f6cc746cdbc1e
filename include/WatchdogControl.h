/** @file
  WATCHDOG_CONTROL_PROTOCOL: start, stop and query the platform watchdog.
  GetState reports the timeout chosen in Setup, not the hardware state.

  Plain C and C++; usable alone, with EDK2 MdePkg or with gnu-efi, like
  LibServices.h. The member types are the Microsoft x64 convention
  (SERVICELIB_EFIAPI) in every build.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef WATCHDOG_CONTROL_H_
#define WATCHDOG_CONTROL_H_

#include "ServiceLibPkg/Uefi/UefiTables.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WATCHDOG_CONTROL_PROTOCOL_GUID \
  { 0x3199f585, 0xfee2, 0x475e, { 0x91, 0x46, 0x6e, 0x3e, 0xd6, 0xea, 0x43, 0x39 } }

extern EFI_GUID gWatchdogControlProtocolGuid;

//
// GUID of the "Setup" variable read by the driver and of the volatile
// "WdtControlStatus" variable that it writes.
//
#define WDT_SETUP_VARIABLE_GUID \
  { 0xec87d643, 0xeba4, 0x4bb5, { 0xa1, 0xe5, 0x3f, 0x3e, 0x36, 0xb2, 0x0d, 0xa9 } }

extern EFI_GUID gWdtSetupVariableGuid;

#define WDT_SETUP_DATA_SIZE          410
#define WDT_SETUP_TIMEOUT_OFFSET     332

typedef struct _WATCHDOG_CONTROL_PROTOCOL WATCHDOG_CONTROL_PROTOCOL;

/**
  Arms the watchdog with the timeout chosen in Setup.

  @param[in] This  The protocol instance (not used).

  @return The status of the last register write of the arm sequence.
  @retval EFI_INVALID_PARAMETER  The Setup timeout is 0 (watchdog disabled);
                                 no register was touched.
  @retval EFI_NOT_READY          No register-access service is installed
                                 (called above TPL_NOTIFY: none was found
                                 when the driver last looked); no register
                                 was touched.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *WATCHDOG_START)(IN WATCHDOG_CONTROL_PROTOCOL *This);

/**
  Stops the watchdog.

  @param[in] This  The protocol instance (not used).

  @return The status of the last register write of the stop sequence.
  @retval EFI_NOT_READY  No register-access service is installed (called
                         above TPL_NOTIFY: none was found when the driver
                         last looked); no register was touched.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *WATCHDOG_STOP)(IN WATCHDOG_CONTROL_PROTOCOL *This);

/**
  Tells whether the watchdog is configured: whether the Setup timeout is
  non-zero. The hardware is not read.

  @param[in]  This     The protocol instance (not used).
  @param[out] Enabled  1 when the Setup timeout is non-zero, else 0.

  @retval EFI_SUCCESS            Enabled was set.
  @retval EFI_INVALID_PARAMETER  Enabled is NULL.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *WATCHDOG_GET_STATE)(IN WATCHDOG_CONTROL_PROTOCOL *This, OUT UINT8 *Enabled);

struct _WATCHDOG_CONTROL_PROTOCOL {
  WATCHDOG_START     Start;
  WATCHDOG_STOP      Stop;
  WATCHDOG_GET_STATE GetState;
};

EFI_STATIC_ASSERT (sizeof (WATCHDOG_CONTROL_PROTOCOL) == 24, "WATCHDOG_CONTROL_PROTOCOL is three pointers");

#ifdef __cplusplus
}
#endif

#endif
