// SPDX-License-Identifier: BSD-2-Clause-Patent
// Character facts that the format engine, the scan engine and the string
// routines share.
#ifndef SERVICELIB_CHARS_H_
#define SERVICELIB_CHARS_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

// An 8-bit character (of a format, a string, a prefix or a fill) widens to
// the engines' 16-bit characters with its sign: 0xE9 becomes 0xFFE9, so it
// matches or prints as that 16-bit value. A 16-bit character stays as it is.
constexpr CHAR16 WidenChar (CHAR8 Ch) { return static_cast<CHAR16> (static_cast<INT16> (static_cast<INT8> (Ch))); }
constexpr CHAR16 WidenChar (CHAR16 Ch) { return Ch; }

// A width (and in a format, a precision) has at most this many digits; one
// more abandons the conversion.
inline constexpr UINT32 kMaxWidthDigits = 7;

#endif
