// SPDX-License-Identifier: BSD-2-Clause-Patent
// The scan engine's lower layer: the state of the scan under way, the
// character source with push-back, and the integer field reader.
#ifndef SERVICELIB_SCAN_H_
#define SERVICELIB_SCAN_H_

#include <LibServices.h>

// One integer field, handed by ScanInput to ScanInteger.
typedef struct {
  INT32   Width;     // -1 = no width, otherwise 0..9999999
  BOOLEAN Suppress;  // the '*' flag; kept for ScanInput, not read by ScanInteger
  INT64   Value;     // the number read
  UINT8   Base;      // 2, 8, 10 or 16
} SCAN_FIELD;

// Room on the push-back stack. No step of a scan gives back more than two
// characters, and each reads before it gives back, so two would do; the
// spare slots are slack, and ScanPushBack refuses a fifth character.
inline constexpr INT32 kPushBackSlots = 4;

// State of the scan under way; ScanInput resets the count and the stack at
// the start of each call. One scan at a time per loaded copy.
extern constinit SCAN_INPUT_ROUTINE ScanInputRoutine;
extern constinit INT32              ScanConsumed;
extern constinit CHAR16             PushBackBuffer[kPushBackSlots];
extern constinit INT32              PushBackTop;

// Whitespace for the scan language, in the format and in the input.
constexpr bool IsScanSpace (CHAR16 Ch) { return Ch == 0x20 || (Ch >= 0x09 && Ch <= 0x0D); }

// Counts of consumed characters are INT32 and stop at its maximum: an
// input of 2^31 characters or more then reports that maximum, and no count
// wraps to a negative one. A counter that has reached it stays there.
inline constexpr INT32 kScanCountMax = 0x7FFFFFFF;

// Adds a step's count to ScanConsumed.
VOID AddConsumed (IN INT32 Step);

// The next character: from the push-back stack if it holds any, otherwise
// from the input routine. A non-zero character adds 1 to *Counter (up to
// kScanCountMax). Defined here so that the per-character loops of the
// engine inline it.
inline CHAR16 ScanNextChar (IN OUT INT32 *Counter)
{
  CHAR16 Ch;
  // The unsigned compare also keeps a damaged PushBackTop (negative, or
  // above the stack) from indexing outside the buffer.
  if (static_cast<UINT32> (PushBackTop) - 1u < static_cast<UINT32> (kPushBackSlots)) [[unlikely]] {
    --PushBackTop;
    Ch = PushBackBuffer[PushBackTop];
  } else {
    Ch = static_cast<CHAR16> (ScanInputRoutine (Counter));
  }
  *Counter += (Ch != 0) & (*Counter != kScanCountMax);
  return Ch;
}

// Gives Ch back; a non-zero Ch takes 1 off *Counter, unless the counter
// has reached kScanCountMax. On a full stack the character is dropped and
// stays counted as consumed.
inline VOID ScanPushBack (IN CHAR16 Ch, IN OUT INT32 *Counter)
{
  if (static_cast<UINT32> (PushBackTop) >= static_cast<UINT32> (kPushBackSlots)) [[unlikely]] {
    // No room: the engine itself never gets here. Dropping the character
    // is the only choice that cannot overwrite what lies beyond the stack.
    return;
  }
  PushBackBuffer[PushBackTop] = Ch;
  ++PushBackTop;
  if (Ch != 0 && *Counter != kScanCountMax) {
    *Counter = static_cast<INT32> (static_cast<UINT32> (*Counter) - 1u);  // wraps rather than overflows
  }
}

BOOLEAN IsDigitInBase (IN UINT8 Base, IN CHAR16 Ch);

// Reads one signed integer field: 1 when a digit was read (Value holds the
// number), 0 when a sign was followed by a non-digit, -1 when no digit came.
INT32 ScanInteger (IN OUT SCAN_FIELD *Field);

#endif
