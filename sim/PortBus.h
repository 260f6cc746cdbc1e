// SPDX-License-Identifier: BSD-2-Clause-Patent
// The simulated I/O port bus and its device models. Every access, through
// whichever path it came (CPU I/O protocol, SMM SmmIo, or a direct in/out
// instruction), is recorded in order so tests can assert the exact traffic.
#ifndef SIM_PORT_BUS_H_
#define SIM_PORT_BUS_H_

#include <ServiceLibPkg/Uefi/UefiBaseType.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class PortPath : uint8_t { CpuIo, SmmIo, Direct };

struct PortAccess {
  PortPath Path;
  bool     Write;
  UINT16   Port;
  UINT8    Width;  // 0 = 8-bit, 1 = 16-bit, 2 = 32-bit
  UINT32   Value;
  const void *This;  // the interface pointer handed to the protocol (nullptr for direct access)

  bool operator== (const PortAccess &) const = default;
};

std::string ToString (const PortAccess &Access);

// 16550 UART at 0x3F8..0x3FF.
class Uart16550 {
 public:
  static constexpr UINT16 kBase = 0x3F8;

  bool                Present = true;  // false: every register reads 0xFF
  std::vector<UINT8>  Transmitted;     // bytes written to THR with DLAB clear
  std::deque<UINT8>   Receive;         // bytes that RBR will return, in order
  UINT8               Lcr = 0, Ier = 0, Mcr = 0, Scr = 0, Fcr = 0;
  UINT8               Dll = 0, Dlm = 0;
  unsigned            TxBusyPolls = 0;  // LSR reads that still report the transmitter busy

  bool   Claims (UINT16 Port) const { return Port >= kBase && Port < kBase + 8; }
  UINT8  Read (UINT16 Port);
  void   Write (UINT16 Port, UINT8 Value);
  UINT16 Divisor () const { return static_cast<UINT16> (Dll | (Dlm << 8)); }
};

// PCI configuration mechanism #1: address at 0xCF8, data window 0xCFC..0xCFF.
// Only bus 0 device 31 function 0 (the LPC bridge) is populated.
class PciConfig {
 public:
  UINT32 Address = 0;
  UINT8  Lpc[256] = {};

  bool   Claims (UINT16 Port) const { return (Port >= 0xCF8 && Port <= 0xCFB) || (Port >= 0xCFC && Port <= 0xCFF); }
  UINT32 Read (UINT16 Port, unsigned Width);
  void   Write (UINT16 Port, unsigned Width, UINT32 Value);

  UINT16 LpcRead16 (UINT8 Reg) const { return static_cast<UINT16> (Lpc[Reg] | (Lpc[Reg + 1] << 8)); }
  void   LpcWrite16 (UINT8 Reg, UINT16 Value)
  {
    Lpc[Reg]     = static_cast<UINT8> (Value);
    Lpc[Reg + 1] = static_cast<UINT8> (Value >> 8);
  }

 private:
  UINT8 *Target (UINT16 Port);
};

// Super I/O configuration ports 0x4E (index) and 0x4F (data).
class SuperIo {
 public:
  bool  InConfig = false;
  UINT8 Index = 0;
  UINT8 Ldn = 0;
  std::map<std::pair<UINT8, UINT8>, UINT8> Regs;  // (logical device, index) -> value; 0x07 is global

  bool  Claims (UINT16 Port) const { return Port == 0x4E || Port == 0x4F; }
  UINT8 Read (UINT16 Port);
  void  Write (UINT16 Port, UINT8 Value);
  UINT8 Reg (UINT8 Device, UINT8 Idx) const
  {
    auto It = Regs.find ({Device, Idx});
    return It == Regs.end () ? 0 : It->second;
  }
};

// PIT channel 2 (ports 0x42, 0x43) and the speaker gate at port 0x61.
class PitSpeaker {
 public:
  UINT8  Control = 0;
  UINT16 Channel2Divisor = 0;
  bool   Channel2Programmed = false;
  UINT8  Port61 = 0;

  bool  Claims (UINT16 Port) const { return Port == 0x42 || Port == 0x43 || Port == 0x61; }
  UINT8 Read (UINT16 Port);
  void  Write (UINT16 Port, UINT8 Value);
  // Sounding: gate (bit 0) and speaker data (bit 1) on, channel 2 counting.
  bool  Sounding () const { return Channel2Programmed && (Port61 & 0x03) == 0x03; }

 private:
  bool LowByteNext = true;
};

class PortBus {
 public:
  Uart16550  Uart;
  PciConfig  Pci;
  SuperIo    Sio;
  PitSpeaker Pit;
  std::vector<PortAccess> Log;
  // Runs after every access, once the device has acted on it and it is
  // logged: a test may signal an event here, as a timer interrupt would at
  // that point of the caller's traffic.
  std::function<void (const PortAccess &)> AfterAccess;

  UINT32 Read (PortPath Path, UINT16 Port, unsigned Width, const void *This = nullptr);
  void   Write (PortPath Path, UINT16 Port, unsigned Width, UINT32 Value, const void *This = nullptr);

  // Accesses that went through one path, in order.
  std::vector<PortAccess> Through (PortPath Path) const;

 private:
  UINT32 ReadDevice (UINT16 Port, unsigned Width);
  void   WriteDevice (UINT16 Port, unsigned Width, UINT32 Value);
};

}  // namespace sim

#endif
