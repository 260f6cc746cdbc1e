// SPDX-License-Identifier: BSD-2-Clause-Patent
// Runs FormatOutput with a recording output routine and an argument list
// built as an array of 8-byte slots, as the x64 convention lays it out.
#ifndef TESTS_CONSOLE_FORMAT_HARNESS_H_
#define TESTS_CONSOLE_FORMAT_HARNESS_H_

#include "servicelib/chars.h"
#include "servicelib/servicelib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace fmtest {

inline std::u16string mReceived;
inline VOID EFIAPI Record (CHAR16 Ch) { mReceived.push_back (Ch); }

// An argument slot from a signed value.
inline constexpr UINT64 S (INT64 Value) { return static_cast<UINT64> (Value); }

// An argument slot from a pointer.
inline UINT64 P (const void *Pointer) { return reinterpret_cast<UINTN> (Pointer); }

struct Output {
  std::u16string Chars;  // exactly what the routine received
  UINT32         Result;
};

inline Output Run (const void *Format, BOOLEAN Wide, std::vector<UINT64> Args, UINT32 MaxCount = 0xFFFFFFFF,
                   FORMAT_OUTPUT_ROUTINE Routine = Record)
{
  mReceived.clear ();
  Args.resize (Args.size () + 4, 0xDEAD0000DEAD0000ull);  // a stray read shows as garbage, not a crash
  const UINT32 Result = FormatOutput (Routine, MaxCount, Wide, Format, reinterpret_cast<VA_LIST> (Args.data ()));
  return {mReceived, Result};
}

inline Output Run8 (const char *Format, std::vector<UINT64> Args = {}, UINT32 MaxCount = 0xFFFFFFFF)
{
  return Run (Format, 0, std::move (Args), MaxCount);
}

inline Output Run16 (const char16_t *Format, std::vector<UINT64> Args = {}, UINT32 MaxCount = 0xFFFFFFFF)
{
  return Run (Format, 1, std::move (Args), MaxCount);
}

// What the routine receives for 8-bit text: each byte widened with its sign.
inline std::u16string Widened (const std::string &Text)
{
  std::u16string Out;
  for (char Ch : Text) {
    Out.push_back (WidenChar (Ch));
  }
  return Out;
}

// Narrow view of ASCII output, for readable failure messages.
inline std::string Narrow (const std::u16string &Chars)
{
  std::string Out;
  for (char16_t Ch : Chars) {
    Out.push_back (Ch < 0x80 ? static_cast<char> (Ch) : '?');
  }
  return Out;
}

inline std::string Narrow (const CHAR16 *Text) { return Narrow (std::u16string (reinterpret_cast<const char16_t *> (Text))); }

// One table row: its name, an 8-bit format, its slots and the exact text
// produced.
struct Case {
  const char           *Name;
  const char           *Format;
  std::vector<UINT64>   Args;
  std::string           Expected;
};

inline void PrintTo (const Case &C, std::ostream *Os) { *Os << '"' << C.Format << '"'; }

inline void ExpectFormats (const Case &C)
{
  const Output Got = Run8 (C.Format, C.Args);
  EXPECT_EQ (Narrow (Got.Chars), C.Expected) << "format \"" << C.Format << '"';
  EXPECT_EQ (Got.Chars, Widened (C.Expected)) << "format \"" << C.Format << '"';
  EXPECT_EQ (Got.Result, C.Expected.size ()) << "format \"" << C.Format << '"';
}

}  // namespace fmtest

#endif
