/** @file
  Base types of the UEFI environment for x64, and the choice of where they
  come from.

  A client builds with one SDK and must keep that SDK's definitions of the
  base types and tables; ours would collide with them. So this header looks
  for an SDK first, by that SDK's own macros:

  - EDK2 MdePkg (<Uefi.h>, <PiDxe.h>, <Base.h>, or the forced AutoGen.h of
    an EDK2 build): MdePkg's definitions are used.
  - gnu-efi (<efi.h>): gnu-efi's definitions are used.

  When neither has been included yet but one of them is on the include path
  (MdePkg's <ProcessorBind.h> and <Uefi/UefiBaseType.h>, or gnu-efi's
  <efi.h> and <efilib.h>), its root header is included here, so a client
  may include our headers before or after the SDK's. With no SDK at all
  (our own drivers, the host tests) our own definitions below serve,
  written from the published UEFI standard (section 2.3.1 data types,
  appendix D status codes).

  Whatever the SDK, every routine type that this package defines uses the
  Microsoft x64 calling convention (SERVICELIB_EFIAPI), and VA_LIST is the
  x64 list: a pointer to consecutive 8-byte slots.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERVICE_LIB_PKG_UEFI_UEFI_BASE_TYPE_H_
#define SERVICE_LIB_PKG_UEFI_UEFI_BASE_TYPE_H_

#if defined (__UEFI_BASETYPE_H__) || defined (MDE_CPU_X64) || defined (MDE_CPU_IA32)
#define SERVICELIB_SDK_EDK2  1
#elif defined (_EFI_INCLUDE_) || defined (_GNU_EFI)
#define SERVICELIB_SDK_GNU_EFI  1
#elif defined (__has_include)
#if __has_include (<ProcessorBind.h>) && __has_include (<Uefi/UefiBaseType.h>)
#define SERVICELIB_SDK_EDK2  1
#elif __has_include (<efi.h>) && __has_include (<efilib.h>)
#define SERVICELIB_SDK_GNU_EFI  1
#endif
#endif

//
// The SDKs' declarations are C. From C++ they are included with C linkage,
// as EDK2's AutoGen.h includes <Uefi.h>; when the client included the SDK
// first, these includes change nothing.
//
#ifdef __cplusplus
extern "C" {
#endif

#if defined (SERVICELIB_SDK_EDK2)
#include <Uefi.h>
#elif defined (SERVICELIB_SDK_GNU_EFI)
#include <efi.h>
#else

typedef unsigned char       UINT8;
typedef signed char         INT8;
typedef unsigned short      UINT16;
typedef short               INT16;
typedef unsigned int        UINT32;
typedef int                 INT32;
typedef unsigned long long  UINT64;
typedef long long           INT64;
typedef UINT64              UINTN;
typedef INT64               INTN;
typedef unsigned char       BOOLEAN;
typedef char                CHAR8;
typedef unsigned short      CHAR16;
typedef void                VOID;

typedef UINTN  EFI_STATUS;
typedef VOID   *EFI_HANDLE;
typedef VOID   *EFI_EVENT;
typedef UINTN  EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

#define IN
#define OUT
#define OPTIONAL
#define CONST const

#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((VOID *)0)
#endif
#endif

#define TRUE  ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

//
// Every interface routine uses the Microsoft x64 calling convention. On a
// Windows target it is the default; on a host build it must be named.
//
#if defined(__GNUC__) || defined(__clang__)
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8  Data4[8];
} EFI_GUID;

typedef struct {
  UINT16 Year;
  UINT8  Month;
  UINT8  Day;
  UINT8  Hour;
  UINT8  Minute;
  UINT8  Second;
  UINT8  Pad1;
  UINT32 Nanosecond;
  INT16  TimeZone;
  UINT8  Daylight;
  UINT8  Pad2;
} EFI_TIME;

#define MAX_BIT      0x8000000000000000ULL
#define ENCODE_ERROR(Code)    ((EFI_STATUS)(MAX_BIT | (Code)))
#define ENCODE_WARNING(Code)  ((EFI_STATUS)(Code))
#define EFI_ERROR(Status)     (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS               ((EFI_STATUS)0)
#define EFI_LOAD_ERROR            ENCODE_ERROR (1)
#define EFI_INVALID_PARAMETER     ENCODE_ERROR (2)
#define EFI_UNSUPPORTED           ENCODE_ERROR (3)
#define EFI_BAD_BUFFER_SIZE       ENCODE_ERROR (4)
#define EFI_BUFFER_TOO_SMALL      ENCODE_ERROR (5)
#define EFI_NOT_READY             ENCODE_ERROR (6)
#define EFI_DEVICE_ERROR          ENCODE_ERROR (7)
#define EFI_WRITE_PROTECTED       ENCODE_ERROR (8)
#define EFI_OUT_OF_RESOURCES      ENCODE_ERROR (9)
#define EFI_VOLUME_CORRUPTED      ENCODE_ERROR (10)
#define EFI_VOLUME_FULL           ENCODE_ERROR (11)
#define EFI_NO_MEDIA              ENCODE_ERROR (12)
#define EFI_MEDIA_CHANGED         ENCODE_ERROR (13)
#define EFI_NOT_FOUND             ENCODE_ERROR (14)
#define EFI_ACCESS_DENIED         ENCODE_ERROR (15)
#define EFI_NO_RESPONSE           ENCODE_ERROR (16)
#define EFI_NO_MAPPING            ENCODE_ERROR (17)
#define EFI_TIMEOUT               ENCODE_ERROR (18)
#define EFI_NOT_STARTED           ENCODE_ERROR (19)
#define EFI_ALREADY_STARTED       ENCODE_ERROR (20)
#define EFI_ABORTED               ENCODE_ERROR (21)
#define EFI_ICMP_ERROR            ENCODE_ERROR (22)
#define EFI_TFTP_ERROR            ENCODE_ERROR (23)
#define EFI_PROTOCOL_ERROR        ENCODE_ERROR (24)

#define EFI_WARN_UNKNOWN_GLYPH    ENCODE_WARNING (1)
#define EFI_WARN_DELETE_FAILURE   ENCODE_WARNING (2)
#define EFI_WARN_WRITE_FAILURE    ENCODE_WARNING (3)
#define EFI_WARN_BUFFER_TOO_SMALL ENCODE_WARNING (4)

#endif  // base definitions of our own

#ifdef __cplusplus
}
#endif

//
// The calling convention of every routine type in this package. EFIAPI
// cannot serve: gnu-efi leaves it empty (the System V convention) unless
// the client defines GNU_EFI_USE_MS_ABI, and an EDK2 GCC build gets the
// Microsoft convention only from the -DEFIAPI of its tools_def. Our
// interfaces are Microsoft x64 in every build, so their types say so
// themselves. A client routine handed to one of our interfaces (an output
// or input routine, a hook) must be declared SERVICELIB_EFIAPI too; a
// System V routine does not convert to these types without a cast.
//
#if defined (__GNUC__) || defined (__clang__)
#define SERVICELIB_EFIAPI  __attribute__((ms_abi))
#else
#define SERVICELIB_EFIAPI  EFIAPI
#endif

//
// Compile-time layout checks usable from both C and C++.
//
#ifndef EFI_STATIC_ASSERT
#if defined (__cplusplus) || (defined (_MSC_VER) && !defined (__clang__))
#define EFI_STATIC_ASSERT(Expr, Msg) static_assert (Expr, Msg)
#else
#define EFI_STATIC_ASSERT(Expr, Msg) _Static_assert (Expr, Msg)
#endif
#endif

#ifndef EFI_OFFSET_OF
#if defined (__GNUC__) || defined (__clang__)
#define EFI_OFFSET_OF(Type, Field) __builtin_offsetof (Type, Field)
#else
#define EFI_OFFSET_OF(Type, Field) ((UINTN)&(((Type *)0)->Field))
#endif
#endif

//
// Variable argument lists in the x64 convention: a pointer to consecutive
// 8-byte slots, each argument in the low bytes of its own slot. MdePkg's
// VA_LIST for x64 GCC and clang is this list (__builtin_ms_va_list), so an
// EDK2 client hands its VA_LIST over unchanged. gnu-efi has only the C
// library's va_list, which on an ELF build is the System V list (a
// structure, not slots): a gnu-efi client builds its list with VA_START
// below, in a SERVICELIB_EFIAPI variadic routine, and hands that over.
//
#if defined (SERVICELIB_SDK_EDK2)
#if defined (NO_MSABI_VA_FUNCS) && defined (__x86_64__) && !defined (_WIN32)
#error "NO_MSABI_VA_FUNCS makes VA_LIST the System V list; FormatOutput and ScanInput need the x64 list"
#endif
#elif (defined (__GNUC__) || defined (__clang__)) && defined (__x86_64__)
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start (Marker, Parameter)
#define VA_END(Marker)              __builtin_ms_va_end (Marker)
#else
typedef char *VA_LIST;
#endif

EFI_STATIC_ASSERT (sizeof (VOID *) == 8, "these interfaces are defined for x64 only");
EFI_STATIC_ASSERT (sizeof (EFI_GUID) == 16, "EFI_GUID is 16 bytes");
EFI_STATIC_ASSERT (sizeof (EFI_TIME) == 16, "EFI_TIME is 16 bytes");
EFI_STATIC_ASSERT (EFI_OFFSET_OF (EFI_TIME, Minute) == 5, "EFI_TIME.Minute");

#endif
