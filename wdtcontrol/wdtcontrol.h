// SPDX-License-Identifier: BSD-2-Clause-Patent
// WdtControl's internal interface: the module globals shared by the entry
// point and the register sequences, and the routines that tests reach
// directly.
#ifndef WDTCONTROL_WDTCONTROL_H_
#define WDTCONTROL_WDTCONTROL_H_

#include <HookRegistration.h>
#include <RegisterAccess.h>
#include <WatchdogControl.h>

// The address of this pair is the Context of every register access, so the
// platform service can tell which image is calling.
struct DRIVER_CONTEXT {
  EFI_HANDLE       ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable;
};

static_assert (sizeof (DRIVER_CONTEXT) == 16, "two adjacent words");

extern constinit DRIVER_CONTEXT             DriverContext;
extern constinit UINT8                      SetupData[WDT_SETUP_DATA_SIZE];
extern constinit REGISTER_ACCESS_PROTOCOL   *RegAccess;
extern constinit HOOK_REGISTRATION_PROTOCOL *Hook;
extern constinit WATCHDOG_CONTROL_PROTOCOL  mWatchdogControl;

// The user's timeout from Setup; 0 means the watchdog stays disabled.
inline UINT8 WatchdogTimeout () { return SetupData[WDT_SETUP_TIMEOUT_OFFSET]; }

// Register sequences; each returns the status of its final write.
EFI_STATUS ArmWatchdog (IN UINT8 Timeout);
EFI_STATUS DisarmWatchdog ();

// The status word: bit 0 of the gate register plus twice the timeout register.
UINT16 ReadStatusWord ();

// Publishes the protocol, the status variable, the hook and the OS-handoff
// events once the register-access service is there.
EFI_STATUS WatchdogReady ();

// The register-access interface for accesses about to be made: located
// again when the caller runs at or below TPL_NOTIFY (NULL when none is
// installed), else the one that the last lookup or notification found.
REGISTER_ACCESS_PROTOCOL *CurrentRegisterAccess ();

extern "C" {

EFI_STATUS EFIAPI WdtControlEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

EFI_STATUS EFIAPI WatchdogStart (IN WATCHDOG_CONTROL_PROTOCOL *This);
EFI_STATUS EFIAPI WatchdogStop (IN WATCHDOG_CONTROL_PROTOCOL *This);
EFI_STATUS EFIAPI WatchdogGetState (IN WATCHDOG_CONTROL_PROTOCOL *This, OUT UINT8 *Enabled);
VOID EFIAPI StopCallback (VOID);
VOID EFIAPI OsHandoffNotify (IN EFI_EVENT Event, IN VOID *Context);

}

#endif
