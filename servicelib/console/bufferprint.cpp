// SPDX-License-Identifier: BSD-2-Clause-Patent
// BufferPrint: the format engine writing into memory. The engine uses it
// for the 8-bit texts of the firmware conversions (%g, %G, %t, %r), which
// it then prints as ordinary text fields.
#include "format.h"

constinit CHAR8 *BufferCursor = NULL;

extern "C" VOID EFIAPI BufferPutChar (IN CHAR16 Ch)
{
  *BufferCursor++ = static_cast<CHAR8> (Ch);
}

// BufferPrint with the arguments already laid out as 8-byte slots. Inlined
// into each caller: one frame less on the engine's deepest path (48 bytes;
// out of line the footprint check fails). docs/stack.md, "Buffer printer
// inlined".
[[gnu::always_inline]] static inline UINT32 BufferPrintList (OUT CHAR8 *Buffer, IN CONST CHAR8 *Format,
                                                             IN VA_LIST Args)
{
  BufferCursor = Buffer;
  // FormatOutput with an 8-bit format, entered past its width dispatch.
  const UINT32 Count = FormatEngine<CHAR8> (BufferPutChar, 0xFFFFFFFF, Format, Args);
  Buffer[Count] = 0;
  return Count;
}

// One text of a firmware conversion, built into Buffer with the cursor put
// back as it was found. A notification function may interrupt a build and
// format a GUID, time or status of its own: its build then leaves the
// interrupted one's cursor where it was, and neither text is damaged.
// Inlined for the same reason as BufferPrintList.
[[gnu::always_inline]] static inline VOID BuildText (OUT CHAR8 *Buffer, IN CONST CHAR8 *Format, IN VA_LIST Args)
{
  CHAR8 *const Interrupted = BufferCursor;
  BufferPrintList (Buffer, Format, Args);
  BufferCursor = Interrupted;
}

extern "C" UINT32 EFIAPI BufferPrint (OUT CHAR8 *Buffer, IN CONST CHAR8 *Format, ...)
{
  VA_LIST Args;
  VA_START (Args, Format);
  const UINT32 Count = BufferPrintList (Buffer, Format, Args);
  VA_END (Args);
  return Count;
}

namespace {

constexpr CHAR8 kGuidLower[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
constexpr CHAR8 kGuidUpper[] = "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X";
constexpr CHAR8 kTime[]      = "%02d/%02d/%04d  %02d:%02d";
constexpr CHAR8 kStatusHex[] = "%qX";

// Status texts packed end to end, each with its NUL: warnings 0 to 4, then
// errors 1 to 24. One string instead of a pointer table keeps the image
// free of relocations for it (docs/stack.md, "Speed tricks").
constexpr CHAR8 kStatusTexts[] =
  "Success\0"
  "Warning Unknown Glyph\0"
  "Warning Delete Failure\0"
  "Warning Write Failure\0"
  "Warning Buffer Too Small\0"
  "Load Error\0"
  "Invalid Parameter\0"
  "Unsupported\0"
  "Bad Buffer Size\0"
  "Buffer Too Small\0"
  "Not Ready\0"
  "Device Error\0"
  "Write Protected\0"
  "Out of Resources\0"
  "Volume Corrupt\0"
  "Volume Full\0"
  "No Media\0"
  "Media changed\0"
  "Not Found\0"
  "Access Denied\0"
  "No Response\0"
  "No mapping\0"
  "Time out\0"
  "Not started\0"
  "Already started\0"
  "Aborted\0"
  "ICMP Error\0"
  "TFTP Error\0"
  "Protocol Error";

constexpr UINT64 kLastWarning = 4;
constexpr UINT64 kLastError   = 24;
constexpr UINT64 kErrorBit    = 0x8000000000000000ULL;

}  // namespace

CONST CHAR8 *StatusName (IN EFI_STATUS Status)
{
  UINT64 Index;
  if (Status <= kLastWarning) {
    Index = Status;
  } else if (Status > kErrorBit && Status <= (kErrorBit | kLastError)) {
    Index = kLastWarning + (Status & ~kErrorBit);
  } else {
    return NULL;
  }
  CONST CHAR8 *Text = kStatusTexts;
  while (Index-- != 0) {
    while (*Text++ != 0) {
    }
  }
  return Text;
}

// The builders sit on the engine's deepest path (engine, builder, nested
// engine, field writer). To keep that path short, they lay their argument
// slots out in the engine's own text buffer, behind the room the text
// needs: the nested engine reads each slot before the text could reach it.
// Their frames then hold no argument area (88 bytes of depth saved).
// docs/stack.md, "Argument slots in the text buffer".
static constexpr UINT32 kSlotsOffset = 40;  // 8-aligned, past the longest text and its NUL
static_assert (sizeof "87999fb1-d18c-4de9-b4b6-a130e6beed76" <= kSlotsOffset);
static_assert (sizeof "255/255/65535  255:255" <= kSlotsOffset);
static_assert (sizeof "FFFFFFFFFFFFFFFF" <= kSlotsOffset);
static_assert (kSlotsOffset + 11 * sizeof (UINT64) <= kTextBufferBytes);

static VA_LIST StoreSlot (VA_LIST Slot, UINT64 Value)
{
  __builtin_memcpy (Slot, &Value, sizeof Value);
  return Slot + sizeof Value;
}

// A GUID or a time in a packed firmware structure may lie at any address,
// so each member is read where it lies, at its offset in the record. Of the
// time only Year to Minute are read: a caller's record may end after them.
template <typename T> static inline UINT64 MemberAt (IN CONST VOID *Record, IN UINTN Offset)
{
  return LoadUnaligned<T> (static_cast<CONST UINT8 *> (Record) + Offset);
}

CONST CHAR8 *GuidText (IN CONST VOID *Guid, IN BOOLEAN Lowercase, OUT CHAR8 *Buffer)
{
  if (Guid == NULL) {
    return kNullText;
  }
  VA_LIST Slot = Buffer + kSlotsOffset;
  Slot = StoreSlot (Slot, MemberAt<UINT32> (Guid, EFI_OFFSET_OF (EFI_GUID, Data1)));
  Slot = StoreSlot (Slot, MemberAt<UINT16> (Guid, EFI_OFFSET_OF (EFI_GUID, Data2)));
  Slot = StoreSlot (Slot, MemberAt<UINT16> (Guid, EFI_OFFSET_OF (EFI_GUID, Data3)));
  for (UINT32 Index = 0; Index < 8; ++Index) {
    Slot = StoreSlot (Slot, MemberAt<UINT8> (Guid, EFI_OFFSET_OF (EFI_GUID, Data4) + Index));
  }
  BuildText (Buffer, Lowercase != 0 ? kGuidLower : kGuidUpper, Buffer + kSlotsOffset);
  return Buffer;
}

CONST CHAR8 *TimeText (IN CONST VOID *Time, OUT CHAR8 *Buffer)
{
  if (Time == NULL) {
    return kNullText;
  }
  VA_LIST Slot = Buffer + kSlotsOffset;
  Slot = StoreSlot (Slot, MemberAt<UINT8> (Time, EFI_OFFSET_OF (EFI_TIME, Month)));
  Slot = StoreSlot (Slot, MemberAt<UINT8> (Time, EFI_OFFSET_OF (EFI_TIME, Day)));
  Slot = StoreSlot (Slot, MemberAt<UINT16> (Time, EFI_OFFSET_OF (EFI_TIME, Year)));
  Slot = StoreSlot (Slot, MemberAt<UINT8> (Time, EFI_OFFSET_OF (EFI_TIME, Hour)));
  StoreSlot (Slot, MemberAt<UINT8> (Time, EFI_OFFSET_OF (EFI_TIME, Minute)));
  BuildText (Buffer, kTime, Buffer + kSlotsOffset);
  return Buffer;
}

CONST CHAR8 *StatusText (IN EFI_STATUS Status, OUT CHAR8 *Buffer)
{
  CONST CHAR8 *Name = StatusName (Status);
  if (Name != NULL) {
    return Name;
  }
  StoreSlot (Buffer + kSlotsOffset, Status);
  BuildText (Buffer, kStatusHex, Buffer + kSlotsOffset);
  return Buffer;
}
