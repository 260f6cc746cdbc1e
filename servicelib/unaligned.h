// SPDX-License-Identifier: BSD-2-Clause-Patent
// Loads and stores of a caller's data wherever it lies.
#ifndef SERVICELIB_UNALIGNED_H_
#define SERVICELIB_UNALIGNED_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

// Callers hand the engines data at any address: a GUID or a time inside a
// packed firmware record, a 16-bit format or string at an odd offset of a
// buffer, a count to store into a packed field. An access through a pointer
// of the value's own type lets the compiler assume natural alignment; these
// move the bytes through an untyped address instead, and on x64 each still
// compiles to one plain load or store.
template <typename T> inline T LoadUnaligned (IN CONST VOID *At)
{
  T Value;
  __builtin_memcpy (&Value, At, sizeof Value);
  return Value;
}

template <typename T> inline VOID StoreUnaligned (OUT VOID *At, IN T Value)
{
  __builtin_memcpy (At, &Value, sizeof Value);
}

#endif
