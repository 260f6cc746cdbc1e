/** @file
  LIB_SERVICES_PROTOCOL: COM1 character I/O, a printf-style and a
  scanf-style engine working through per-character callbacks, bounded
  string copy and compare, a block heap, port I/O, and loading a driver
  image into SMRAM.

  Two instances exist: gLibServicesProtocolGuid for boot-services callers
  and gSmmLibServicesProtocolGuid for SMM callers. They differ only in
  slots 11 and 12 (port I/O through the CPU I/O protocol, or through the
  SMM system table's SmmIo). No slot takes the table as an argument.

  The header is plain C and C++. It works alone, after EDK2 MdePkg's
  <Uefi.h> (an EDK2 module) and after gnu-efi's <efi.h>: with an SDK the
  SDK's base types and tables are used (see ServiceLibPkg/Uefi/
  UefiBaseType.h). Every routine type here is the Microsoft x64 calling
  convention (SERVICELIB_EFIAPI), whatever the SDK's EFIAPI; a routine of
  the client's that is handed to a slot (an output or input routine, a
  variadic helper that builds a VA_LIST) must be declared SERVICELIB_EFIAPI
  as well.

  An EDK2 client driver (gLibServicesProtocolGuid defined by AutoGen from
  the module's [Protocols] section):

    LIB_SERVICES_PROTOCOL *Lib;
    if (!EFI_ERROR (gBS->LocateProtocol (&gLibServicesProtocolGuid, NULL, (VOID **)&Lib))) {
      UINT64 Args[] = { 42, (UINT64)(UINTN)"ok" };
      Lib->FormatOutput ((FORMAT_OUTPUT_ROUTINE)Lib->PutCharA, 0xFFFFFFFF, FALSE,
                         "%d %a\n", (VA_LIST)Args);
    }

  From a variadic routine of the client's own, the list built by VA_START
  is handed over as it is:

    UINT32 SERVICELIB_EFIAPI LibPrint (CONST CHAR8 *Format, ...)
    {
      VA_LIST Args;
      UINT32  Count;
      VA_START (Args, Format);
      Count = Lib->FormatOutput ((FORMAT_OUTPUT_ROUTINE)Lib->PutCharA, 0xFFFFFFFF, FALSE, Format, Args);
      VA_END (Args);
      return Count;
    }

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef LIB_SERVICES_H_
#define LIB_SERVICES_H_

#include "ServiceLibPkg/Uefi/UefiTables.h"
#include "ServiceLibPkg/Framework/SmmBase.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LIB_SERVICES_PROTOCOL_GUID \
  { 0x87999fb1, 0xd18c, 0x4de9, { 0xb4, 0xb6, 0xa1, 0x30, 0xe6, 0xbe, 0xed, 0x76 } }
#define SMM_LIB_SERVICES_PROTOCOL_GUID \
  { 0x87999fb1, 0xd18c, 0x4de9, { 0xb4, 0xb6, 0xa1, 0x30, 0xe6, 0xbe, 0xed, 0x77 } }

extern EFI_GUID gLibServicesProtocolGuid;
extern EFI_GUID gSmmLibServicesProtocolGuid;

#define LIB_SERVICES_PROTOCOL_REVISION  7

//
// Size in bytes of the arena behind HeapAllocFree (slot 10). Each loaded
// copy of the driver (the SMRAM one included) has an arena of its own.
//
#define LIB_SERVICES_HEAP_SIZE  0x10000

typedef struct _LIB_SERVICES_PROTOCOL LIB_SERVICES_PROTOCOL;

/**
  Receives one character produced by FormatOutput.

  Characters taken from 8-bit text arrive sign-extended (0xE9 as 0xFFE9);
  the serial put slots use the low byte only. The routine may itself call
  FormatOutput.

  @param[in] Ch  The character, in the low 16 bits.
**/
typedef VOID (SERVICELIB_EFIAPI *FORMAT_OUTPUT_ROUTINE)(IN CHAR16 Ch);

/**
  Supplies the next input character to ScanInput.

  It must go on returning 0 once the input has ended. It may start a scan
  of its own with ScanInput: the scan that called it goes on unchanged.

  @param[in] Counter  A counter that belongs to the engine: leave it alone.

  @return The next character in the low 16 bits, or 0 at the end of input.
**/
typedef UINTN (SERVICELIB_EFIAPI *SCAN_INPUT_ROUTINE)(IN INT32 *Counter);

/**
  Slot 0: loads the caller's image into SMRAM through the Framework SMM
  Base protocol, from the full device path of the file the image was
  loaded from (its device's path followed by its file path). The boot
  services are taken from SystemTable, so any driver may call it for its
  own image.

  In both instances, the SMM one included, the routine calls the boot
  services of SystemTable and the SmmBase protocol, so call it only where
  those may run: in DXE before ExitBootServices, or in SMM before SMRAM is
  locked (from an SMM driver's entry point). Never call it from an SMI
  handler: by then the boot services and SmmBase lie outside SMRAM, where
  SMM code may no longer run, or are gone.

  @param[in] ImageHandle  The caller's image handle.
  @param[in] SystemTable  The system table.
  @param[in] SmmBase      The Framework SMM Base protocol.

  @return The handle of the copy in SMRAM; ImageHandle when the
          registration succeeded (status 0, or 0xC000000000000001, which
          counts as success) without returning a handle.
  @retval NULL  The Device Path Utilities protocol is missing, the image's
                Loaded Image or its device's Device Path cannot be opened,
                the registration failed, or the path could not be freed.
**/
typedef EFI_HANDLE (SERVICELIB_EFIAPI *LIB_REGISTER_IMAGE_IN_SMM)(IN EFI_HANDLE ImageHandle,
                                                                  IN EFI_SYSTEM_TABLE *SystemTable,
                                                                  IN EFI_SMM_BASE_PROTOCOL *SmmBase);

/**
  Slots 1 and 4: wait, without a time-out, for one byte from COM1 (115200
  baud, 8N1). Every call brings up the LPC decode, the Super I/O and the
  UART line settings first. With no UART present it returns at once. In
  the boot-services instance the bring-up and each poll run at
  TPL_HIGH_LEVEL, with the caller's TPL in between: timers go on while it
  waits, and a notification function may print meanwhile.

  A get slot also serves as ScanInput's input routine (it ignores the
  counter). GCC's -Wcast-function-type (part of -Wextra) objects to the
  direct cast; (SCAN_INPUT_ROUTINE)(VOID *)Lib->GetCharA passes.

  @return The byte received, zero-extended.
**/
typedef UINTN (SERVICELIB_EFIAPI *LIB_GET_CHAR)(VOID);

/**
  Slots 2, 3 and 5: send the low byte of Ch to COM1, after the same
  bring-up as the get slots; a line feed (Ch exactly 0x000A) is followed
  by a carriage return. Further arguments are ignored, so a put slot cast
  to FORMAT_OUTPUT_ROUTINE serves as FormatOutput's output routine. In the
  boot-services instance the whole call runs at TPL_HIGH_LEVEL, so a
  notification function may print too: its character goes out after the
  one it interrupted.

  @param[in] Ch  The character; only its low byte is sent.
**/
typedef VOID (SERVICELIB_EFIAPI *LIB_PUT_CHAR)(IN CHAR16 Ch, ...);

/**
  Slot 6: the printf-style engine (docs/format.md has the language: flags,
  width, precision, h l ll q I32 I64, d i u x X o b p c s S a g G t r n %).

  @param[in] OutputRoutine  Receives each produced character, or NULL to
                            count without delivering.
  @param[in] MaxCount       The most characters to produce; the rest of the
                            format is still parsed (arguments are taken,
                            %n stores).
  @param[in] Wide           FALSE: Format is CHAR8 text; else CHAR16 text.
  @param[in] Format         The NUL-terminated format. With NULL the call
                            returns 0 and calls nothing.
  @param[in] Args           The x64 argument list: one 8-byte slot per
                            argument and per '*', a narrower value in the
                            low bytes of its slot. With NULL every slot
                            reads as 0 (%d prints 0, %s prints "(null)").

  A NULL string, GUID or time argument (%s %S %a %g %G %t) prints
  "(null)". %n with a NULL address stores nothing; %n stores the count so
  far as an INT32 and saturates at 2147483647, never storing a negative
  count. No address needs to be aligned: the format, the argument list,
  16-bit strings, GUIDs, times and %n's INT32 may lie at any address.

  @return The number of characters produced, never more than MaxCount.
**/
typedef UINT32 (SERVICELIB_EFIAPI *LIB_FORMAT_OUTPUT)(IN FORMAT_OUTPUT_ROUTINE OutputRoutine OPTIONAL,
                                                      IN UINT32 MaxCount, IN BOOLEAN Wide, IN CONST VOID *Format,
                                                      IN VA_LIST Args);

/**
  Slot 7: the scanf-style engine (docs/scan.md has the language: c s d i u
  o x X b n, '*', widths, h l L q). A notification function or an input
  routine may scan in the middle of another scan, which then goes on
  exactly where it was.

  @param[in] InputRoutine  Supplies the characters (GetCharA and GetCharB
                           fit as they are). With NULL the call returns 0
                           and calls nothing.
  @param[in] Reserved      Ignored.
  @param[in] Wide          0: Format is CHAR8 text; else CHAR16 text. %c
                           stores CHAR16 characters when Wide is exactly 1,
                           bytes otherwise.
  @param[in] Format        The NUL-terminated format, at any address. With
                           NULL the call returns 0 and calls nothing.
  @param[in] Args          The x64 argument list: one 8-byte slot per
                           storing conversion, holding the destination
                           address, which need not be aligned. A NULL
                           destination stores nothing and the conversion
                           still counts as an assignment, as it would with
                           a real destination (%n never counts).

  @return The number of assignments made (%n and suppressed conversions
          do not count). A failing integer conversion that is not
          suppressed replaces the count with its own result:
  @retval 0   Its sign is not followed by a digit of the base.
  @retval -1  It found no digit: another character, the end of input, or
              a width used up by the sign.
**/
typedef INTN (SERVICELIB_EFIAPI *LIB_SCAN_INPUT)(IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved,
                                                 IN BOOLEAN Wide, IN CONST VOID *Format, IN VA_LIST Args);

/**
  Slot 8: bounded copy of 8- or 16-bit characters, forward, one character
  at a time (strncpy with StopAtNul, memcpy without). No terminator is
  added when Count runs out first. 16-bit strings may sit at odd addresses.

  @param[out] Dest       The destination.
  @param[in]  Source     The source.
  @param[in]  Count      The most characters to copy (at most 2^31).
  @param[in]  StopAtNul  Non-zero: stop after copying a NUL.
  @param[in]  Wide       Non-zero: 16-bit characters; else bytes.

  @return Dest.
**/
typedef VOID *(SERVICELIB_EFIAPI *LIB_STRING_COPY)(OUT VOID *Dest, IN CONST VOID *Source, IN UINTN Count,
                                                   IN BOOLEAN StopAtNul, IN BOOLEAN Wide);

/**
  Slot 9: bounded compare of 8- or 16-bit characters (strcmp, strncmp,
  stricmp, memcmp). Bytes are sign-extended to 16 bits first. 16-bit
  strings may sit at odd addresses.

  @param[in] S1         The first string.
  @param[in] S2         The second string.
  @param[in] Count      The most characters to compare; all ones (MAX_UINTN)
                        for no bound.
  @param[in] FoldMask   ORed (sign-extended) into characters 'A' to 'Z' of
                        both strings: 0x20 ignores case, 0 compares exactly.
  @param[in] StopAtNul  Non-zero: stop at a NUL in S1.
  @param[in] Wide       Non-zero: 16-bit characters; else bytes.

  @return The difference of the first differing characters (0 when equal);
          with Count all ones, only its sign: 1, -1 or 0.
**/
typedef INT32 (SERVICELIB_EFIAPI *LIB_STRING_COMPARE)(IN CONST VOID *S1, IN CONST VOID *S2, IN UINTN Count,
                                                      IN INT8 FoldMask, IN BOOLEAN StopAtNul, IN BOOLEAN Wide);

/**
  Slot 10: malloc and free in one routine, first fit in an arena of
  LIB_SERVICES_HEAP_SIZE bytes per copy of the driver. Payloads are not
  rounded, so they are aligned only as far as the sizes keep them aligned.

  @param[in] Block  NULL to allocate; a payload address to free it.
  @param[in] Size   The bytes to allocate; 0 to free.

  @return (NULL, Size): the new payload. (Block, 0): Block, now free.
  @retval NULL  No block fits; Block is not a live allocated block (a
                double or stray free changes nothing); the heap found a
                corrupted block header; or both or neither of Block and
                Size were given.
**/
typedef VOID *(SERVICELIB_EFIAPI *LIB_HEAP_ALLOC_FREE)(IN VOID *Block OPTIONAL, IN UINTN Size);

/**
  Slot 11: reads one I/O port. The boot-services instance uses the
  Framework CPU I/O protocol when present, else the PI CPU I/O 2
  protocol; the SMM instance uses the SMM system table's SmmIo. The
  status of the read is not reported.

  @param[in] Port   The port.
  @param[in] Width  0, 1 or 2: 8, 16 or 32 bits. Any other code makes no
                    call, since the value read has room for 32 bits only.

  @return The value read, zero-extended. With no protocol to go through
          (neither CPU I/O protocol, or no SMM system table) all ones for
          the width: what an absent port reads. With a Width above 2,
          0xFFFFFFFF.
**/
typedef UINT32 (SERVICELIB_EFIAPI *LIB_IO_READ)(IN UINT16 Port, IN UINTN Width);

/**
  Slot 12: writes one I/O port, through the same protocol as slot 11.

  @param[in] Port   The port.
  @param[in] Value  The value; its low 8, 16 or 32 bits are written.
  @param[in] Width  0, 1 or 2: 8, 16 or 32 bits. Any other code makes no
                    call, since Value holds 32 bits only.

  @return The status of the write.
  @retval EFI_INVALID_PARAMETER  Width is above 2; nothing was written.
  @retval EFI_NOT_READY          There is no protocol to go through
                                 (neither CPU I/O protocol, or no SMM
                                 system table); nothing was written.
**/
typedef EFI_STATUS (SERVICELIB_EFIAPI *LIB_IO_WRITE)(IN UINT16 Port, IN UINT32 Value, IN UINTN Width);

struct _LIB_SERVICES_PROTOCOL {
  UINT32                    Revision;            // LIB_SERVICES_PROTOCOL_REVISION
  UINT32                    Size;                // 112, the whole table
  LIB_REGISTER_IMAGE_IN_SMM RegisterImageInSmm;  // slot 0
  LIB_GET_CHAR              GetCharA;            // slot 1
  LIB_PUT_CHAR              PutCharA;            // slot 2
  LIB_PUT_CHAR              PutCharB;            // slot 3
  LIB_GET_CHAR              GetCharB;            // slot 4
  LIB_PUT_CHAR              PutCharC;            // slot 5
  LIB_FORMAT_OUTPUT         FormatOutput;        // slot 6
  LIB_SCAN_INPUT            ScanInput;           // slot 7
  LIB_STRING_COPY           StringCopy;          // slot 8
  LIB_STRING_COMPARE        StringCompare;       // slot 9
  LIB_HEAP_ALLOC_FREE       HeapAllocFree;       // slot 10
  LIB_IO_READ               IoRead;              // slot 11
  LIB_IO_WRITE              IoWrite;             // slot 12
};

EFI_STATIC_ASSERT (sizeof (LIB_SERVICES_PROTOCOL) == 112, "LIB_SERVICES_PROTOCOL is 112 bytes");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, Size) == 4, "Size");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, RegisterImageInSmm) == 8, "slot 0");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, GetCharA) == 16, "slot 1");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharA) == 24, "slot 2");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharB) == 32, "slot 3");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, GetCharB) == 40, "slot 4");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, PutCharC) == 48, "slot 5");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, FormatOutput) == 56, "slot 6");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, ScanInput) == 64, "slot 7");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, StringCopy) == 72, "slot 8");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, StringCompare) == 80, "slot 9");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, HeapAllocFree) == 88, "slot 10");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, IoRead) == 96, "slot 11");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (LIB_SERVICES_PROTOCOL, IoWrite) == 104, "slot 12");

#ifdef __cplusplus
}
#endif

#endif
