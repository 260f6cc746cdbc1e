// SPDX-License-Identifier: BSD-2-Clause-Patent
// The probe's log: a ring of text in SMRAM. The handler cannot print while
// it runs (COM1 belongs to the calls under test), so it keeps its lines
// here and every reply carries the pending text out to the shell tool,
// which writes it to the debug console. When the ring is full the oldest
// text goes and the next reply says how much was lost.
#include "ProbeDriver.h"

namespace {

constexpr UINT32 kRingSize = 8192;

constinit CHAR8  mRing[kRingSize] = {};
constinit UINT32 mWritten        = 0;   // totals; the ring index is the total modulo the size
constinit UINT32 mRead           = 0;
constinit UINT32 mLost           = 0;

}  // namespace

VOID LogPut (CHAR8 Ch)
{
  if (mWritten - mRead == kRingSize) {
    mRead++;
    mLost++;
  }
  mRing[mWritten++ % kRingSize] = Ch;
}

UINT32 LogDrain (CHAR8 *Out, UINT32 Capacity, UINT32 *Lost)
{
  UINT32 Count = 0;
  while (mRead != mWritten && Count < Capacity) {
    Out[Count++] = mRing[mRead++ % kRingSize];
  }
  *Lost = mLost;
  mLost = 0;
  return Count;
}
