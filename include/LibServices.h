/** @file
  LIB_SERVICES_PROTOCOL: COM1 character I/O, a printf-style and a
  scanf-style engine working through per-character callbacks, bounded
  string copy and compare, a block heap, port I/O, and loading a driver
  image into SMRAM.

  Two instances exist: gLibServicesProtocolGuid for boot-services callers
  and gSmmLibServicesProtocolGuid for SMM callers. They differ only in
  slots 11 and 12 (port I/O through the CPU I/O protocol, or through the
  SMM system table's SmmIo). No slot takes the table as an argument.

  A client driver:

    LIB_SERVICES_PROTOCOL *Lib;
    EFI_GUID Guid = LIB_SERVICES_PROTOCOL_GUID;
    if (!EFI_ERROR (gBS->LocateProtocol (&Guid, NULL, (VOID **)&Lib))) {
      UINT64 Args[] = { 42, (UINT64)(UINTN)"ok" };
      Lib->FormatOutput ((FORMAT_OUTPUT_ROUTINE)Lib->PutCharA, 0xFFFFFFFF, 0,
                         "%d %a\n", (VA_LIST)Args);
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

#define LIB_SERVICES_PROTOCOL_REVISION  7

//
// Size in bytes of the arena behind HeapAllocFree (slot 10). Each loaded
// copy of the driver (the SMRAM one included) has an arena of its own.
//
#define LIB_SERVICES_HEAP_SIZE  0x10000

//
// Called once per produced character, with the character in the low 16
// bits. Characters taken from 8-bit text arrive sign-extended (0xE9 as
// 0xFFE9); the serial put slots use the low byte only.
//
typedef VOID (EFIAPI *FORMAT_OUTPUT_ROUTINE)(IN CHAR16 Ch);

//
// Returns the next input character in the low 16 bits, 0 at the end of
// input, and may be called again after that. Counter belongs to the
// engine: leave it alone.
//
typedef UINTN (EFIAPI *SCAN_INPUT_ROUTINE)(IN INT32 *Counter);

typedef EFI_HANDLE (EFIAPI *LIB_REGISTER_IMAGE_IN_SMM)(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable,
                                                       IN EFI_SMM_BASE_PROTOCOL *SmmBase);
typedef UINTN (EFIAPI *LIB_GET_CHAR)(VOID);
typedef VOID (EFIAPI *LIB_PUT_CHAR)(IN CHAR16 Ch, ...);
typedef UINT32 (EFIAPI *LIB_FORMAT_OUTPUT)(IN FORMAT_OUTPUT_ROUTINE OutputRoutine OPTIONAL, IN UINT32 MaxCount,
                                           IN BOOLEAN Wide, IN CONST VOID *Format, IN VA_LIST Args);
typedef INTN (EFIAPI *LIB_SCAN_INPUT)(IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved, IN BOOLEAN Wide,
                                      IN CONST VOID *Format, IN VA_LIST Args);
typedef VOID *(EFIAPI *LIB_STRING_COPY)(OUT VOID *Dest, IN CONST VOID *Source, IN UINTN Count,
                                        IN BOOLEAN StopAtNul, IN BOOLEAN Wide);
typedef INT32 (EFIAPI *LIB_STRING_COMPARE)(IN CONST VOID *S1, IN CONST VOID *S2, IN UINTN Count, IN INT8 FoldMask,
                                           IN BOOLEAN StopAtNul, IN BOOLEAN Wide);
typedef VOID *(EFIAPI *LIB_HEAP_ALLOC_FREE)(IN VOID *Block OPTIONAL, IN UINTN Size);
typedef UINT32 (EFIAPI *LIB_IO_READ)(IN UINT16 Port, IN UINTN Width);
typedef EFI_STATUS (EFIAPI *LIB_IO_WRITE)(IN UINT16 Port, IN UINT32 Value, IN UINTN Width);

typedef struct {
  UINT32                    Revision;            // 7
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
} LIB_SERVICES_PROTOCOL;

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
