// SPDX-License-Identifier: BSD-2-Clause-Patent
// How the test client tells its own software SMIs from everyone else's. A
// Framework callback runs as a root SMI handler, so it sees every SMI,
// the firmware's SMM Communicate SMIs included (they write 0 to both APM
// ports). A request is the client's command byte on port 0xB2 with a
// non-zero data byte on 0xB3; taking it clears 0xB3 (writing the data port
// raises no SMI), so a later SMI that leaves 0xB2 as it was is not taken
// for a second request.
#ifndef SMRAM_SMMBASE_CLIENT_APM_REQUEST_H_
#define SMRAM_SMMBASE_CLIENT_APM_REQUEST_H_

#include <ServiceLibPkg/Framework/SmmBase.h>

inline constexpr UINT16 kApmCommandPort = 0xB2;
inline constexpr UINT16 kApmDataPort    = 0xB3;
// The client's command byte; the data byte says who asked (1 the shell,
// 2 an application after ExitBootServices).
inline constexpr UINT8 kClientSmiCommand = 0x5C;

// The data byte of a request for the client, taken off the data port; 0
// when the SMI is not one.
UINT8 TakeApmRequest (IN EFI_SMM_CPU_IO_INTERFACE *SmmIo);

#endif
