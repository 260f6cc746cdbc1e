// SPDX-License-Identifier: BSD-2-Clause-Patent
// A UEFI application built as gnu-efi applications are built: Debian's
// gnu-efi headers, its crt0, linker script and libraries, then objcopy to
// PE. It locates LIB_SERVICES_PROTOCOL and prints through it on COM1,
// between two marker lines, so that a test can compare the exact bytes.
//
// It is built without GNU_EFI_USE_MS_ABI, as many gnu-efi programs are:
// gnu-efi's EFIAPI is then the System V convention and firmware calls go
// through uefi_call_wrapper, while every routine type of LibServices.h
// carries the Microsoft convention itself, so the slots are called
// directly. Routines of ours that a slot calls, or that build a VA_LIST,
// are SERVICELIB_EFIAPI.
#include <efi.h>
#include <efilib.h>
#include <LibServices.h>

// An EDK2 module gets this from AutoGen; a gnu-efi program defines it.
EFI_GUID gLibServicesProtocolGuid = LIB_SERVICES_PROTOCOL_GUID;

static LIB_SERVICES_PROTOCOL *mLib;
static UINT32                mCounted;

static FORMAT_OUTPUT_ROUTINE Com1 (VOID) { return (FORMAT_OUTPUT_ROUTINE)mLib->PutCharA; }

// printf on COM1: the list VA_START builds is the x64 list the engine reads.
static UINT32 SERVICELIB_EFIAPI LibPrint (CONST char *Format, ...)
{
  VA_LIST Args;
  UINT32  Count;

  VA_START (Args, Format);
  Count = mLib->FormatOutput (Com1 (), 0xFFFFFFFF, FALSE, Format, Args);
  VA_END (Args);
  return Count;
}

// An output routine of our own: counts what it is given.
static VOID SERVICELIB_EFIAPI CountChar (IN CHAR16 Ch)
{
  (VOID)Ch;
  mCounted++;
}

// crt0 calls efi_main with the System V convention.
EFI_STATUS efi_main (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable)
{
  EFI_STATUS Status;
  UINT64     Slots[] = { 7, (UINT64)(UINTN)"slots" };
  UINT64     Numbers[] = { 12345, 678 };
  UINT32     Count;

  (VOID)ImageHandle;
  Status = uefi_call_wrapper (SystemTable->BootServices->LocateProtocol, 3, &gLibServicesProtocolGuid, NULL,
                              (VOID **)&mLib);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  LibPrint ("<<<GNU-EFI BEGIN>>>\n");
  LibPrint ("LIB_SERVICES_PROTOCOL revision %d, size %d\n", mLib->Revision, mLib->Size);
  LibPrint ("%a|%5d|%-5d|%05x|%#X|%b\n", "gnu-efi", 42, -42, 0xBEEF, 255, 10);
  LibPrint ("%lld %llx %S\n", -1234567890123LL, 0x123456789ABCDEFULL, L"wide");
  LibPrint ("%g %r %r\n", &gLibServicesProtocolGuid, EFI_SUCCESS, EFI_NOT_FOUND);
  Count = mLib->FormatOutput (Com1 (), 0xFFFFFFFF, FALSE, "array list: %d %a\n", (VA_LIST)Slots);
  LibPrint ("printed %d\n", Count);
  Count = mLib->FormatOutput (CountChar, 5, FALSE, "%d%d", (VA_LIST)Numbers);
  LibPrint ("own routine, at most 5: returned %d, called %d times\n", Count, mCounted);
  LibPrint ("<<<GNU-EFI END>>>\n");
  return EFI_SUCCESS;
}
