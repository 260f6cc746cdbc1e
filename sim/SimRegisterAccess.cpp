// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "SimRegisterAccess.h"

#include "Guids.h"
#include "SimFirmware.h"

#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace sim {

namespace {

SimRegisterAccess   *mRegisterAccess = nullptr;
SimHookRegistration *mHook           = nullptr;

using namespace guids;

template <typename T>
T &Live (T *Instance, const char *What)
{
  if (Instance == nullptr) {
    std::fprintf (stderr, "%s called with no simulated instance alive\n", What);
    std::abort ();
  }
  return *Instance;
}

using RegisterKey = SimRegisterAccess::RegisterKey;

EFI_STATUS StatusFor (const std::map<RegisterKey, EFI_STATUS> &Table, const RegisterKey &Key)
{
  auto It = Table.find (Key);
  return It == Table.end () ? EFI_SUCCESS : It->second;
}

EFI_STATUS EFIAPI SimRegRead (VOID *Context, UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 *Value)
{
  auto            &R      = Live (mRegisterAccess, "RegisterAccess.Read");
  const auto       Key    = RegisterKey{Type, Bank, Register};
  const EFI_STATUS Status = StatusFor (R.ReadStatus, Key);
  UINT8            Byte   = 0;
  if (!EFI_ERROR (Status)) {
    Byte   = R.Get (Type, Bank, Register);
    *Value = Byte;
  }
  R.Log.push_back (RegRead (Type, Bank, Register, Byte, Context));
  return Status;
}

EFI_STATUS EFIAPI SimRegWrite (VOID *Context, UINT8 Type, UINT8 Bank, UINT32 Register, UINT8 Value)
{
  auto            &R      = Live (mRegisterAccess, "RegisterAccess.Write");
  const auto       Key    = RegisterKey{Type, Bank, Register};
  const EFI_STATUS Status = StatusFor (R.WriteStatus, Key);
  if (!EFI_ERROR (Status)) {
    R.Registers[Key] = Value;
  }
  R.Log.push_back (RegWrite (Type, Bank, Register, Value, Context));
  return Status;
}

EFI_STATUS EFIAPI SimHookRegister (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable, UINT32 Code,
                                   HOOK_ROUTINE Routine)
{
  auto &H = Live (mHook, "HookRegistration.Register");
  H.Calls.push_back ({ImageHandle, SystemTable, Code, Routine});
  return H.Status;
}

}  // namespace

std::string ToString (const RegisterAccessRecord &A)
{
  char Buf[80];
  std::snprintf (Buf, sizeof Buf, "%c %02X:%02X:%08X=%02X ctx=%p", A.Write ? 'W' : 'R', A.Type, A.Bank, A.Register,
                 A.Value, A.Context);
  return Buf;
}

void PrintTo (const RegisterAccessRecord &A, std::ostream *Os) { *Os << ToString (A); }

SimRegisterAccess::SimRegisterAccess ()
{
  if (mRegisterAccess != nullptr) {
    std::fprintf (stderr, "only one SimRegisterAccess may be alive at a time\n");
    std::abort ();
  }
  mRegisterAccess = this;
  Protocol.Read   = SimRegRead;
  Protocol.Write  = SimRegWrite;
}

SimRegisterAccess::~SimRegisterAccess () { mRegisterAccess = nullptr; }

UINT8 SimRegisterAccess::Get (UINT8 Type, UINT8 Bank, UINT32 Register) const
{
  auto It = Registers.find ({Type, Bank, Register});
  return It == Registers.end () ? 0 : It->second;
}

EFI_HANDLE SimRegisterAccess::Install (SimFirmware &Fw)
{
  return Fw.Install (kRegAccessGuid, &Protocol);
}

SimHookRegistration::SimHookRegistration ()
{
  if (mHook != nullptr) {
    std::fprintf (stderr, "only one SimHookRegistration may be alive at a time\n");
    std::abort ();
  }
  mHook             = this;
  Protocol.Register = SimHookRegister;
}

SimHookRegistration::~SimHookRegistration () { mHook = nullptr; }

void SimHookRegistration::Fire () const
{
  for (const auto &Call : std::vector<HookRegisterCall> (Calls)) {
    Call.Routine ();
  }
}

EFI_HANDLE SimHookRegistration::Install (SimFirmware &Fw)
{
  return Fw.Install (kHookGuid, &Protocol);
}

}  // namespace sim
