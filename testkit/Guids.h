// SPDX-License-Identifier: BSD-2-Clause-Patent
// The GUIDs that several test-support images and the host facts program
// hand to the firmware, written once. UEFI calls take EFI_GUID * (not
// const), hence constinit rather than constexpr; being inline, a GUID that
// an image does not use costs it nothing. The names are not those of the
// public headers (gLibServicesProtocolGuid, ...): the shipped drivers
// define those, and the facts program links ServiceLib.
#ifndef TESTKIT_GUIDS_H_
#define TESTKIT_GUIDS_H_

#include <LibServices.h>
#include <ServiceLibPkg/Framework/SmmBase.h>
#include <ServiceLibPkg/Protocol/LoadedImage.h>
#include <WatchdogControl.h>
#include "fixture/FixtureControl.h"

inline constinit EFI_GUID gLibServicesGuid     = LIB_SERVICES_PROTOCOL_GUID;
inline constinit EFI_GUID gSmmLibServicesGuid  = SMM_LIB_SERVICES_PROTOCOL_GUID;
inline constinit EFI_GUID gSmmBaseGuid         = EFI_SMM_BASE_PROTOCOL_GUID;
inline constinit EFI_GUID gLoadedImageGuid     = EFI_LOADED_IMAGE_PROTOCOL_GUID;
inline constinit EFI_GUID gWatchdogControlGuid = WATCHDOG_CONTROL_PROTOCOL_GUID;
inline constinit EFI_GUID gWdtSetupGuid        = WDT_SETUP_VARIABLE_GUID;
inline constinit EFI_GUID gFixtureControlGuid  = FIXTURE_CONTROL_PROTOCOL_GUID;

#endif
