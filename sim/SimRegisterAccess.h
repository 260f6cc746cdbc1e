// SPDX-License-Identifier: BSD-2-Clause-Patent
// Simulated platform services for WdtControl: a register-access service
// over a byte register file, and a hook service that records the routine
// handed to it. Neither interface carries a This pointer, so each reaches
// its one live instance through a global, like SimFirmware.
//
// Register log: one RegisterAccessRecord per Read or Write, in call order:
//   {Write, Type, Bank, Register, Value, Context}
// Value is the byte written, or the byte handed back by a Read (a failed
// Read hands back nothing and logs 0). Context is the caller's first
// argument as passed. ToString gives "W 01:05:0000008B=1E ctx=0x...".
#ifndef SIM_SIM_REGISTER_ACCESS_H_
#define SIM_SIM_REGISTER_ACCESS_H_

#include <HookRegistration.h>
#include <RegisterAccess.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace sim {

class SimFirmware;

struct RegisterAccessRecord {
  bool   Write;
  UINT8  Type;
  UINT8  Bank;
  UINT32 Register;
  UINT8  Value;
  VOID   *Context;

  bool operator== (const RegisterAccessRecord &) const = default;
};

std::string ToString (const RegisterAccessRecord &Access);
void PrintTo (const RegisterAccessRecord &Access, std::ostream *Os);

inline RegisterAccessRecord RegRead (UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 Value, VOID *Context)
{
  return {false, Type, Bank, Register, Value, Context};
}

inline RegisterAccessRecord RegWrite (UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 Value, VOID *Context)
{
  return {true, Type, Bank, Register, Value, Context};
}

class SimRegisterAccess {
 public:
  using RegisterKey = std::tuple<UINT8, UINT8, UINT32>;

  SimRegisterAccess ();
  ~SimRegisterAccess ();
  SimRegisterAccess (const SimRegisterAccess &) = delete;
  SimRegisterAccess &operator= (const SimRegisterAccess &) = delete;

  REGISTER_ACCESS_PROTOCOL Protocol{};

  // Registers never set read as 0; writes change the stored byte.
  std::map<RegisterKey, UINT8>              Registers;
  std::vector<RegisterAccessRecord> Log;
  // Status returned by accesses to one register; a failed Read leaves
  // *Value untouched, a failed Write leaves the register unchanged.
  std::map<RegisterKey, EFI_STATUS> ReadStatus, WriteStatus;

  void  Set (UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 Value) { Registers[{Type, Bank, Register}] = Value; }
  UINT8 Get (UINT8 Type, UINT8 Bank, UINT32 Register) const;

  // Installs Protocol on a new handle, which signals those waiting for it.
  EFI_HANDLE Install (SimFirmware &Fw);
};

struct HookRegisterCall {
  EFI_HANDLE       ImageHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  UINT32           Code;
  HOOK_ROUTINE     Routine;
};

class SimHookRegistration {
 public:
  SimHookRegistration ();
  ~SimHookRegistration ();
  SimHookRegistration (const SimHookRegistration &) = delete;
  SimHookRegistration &operator= (const SimHookRegistration &) = delete;

  HOOK_REGISTRATION_PROTOCOL    Protocol{};
  std::vector<HookRegisterCall> Calls;
  EFI_STATUS                    Status = EFI_SUCCESS;

  // Runs every recorded routine, as the platform would at its chosen time.
  void       Fire () const;
  EFI_HANDLE Install (SimFirmware &Fw);
};

}  // namespace sim

#endif
