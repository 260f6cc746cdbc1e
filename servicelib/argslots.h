// SPDX-License-Identifier: BSD-2-Clause-Patent
// The argument list as both engines read it: 8-byte slots, taken one by
// one, whatever the conversion.
#ifndef SERVICELIB_ARGSLOTS_H_
#define SERVICELIB_ARGSLOTS_H_

#include <LibServices.h>

// A NULL list reads as slots of 0 (every number 0, every address NULL): it
// is one zero slot that is never moved past, so taking a slot costs no test
// (docs/stack.md, "Speed tricks").
class ARG_SLOTS {
 public:
  explicit ARG_SLOTS (VA_LIST Args)
    : Next (Args != NULL ? Args : reinterpret_cast<VA_LIST> (const_cast<UINT64 *> (&kZero))),
      Step (Args != NULL ? sizeof (UINT64) : 0)
  {
  }

  UINT64 Take ()
  {
    UINT64 Value;
    __builtin_memcpy (&Value, Next, sizeof Value);
    Next += Step;
    return Value;
  }

  // A slot that holds an address (a destination, a string, a record).
  template <typename T> T *TakeAddress () { return reinterpret_cast<T *> (Take ()); }

 private:
  static constexpr UINT64 kZero = 0;
  VA_LIST                 Next;
  UINTN                   Step;
};

#endif
