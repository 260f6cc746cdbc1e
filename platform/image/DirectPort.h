// SPDX-License-Identifier: BSD-2-Clause-Patent
// Direct processor port access for the firmware image: plain in/out
// instructions, inlined at each use. The host build puts a header of the
// same name first on the include path, which reaches the simulated bus.
#ifndef PLATFORM_IMAGE_DIRECT_PORT_H_
#define PLATFORM_IMAGE_DIRECT_PORT_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

static inline UINT8 DirectPortRead8 (UINT16 Port)
{
  UINT8 Value;
  __asm__ __volatile__ ("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline VOID DirectPortWrite8 (UINT16 Port, UINT8 Value)
{
  __asm__ __volatile__ ("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

#endif
