// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PortBus.h"

#include <cstdio>

namespace sim {

std::string ToString (const PortAccess &A)
{
  static const char *Paths[] = {"cpuio", "smmio", "direct"};
  char Buf[96];
  std::snprintf (Buf, sizeof Buf, "%s %s%u 0x%X=0x%X", Paths[static_cast<int> (A.Path)], A.Write ? "out" : "in",
                 8u << A.Width, A.Port, A.Value);
  return Buf;
}

//
// UART
//
UINT8 Uart16550::Read (UINT16 Port)
{
  if (!Present) {
    return 0xFF;
  }
  const bool Dlab = (Lcr & 0x80) != 0;
  switch (Port - kBase) {
    case 0:
      if (Dlab) {
        return Dll;
      }
      if (Receive.empty ()) {
        return 0;
      }
      {
        UINT8 Ch = Receive.front ();
        Receive.pop_front ();
        return Ch;
      }
    case 1: return Dlab ? Dlm : Ier;
    case 2: return 0xC1;  // no interrupt pending, FIFOs enabled
    case 3: return Lcr;
    case 4: return Mcr;
    case 5: {
      UINT8 Lsr = Receive.empty () ? 0x00 : 0x01;
      if (TxBusyPolls > 0) {
        --TxBusyPolls;
      } else {
        Lsr |= 0x60;
      }
      return Lsr;
    }
    case 6: return 0xB0;
    default: return Scr;
  }
}

void Uart16550::Write (UINT16 Port, UINT8 Value)
{
  if (!Present) {
    return;
  }
  const bool Dlab = (Lcr & 0x80) != 0;
  switch (Port - kBase) {
    case 0:
      if (Dlab) {
        Dll = Value;
      } else {
        Transmitted.push_back (Value);
      }
      break;
    case 1:
      if (Dlab) {
        Dlm = Value;
      } else {
        Ier = Value;
      }
      break;
    case 2: Fcr = Value; break;
    case 3: Lcr = Value; break;
    case 4: Mcr = Value; break;
    case 7: Scr = Value; break;
    default: break;
  }
}

//
// PCI configuration
//
UINT8 *PciConfig::Target (UINT16 Port)
{
  if ((Address & 0x80000000u) == 0) {
    return nullptr;
  }
  const UINT32 Bus = (Address >> 16) & 0xFF, Dev = (Address >> 11) & 0x1F, Fn = (Address >> 8) & 0x7;
  if (Bus != 0 || Dev != 31 || Fn != 0) {
    return nullptr;
  }
  return &Lpc[(Address & 0xFC) + (Port - 0xCFC)];
}

UINT32 PciConfig::Read (UINT16 Port, unsigned Width)
{
  const unsigned Bytes = 1u << Width;
  if (Port >= 0xCF8 && Port <= 0xCFB) {
    return Port == 0xCF8 && Bytes == 4 ? Address : 0xFFFFFFFFu;
  }
  UINT8 *P = Target (Port);
  UINT32 Value = 0;
  for (unsigned I = 0; I < Bytes; ++I) {
    const UINT8 B = (P != nullptr && (Port - 0xCFC) + I < 4) ? P[I] : 0xFF;
    Value |= static_cast<UINT32> (B) << (8 * I);
  }
  return Value;
}

void PciConfig::Write (UINT16 Port, unsigned Width, UINT32 Value)
{
  const unsigned Bytes = 1u << Width;
  if (Port == 0xCF8 && Bytes == 4) {
    Address = Value;
    return;
  }
  if (Port < 0xCFC) {
    return;
  }
  UINT8 *P = Target (Port);
  if (P == nullptr) {
    return;
  }
  for (unsigned I = 0; I < Bytes && (Port - 0xCFC) + I < 4; ++I) {
    P[I] = static_cast<UINT8> (Value >> (8 * I));
  }
}

//
// Super I/O
//
UINT8 SuperIo::Read (UINT16 Port)
{
  if (!InConfig) {
    return 0xFF;
  }
  if (Port == 0x4E) {
    return Index;
  }
  return Index == 0x07 ? Ldn : Reg (Ldn, Index);
}

void SuperIo::Write (UINT16 Port, UINT8 Value)
{
  if (Port == 0x4E) {
    if (!InConfig) {
      InConfig = Value == 0x55;
      return;
    }
    if (Value == 0xAA) {
      InConfig = false;
      return;
    }
    Index = Value;
    return;
  }
  if (!InConfig) {
    return;
  }
  if (Index == 0x07) {
    Ldn = Value;
  } else {
    Regs[{Ldn, Index}] = Value;
  }
}

//
// PIT channel 2 and speaker
//
UINT8 PitSpeaker::Read (UINT16 Port)
{
  if (Port == 0x61) {
    return Port61;
  }
  return 0;
}

void PitSpeaker::Write (UINT16 Port, UINT8 Value)
{
  switch (Port) {
    case 0x43:
      if ((Value & 0xC0) == 0x80) {  // channel 2
        Control            = Value;
        LowByteNext        = true;
        Channel2Programmed = false;
      }
      break;
    case 0x42:
      if (LowByteNext) {
        Channel2Divisor = static_cast<UINT16> ((Channel2Divisor & 0xFF00) | Value);
      } else {
        Channel2Divisor    = static_cast<UINT16> ((Channel2Divisor & 0x00FF) | (Value << 8));
        Channel2Programmed = true;
      }
      LowByteNext = !LowByteNext;
      break;
    case 0x61:
      Port61 = Value;
      break;
    default:
      break;
  }
}

//
// Bus
//
UINT32 PortBus::ReadDevice (UINT16 Port, unsigned Width)
{
  if (Pci.Claims (Port)) {
    return Pci.Read (Port, Width);
  }
  UINT32 Value = 0;
  for (unsigned I = 0; I < (1u << Width); ++I) {
    const UINT16 P = static_cast<UINT16> (Port + I);
    UINT8        B = 0xFF;
    if (Uart.Claims (P)) {
      B = Uart.Read (P);
    } else if (Sio.Claims (P)) {
      B = Sio.Read (P);
    } else if (Pit.Claims (P)) {
      B = Pit.Read (P);
    }
    Value |= static_cast<UINT32> (B) << (8 * I);
  }
  return Value;
}

void PortBus::WriteDevice (UINT16 Port, unsigned Width, UINT32 Value)
{
  if (Pci.Claims (Port)) {
    Pci.Write (Port, Width, Value);
    return;
  }
  for (unsigned I = 0; I < (1u << Width); ++I) {
    const UINT16 P = static_cast<UINT16> (Port + I);
    const UINT8  B = static_cast<UINT8> (Value >> (8 * I));
    if (Uart.Claims (P)) {
      Uart.Write (P, B);
    } else if (Sio.Claims (P)) {
      Sio.Write (P, B);
    } else if (Pit.Claims (P)) {
      Pit.Write (P, B);
    }
  }
}

UINT32 PortBus::Read (PortPath Path, UINT16 Port, unsigned Width, const void *This)
{
  const UINT32 Value = ReadDevice (Port, Width);
  Log.push_back ({Path, false, Port, static_cast<UINT8> (Width), Value, This});
  if (AfterAccess) {
    AfterAccess (PortAccess (Log.back ()));  // a copy: what runs there may log more
  }
  return Value;
}

void PortBus::Write (PortPath Path, UINT16 Port, unsigned Width, UINT32 Value, const void *This)
{
  const UINT32 Mask = Width >= 2 ? 0xFFFFFFFFu : ((1u << (8u << Width)) - 1);
  Log.push_back ({Path, true, Port, static_cast<UINT8> (Width), Value & Mask, This});
  WriteDevice (Port, Width, Value & Mask);
  if (AfterAccess) {
    AfterAccess (PortAccess (Log.back ()));  // a copy: what runs there may log more
  }
}

std::vector<PortAccess> PortBus::Through (PortPath Path) const
{
  std::vector<PortAccess> Out;
  for (const auto &A : Log) {
    if (A.Path == Path) {
      Out.push_back (A);
    }
  }
  return Out;
}

}  // namespace sim
