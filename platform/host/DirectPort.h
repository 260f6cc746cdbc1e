// SPDX-License-Identifier: BSD-2-Clause-Patent
// Direct processor port access for the host build: every access goes to the
// simulated port bus, which records it. The image build uses a header of
// the same name with real in/out instructions.
#ifndef PLATFORM_HOST_DIRECT_PORT_H_
#define PLATFORM_HOST_DIRECT_PORT_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

#ifdef __cplusplus
extern "C" {
#endif
UINT8 HostDirectPortRead8 (UINT16 Port);
VOID  HostDirectPortWrite8 (UINT16 Port, UINT8 Value);
#ifdef __cplusplus
}
#endif

static inline UINT8 DirectPortRead8 (UINT16 Port) { return HostDirectPortRead8 (Port); }
static inline VOID  DirectPortWrite8 (UINT16 Port, UINT8 Value) { HostDirectPortWrite8 (Port, Value); }

#endif
