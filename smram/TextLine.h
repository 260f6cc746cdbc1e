// SPDX-License-Identifier: BSD-2-Clause-Patent
// Building one line of log text, character by character, for a writer
// that each image chooses: the probe driver writes into its SMRAM log
// ring, the shell tool straight to the debug console port.
//
//   TEXT_LINE<Put> ().Text ("load base=").Hex (Base).Text (" status=").Hex (Status).End ();
#ifndef SMRAM_TEXT_LINE_H_
#define SMRAM_TEXT_LINE_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

template <VOID (*Put) (CHAR8)>
struct TEXT_LINE {
  TEXT_LINE &Text (CONST CHAR8 *Text)
  {
    while (Text != nullptr && *Text != 0) {
      Put (*Text++);
    }
    return *this;
  }

  TEXT_LINE &Char (CHAR8 Ch)
  {
    Put (Ch);
    return *this;
  }

  // Upper-case hexadecimal, at least MinDigits digits.
  TEXT_LINE &Hex (UINT64 Value, UINT32 MinDigits = 1)
  {
    CHAR8  Digits[16];
    UINT32 Count = 0;
    do {
      Digits[Count++] = "0123456789ABCDEF"[Value & 0xF];
      Value >>= 4;
    } while ((Value != 0 || Count < MinDigits) && Count < 16);
    while (Count != 0) {
      Put (Digits[--Count]);
    }
    return *this;
  }

  TEXT_LINE &Dec (UINT64 Value)
  {
    CHAR8  Digits[20];
    UINT32 Count = 0;
    do {
      Digits[Count++] = static_cast<CHAR8> ('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
    while (Count != 0) {
      Put (Digits[--Count]);
    }
    return *this;
  }

  // Registry form, upper-case digits.
  TEXT_LINE &Guid (CONST EFI_GUID &G)
  {
    Hex (G.Data1, 8).Char ('-').Hex (G.Data2, 4).Char ('-').Hex (G.Data3, 4).Char ('-');
    for (UINT32 Index = 0; Index < 8; Index++) {
      if (Index == 2) {
        Char ('-');
      }
      Hex (G.Data4[Index], 2);
    }
    return *this;
  }

  VOID End ()
  {
    Put ('\n');
  }
};

inline bool SameGuid (CONST EFI_GUID &A, CONST EFI_GUID &B)
{
  CONST UINT8 *X = reinterpret_cast<CONST UINT8 *> (&A);
  CONST UINT8 *Y = reinterpret_cast<CONST UINT8 *> (&B);
  for (UINT32 Index = 0; Index < sizeof (EFI_GUID); Index++) {
    if (X[Index] != Y[Index]) {
      return false;
    }
  }
  return true;
}

#endif
