// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "DriverData.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

// Defined by DriverData.ld; a program linked without it fails to link
// rather than skipping the reload.
extern "C" unsigned char SimDriverDataBegin[], SimDriverDataEnd[], SimDriverBssBegin[], SimDriverBssEnd[];

namespace sim {

namespace {

std::vector<unsigned char> mLoadedData;
bool                       mKept = false;

// Under AddressSanitizer the sections also hold the redzones between the
// globals; copying them byte by byte, uninstrumented and not turned into a
// memcpy call, reads and rewrites those bytes too without a report. A NULL
// Source writes zeros.
[[clang::no_sanitize ("address")]] void CopyBytes (volatile unsigned char *Dest,
                                                    const volatile unsigned char *Source, size_t Size)
{
  for (size_t I = 0; I < Size; ++I) {
    Dest[I] = Source != nullptr ? Source[I] : 0;
  }
}

}  // namespace

void KeepLoadedDriverData ()
{
  mLoadedData.resize (static_cast<size_t> (SimDriverDataEnd - SimDriverDataBegin));
  CopyBytes (mLoadedData.data (), SimDriverDataBegin, mLoadedData.size ());
  mKept = true;
}

void ReloadDriverData ()
{
  if (!mKept) {
    std::fprintf (stderr, "ReloadDriverData: KeepLoadedDriverData was not called at start-up\n");
    std::abort ();
  }
  CopyBytes (SimDriverDataBegin, mLoadedData.data (), mLoadedData.size ());
  CopyBytes (SimDriverBssBegin, nullptr, static_cast<size_t> (SimDriverBssEnd - SimDriverBssBegin));
}

}  // namespace sim
