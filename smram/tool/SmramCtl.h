// SPDX-License-Identifier: BSD-2-Clause-Patent
// Internal declarations of smramctl, the shell tool of the SMRAM lane.
// Everything it learns goes to the debug console as "CTL" lines, and the
// probe's own log arrives with every reply as "SMM" lines; the runner
// reads both from the debug-console capture.
#ifndef SMRAM_TOOL_SMRAM_CTL_H_
#define SMRAM_TOOL_SMRAM_CTL_H_

#include "../SmramProbe.h"
#include "testkit/DebugLog.h"

using CTL_LINE = TEXT_LINE<LogChar>;

// The shared message, behind its communicate header.
PROBE_MESSAGE *Message ();
// Sends the message with PayloadSize bytes of payload; Name goes to the
// log first, so a machine that stops inside SMM shows what it was doing.
// Returns the handler's status, or the status of Communicate when that
// failed or the handler did not answer.
EFI_STATUS SendSmi (CONST CHAR8 *Name, PROBE_COMMAND Command, UINT32 PayloadSize);

// Reads 8 and 32 bits at Address from DXE and logs them.
VOID LogDxeRead (CONST CHAR8 *What, UINT64 Address);

// The call suite of "smramctl calls": each call on the SMRAM copy and,
// where it makes sense, the same call on the boot-services copy.
EFI_STATUS RunCallSuite (CONST LIB_SERVICES_PROTOCOL *BsLib);

#endif
