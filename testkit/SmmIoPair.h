// SPDX-License-Identifier: BSD-2-Clause-Patent
// A Framework SmmIo pair (Read, Write) whose two members end in one routine
// of the image that takes the direction last: the fixture's SmmIo and the
// SMRAM probe's both count, check This and log alike for either direction.
//
//   mSmst.SmmIo.Io = SmmIoPair<IoAccess>;
#ifndef TESTKIT_SMM_IO_PAIR_H_
#define TESTKIT_SMM_IO_PAIR_H_

#include <ServiceLibPkg/Framework/SmmBase.h>

using SMM_IO_ROUTINE = EFI_STATUS (*)(IN EFI_SMM_CPU_IO_INTERFACE *This, IN EFI_SMM_IO_WIDTH Width, IN UINT64 Address,
                                      IN UINTN Count, IN OUT VOID *Buffer, IN BOOLEAN Write);

template <SMM_IO_ROUTINE Routine, BOOLEAN Write>
EFI_STATUS EFIAPI SmmIoMember (IN EFI_SMM_CPU_IO_INTERFACE *This, IN EFI_SMM_IO_WIDTH Width, IN UINT64 Address,
                               IN UINTN Count, IN OUT VOID *Buffer)
{
  return Routine (This, Width, Address, Count, Buffer, Write);
}

template <SMM_IO_ROUTINE Routine>
inline constexpr EFI_SMM_IO_ACCESS SmmIoPair = {SmmIoMember<Routine, FALSE>, SmmIoMember<Routine, TRUE>};

#endif
