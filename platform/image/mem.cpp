// SPDX-License-Identifier: BSD-2-Clause-Patent
// The compiler may emit calls to memcpy and memset for structure copies and
// clears; a freestanding image has no C library to supply them.
#include <ServiceLibPkg/Uefi/UefiBaseType.h>

extern "C" {

void *memcpy (void *Dest, const void *Src, UINTN Count)
{
  auto       *D = static_cast<UINT8 *> (Dest);
  const auto *S = static_cast<const UINT8 *> (Src);
  while (Count-- != 0) {
    *D++ = *S++;
  }
  return Dest;
}

void *memset (void *Dest, int Value, UINTN Count)
{
  auto *D = static_cast<UINT8 *> (Dest);
  while (Count-- != 0) {
    *D++ = static_cast<UINT8> (Value);
  }
  return Dest;
}

}
