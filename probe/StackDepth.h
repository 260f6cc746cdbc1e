// SPDX-License-Identifier: BSD-2-Clause-Patent
// The probe's stack step: how deep FormatOutput's own use of the stack goes
// in the running image, over its worst cases.
#ifndef PROBE_STACK_DEPTH_H_
#define PROBE_STACK_DEPTH_H_

#include <LibServices.h>

// Runs every case through Lib's FormatOutput with interrupts held off and
// logs the deepest on the debug console ("APP probe stack: FormatOutput
// deepest N bytes ..."), or an error line when a case could not be measured.
VOID ShowStackDepth (IN EFI_BOOT_SERVICES *BootServices, IN LIB_SERVICES_PROTOCOL *Lib);

#endif
