// SPDX-License-Identifier: BSD-2-Clause-Patent
// Internal declarations shared by the ServiceLib sources: the module
// globals of one loaded copy of the image and the routines behind the
// protocol slots.
#ifndef SERVICELIB_SERVICELIB_H_
#define SERVICELIB_SERVICELIB_H_

#include <LibServices.h>
#include <ServiceLibPkg/Framework/CpuIo.h>
#include <ServiceLibPkg/Framework/SmmBase.h>

// Module globals of this copy of the image (the SMRAM copy has its own).
extern constinit EFI_HANDLE            mImageHandle;
extern constinit EFI_SYSTEM_TABLE      *mSystemTable;
extern constinit EFI_BOOT_SERVICES     *mBootServices;
extern constinit EFI_SMM_BASE_PROTOCOL *SmmBase;
extern constinit EFI_CPU_IO_PROTOCOL   *CpuIo;     // Framework CPU I/O, preferred to PI CPU I/O 2
extern constinit EFI_SMM_SYSTEM_TABLE  *Smst;
extern constinit LIB_SERVICES_PROTOCOL *mLib;
// TRUE in the copy started inside SMRAM. That copy decides by this flag
// alone: after the SMRAM lock it may touch nothing outside SMRAM.
extern constinit BOOLEAN               mSmmCopy;

// The two statically initialised instances of the protocol table.
extern constinit LIB_SERVICES_PROTOCOL mLibServicesBs;
extern constinit LIB_SERVICES_PROTOCOL mLibServicesSmm;

extern constinit EFI_GUID mCpuIoProtocolGuid;  // the Framework CPU I/O protocol

extern "C" {

EFI_STATUS EFIAPI ServiceLibEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

// Slot routines.
EFI_HANDLE EFIAPI RegisterImageInSmm (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable,
                                      IN EFI_SMM_BASE_PROTOCOL *SmmBase);
UINTN EFIAPI SerialGetChar (VOID);
VOID EFIAPI SerialPutChar (IN CHAR16 Ch, ...);
UINT32 EFIAPI FormatOutput (IN FORMAT_OUTPUT_ROUTINE OutputRoutine, IN UINT32 MaxCount, IN BOOLEAN Wide,
                            IN CONST VOID *Format, IN VA_LIST Args);
INTN EFIAPI ScanInput (IN SCAN_INPUT_ROUTINE InputRoutine, IN UINTN Reserved, IN BOOLEAN Wide,
                       IN CONST VOID *Format, IN VA_LIST Args);
VOID *EFIAPI StringCopy (OUT VOID *Dest, IN CONST VOID *Source, IN UINTN Count, IN BOOLEAN StopAtNul,
                         IN BOOLEAN Wide);
INT32 EFIAPI StringCompare (IN CONST VOID *S1, IN CONST VOID *S2, IN UINTN Count, IN INT8 FoldMask,
                            IN BOOLEAN StopAtNul, IN BOOLEAN Wide);
VOID *EFIAPI HeapAllocFree (IN VOID *Block, IN UINTN Size);
UINT32 EFIAPI IoReadBs (IN UINT16 Port, IN UINTN Width);
EFI_STATUS EFIAPI IoWriteBs (IN UINT16 Port, IN UINT32 Value, IN UINTN Width);
UINT32 EFIAPI IoReadSmm (IN UINT16 Port, IN UINTN Width);
EFI_STATUS EFIAPI IoWriteSmm (IN UINT16 Port, IN UINT32 Value, IN UINTN Width);

}

// The protocol behind the boot-services port slots, or NULL; looked up
// while none is known, and only at TPL_NOTIFY or below. The serial slots
// call it before they raise the TPL, so that the lookup is done by then.
EFI_CPU_IO_PROTOCOL *BootServicesCpuIo ();

// Notification of a Framework CPU I/O protocol installed after the entry
// point: port I/O takes it from then on, also after falling back on CPU I/O 2.
VOID EFIAPI CpuIoNotify (IN EFI_EVENT Event, IN VOID *Context);

// Port wrappers used inside the image; they reach the hardware through
// mLib, so each copy takes its own path (CPU I/O or SmmIo).
UINT16 IoWrite8 (UINT16 Port, UINT16 Value);   // value sign-extended from 16 bits
UINT32 IoRead8 (UINT16 Port);
UINT16 IoWrite16 (UINT16 Port, UINT16 Value);  // value zero-extended
UINT32 IoRead16 (UINT16 Port);
UINT32 IoRead32 (UINT16 Port);
UINT32 IoWrite32 (UINT16 Port, UINT32 Value);

#endif
