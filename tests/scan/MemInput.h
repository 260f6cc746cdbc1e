// SPDX-License-Identifier: BSD-2-Clause-Patent
// An in-memory input routine for the scan engine that records how far the
// input was read.
#ifndef TESTS_SCAN_MEM_INPUT_H_
#define TESTS_SCAN_MEM_INPUT_H_

#include <LibServices.h>

#include <cstddef>
#include <string>

namespace scantest {

struct MemInput {
  std::u16string Text;
  size_t         Pos   = 0;  // characters delivered so far
  size_t         Calls = 0;  // calls, including those at the end of input
};

inline MemInput mInput;

// Delivers Text one character at a time, then 0 on every further call.
inline UINTN EFIAPI ReadMem (INT32 *Counter)
{
  (void)Counter;
  ++mInput.Calls;
  return mInput.Pos < mInput.Text.size () ? mInput.Text[mInput.Pos++] : 0;
}

inline void SetInput (std::u16string Text)
{
  mInput = MemInput{std::move (Text)};
}

}  // namespace scantest

#endif
