// SPDX-License-Identifier: BSD-2-Clause-Patent
// The members of EFI_SMM_BASE_PROTOCOL that neither half serves. They keep
// their place in the Framework order and answer EFI_UNSUPPORTED; each has
// its own type, so that the tables are constant data. Both halves build
// their table with SmmBaseTable from the members they serve.
#ifndef SMRAM_SMMBASE_UNSUPPORTED_H_
#define SMRAM_SMMBASE_UNSUPPORTED_H_

#include <ServiceLibPkg/Framework/SmmBase.h>

namespace unsupported {

inline EFI_STATUS EFIAPI Register (IN EFI_SMM_BASE_PROTOCOL *, IN EFI_DEVICE_PATH_PROTOCOL *, IN VOID *, IN UINTN,
                                   OUT EFI_HANDLE *, IN BOOLEAN)
{
  return EFI_UNSUPPORTED;
}

inline EFI_STATUS EFIAPI UnRegister (IN EFI_SMM_BASE_PROTOCOL *, IN EFI_HANDLE)
{
  return EFI_UNSUPPORTED;
}

inline EFI_STATUS EFIAPI Communicate (IN EFI_SMM_BASE_PROTOCOL *, IN EFI_HANDLE, IN OUT VOID *, IN OUT UINTN *)
{
  return EFI_UNSUPPORTED;
}

inline EFI_STATUS EFIAPI AllocatePool (IN EFI_SMM_BASE_PROTOCOL *, IN EFI_MEMORY_TYPE, IN UINTN, OUT VOID **)
{
  return EFI_UNSUPPORTED;
}

inline EFI_STATUS EFIAPI FreePool (IN EFI_SMM_BASE_PROTOCOL *, IN VOID *)
{
  return EFI_UNSUPPORTED;
}

}  // namespace unsupported

// A table with the four members a half serves, the others unsupported.
constexpr EFI_SMM_BASE_PROTOCOL SmmBaseTable (EFI_SMM_REGISTER_HANDLER Register, EFI_SMM_CALLBACK_SERVICE RegisterCallback,
                                              EFI_SMM_INSIDE_OUT InSmm, EFI_SMM_GET_SMST_LOCATION GetSmstLocation)
{
  return {Register,
          unsupported::UnRegister,
          unsupported::Communicate,
          RegisterCallback,
          InSmm,
          unsupported::AllocatePool,
          unsupported::FreePool,
          GetSmstLocation};
}

#endif
