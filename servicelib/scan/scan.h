// SPDX-License-Identifier: BSD-2-Clause-Patent
// The scan engine's lower layer: the state of the scan under way, the
// character source with push-back, and the integer field reader
// (scanint.cpp).
#ifndef SERVICELIB_SCAN_SCAN_H_
#define SERVICELIB_SCAN_SCAN_H_

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

// State of the scan under way, defined in scan.cpp, where each call resets
// the count and the stack at its start. A scan started in the middle of
// another (by a notification function or an input routine) puts the
// other's state back when it ends; between scans ScanInputRoutine is NULL.
extern constinit SCAN_INPUT_ROUTINE ScanInputRoutine;
extern constinit INT32              ScanConsumed;
extern constinit CHAR16             PushBackBuffer[kPushBackSlots];
extern constinit INT32              PushBackTop;

// Whitespace for the scan language, in the format and in the input.
constexpr bool IsScanSpace (CHAR16 Ch) { return Ch == 0x20 || (Ch >= 0x09 && Ch <= 0x0D); }

// ScanConsumed is an INT32 that stops at its maximum: an input of 2^31
// characters or more reports that maximum, never a negative count. The
// step counters count modulo 2^32 (a plain add per character, which cannot
// overflow): a step is never negative, so a negative one has passed 2^31
// and AddConsumed takes it as past the maximum. Only a single directive of
// 2^32 characters or more (4 GiB of one whitespace run or one number)
// would count short.
inline constexpr INT32 kScanCountMax = 0x7FFFFFFF;

// Adds a step's count to ScanConsumed. Added as unsigned numbers in 64
// bits, a negative step (past 2^31) and a sum past the maximum both land
// above kScanCountMax, so one compare settles both.
inline VOID AddConsumed (IN INT32 Step)
{
  const UINT64 Sum = static_cast<UINT64> (static_cast<UINT32> (ScanConsumed)) + static_cast<UINT32> (Step);
  ScanConsumed     = Sum > static_cast<UINT64> (kScanCountMax) ? kScanCountMax : static_cast<INT32> (Sum);
}

// The next character: from the push-back stack if it holds any, otherwise
// from the input routine. A non-zero character adds 1 to *Counter.
// Defined here so that the per-character loops of the engine inline it.
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
  if (Ch != 0) {
    *Counter = static_cast<INT32> (static_cast<UINT32> (*Counter) + 1u);
  }
  return Ch;
}

// Gives Ch back; a non-zero Ch takes 1 off *Counter. On a full stack the
// character is dropped and stays counted as consumed.
inline VOID ScanPushBack (IN CHAR16 Ch, IN OUT INT32 *Counter)
{
  if (static_cast<UINT32> (PushBackTop) >= static_cast<UINT32> (kPushBackSlots)) [[unlikely]] {
    // No room: the engine itself never gets here. Dropping the character
    // is the only choice that cannot overwrite what lies beyond the stack.
    return;
  }
  PushBackBuffer[PushBackTop] = Ch;
  ++PushBackTop;
  if (Ch != 0) {
    *Counter = static_cast<INT32> (static_cast<UINT32> (*Counter) - 1u);
  }
}

// Reads one signed integer field: 1 when a digit was read (Value holds the
// number), 0 when a sign was followed by a non-digit, -1 when no digit came.
INT32 ScanInteger (IN OUT SCAN_FIELD *Field);

#endif
