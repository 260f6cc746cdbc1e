// SPDX-License-Identifier: BSD-2-Clause-Patent
// The message between the shell tool (smramctl) and the SMRAM probe
// driver. The tool writes it behind a PI SMM communicate header into the
// communication buffer that the driver reserved before SMRAM was locked,
// and triggers the SMI; the driver copies it into SMRAM, acts, and writes
// the reply and its pending log text back into the same buffer.
#ifndef SMRAM_SMRAM_PROBE_H_
#define SMRAM_SMRAM_PROBE_H_

#include "PiSmm.h"
#include "SlotCall.h"

// Handler type of the probe's SMI handler.
#define SMRAM_PROBE_SMI_GUID \
  { 0x3e1d9a52, 0x6c0b, 0x4f87, { 0x9a, 0x2e, 0x51, 0xd4, 0x07, 0xc8, 0x6b, 0x31 } }
// Configuration table entry whose value is the communication buffer.
#define SMRAM_PROBE_BUFFER_GUID \
  { 0x3e1d9a52, 0x6c0b, 0x4f87, { 0x9a, 0x2e, 0x51, 0xd4, 0x07, 0xc8, 0x6b, 0x32 } }

inline constexpr UINT32 kSmramProbeBufferPages = 32;
inline constexpr UINT32 kSmramProbeLogSize     = 3072;
inline constexpr UINT32 kSmramProbeValues      = 16;

enum class PROBE_COMMAND : UINT32 {
  Status = 1,  // lock state, where the probe and the PI SMST are
  Load   = 2,  // load the PE32+ image in Payload into SMRAM and run its entry point in SMM
  Call   = 3,  // a SLOT_CALL in Payload on the SMRAM copy's protocol table
  Peek   = 4,  // Values[0]: an address read inside SMM, 8 bytes
  Fault  = 5,  // call the loaded copy's RaiseTPL as a stray SMI-time caller would
};

// Values[] of each reply.
enum class LOAD_VALUE : UINT32 {
  ImageBase, ImageSize, EntryStatus, ImageHandle, SectionAlignment, Fixups,
  AttributesBefore, ClearStatus, AttributesAfter, Interface, FwSmst, FwSmstSmmIo,
  Count
};
enum class CALL_VALUE : UINT32 {
  IoReads, IoWrites, IoWrongThis,
  Count
};
enum class STATUS_VALUE : UINT32 {
  Handler, PiSmst, StackAddress,
  Count
};

struct PROBE_MESSAGE {
  UINT32     Command;
  UINT32     Reserved0;
  EFI_STATUS Status;        // of the command as a whole
  UINT64     Locked;        // out: SMRAM was locked when the command ran
  UINT64     Values[kSmramProbeValues];
  UINT32     PayloadSize;   // in: bytes in Payload
  UINT32     LogSize;       // out: bytes of log text in Log
  UINT32     LogLost;       // out: bytes the ring had to drop since the last reply
  UINT32     Reserved;
  CHAR8      Log[kSmramProbeLogSize];
  alignas (8) UINT8 Payload[8];  // image bytes or a SLOT_CALL; runs on to the end of the buffer
};

inline constexpr UINTN kSmramProbePayloadLimit =
  kSmramProbeBufferPages * 0x1000 - sizeof (PI_SMM_COMMUNICATE_HEADER) - EFI_OFFSET_OF (PROBE_MESSAGE, Payload);

static_assert (sizeof (SLOT_CALL) <= kSmramProbePayloadLimit, "a call fits the buffer");

#endif
