// SPDX-License-Identifier: BSD-2-Clause-Patent
// Loading an image into SMRAM after the lock and starting it inside SMM,
// the way a Framework SMM Base would have: fresh SMRAM pages, sections
// laid out and relocated, a loaded-image record on a new SMM handle, and
// the entry point called with the hosted system table.
#include "ProbeDriver.h"
#include "../loader/PeImage.h"
#include <ServiceLibPkg/Protocol/LoadedImage.h>

constinit LOADED_COPY mCopy = {};

namespace {

constinit EFI_GUID mLoadedImageGuid     = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mMemoryAttributeGuid = SMM_MEMORY_ATTRIBUTE_PROTOCOL_GUID;
constinit EFI_GUID mSmmLibGuid          = SMM_LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_LOADED_IMAGE_PROTOCOL mLoadedImage = {};

constexpr UINT64 kCr0WriteProtect = 1ULL << 16;

UINT64 ReadCr0 ()
{
  UINT64 Value;
  __asm__ __volatile__ ("mov %%cr0, %0" : "=r"(Value));
  return Value;
}

VOID WriteCr0 (UINT64 Value)
{
  __asm__ __volatile__ ("mov %0, %%cr0" : : "r"(Value) : "memory");
}

// After the lock the SMM CPU driver maps free SMRAM non-executable and its
// own page tables read-only, so freshly loaded code cannot run until its
// pages lose XP, and that update itself faults unless CR0.WP is lifted
// around it. A test-only shortcut: nothing that ships may do this.
EFI_STATUS MakeExecutable (UINT64 Base, UINT64 Length, UINT64 *Values)
{
  SMM_MEMORY_ATTRIBUTE_PROTOCOL *Attributes = nullptr;
  EFI_STATUS Status = mPiSmst->SmmLocateProtocol (&mMemoryAttributeGuid, nullptr,
                                                  reinterpret_cast<VOID **> (&Attributes));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  UINT64 Before = 0;
  UINT64 After  = 0;
  Attributes->GetMemoryAttributes (Attributes, Base, Length, &Before);
  UINT64 Cr0 = ReadCr0 ();
  WriteCr0 (Cr0 & ~kCr0WriteProtect);
  Status = Attributes->ClearMemoryAttributes (Attributes, Base, Length, EFI_MEMORY_XP | EFI_MEMORY_RO);
  WriteCr0 (Cr0);
  Attributes->GetMemoryAttributes (Attributes, Base, Length, &After);
  Values[static_cast<UINT32> (LOAD_VALUE::AttributesBefore)] = Before;
  Values[static_cast<UINT32> (LOAD_VALUE::ClearStatus)]      = Status;
  Values[static_cast<UINT32> (LOAD_VALUE::AttributesAfter)]  = After;
  LOG ().Text ("SMM image pages attributes=").Hex (Before).Text (" clear XP|RO status=").Hex (Status)
        .Text (" attributes=").Hex (After).End ();
  return Status;
}

}  // namespace

EFI_STATUS LoadAndStart (CONST UINT8 *File, UINTN FileSize, UINT64 *Values)
{
  if (mCopy.Base != 0) {
    return EFI_ALREADY_STARTED;
  }
  PE_IMAGE_INFO Info;
  EFI_STATUS    Status = PeGetImageInfo (File, FileSize, &Info);
  if (EFI_ERROR (Status)) {
    LOG ().Text ("SMM load: not a loadable PE32+ image, status=").Hex (Status).End ();
    return Status;
  }
  UINTN                Pages = (Info.SizeOfImage + 0xFFF) >> 12;
  EFI_PHYSICAL_ADDRESS Base  = 0;
  Status = mPiSmst->SmmAllocatePages (AllocateAnyPages, EfiRuntimeServicesCode, Pages, &Base);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  UINTN Fixups = 0;
  Status = PeLoadImage (File, FileSize, &Info, reinterpret_cast<UINT8 *> (Base), Base, &Fixups);
  if (EFI_ERROR (Status)) {
    mPiSmst->SmmFreePages (Base, Pages);
    return Status;
  }
  Values[static_cast<UINT32> (LOAD_VALUE::ImageBase)]        = Base;
  Values[static_cast<UINT32> (LOAD_VALUE::ImageSize)]        = Info.SizeOfImage;
  Values[static_cast<UINT32> (LOAD_VALUE::SectionAlignment)] = Info.SectionAlignment;
  Values[static_cast<UINT32> (LOAD_VALUE::Fixups)]           = Fixups;
  LOG ().Text ("SMM image loaded base=").Hex (Base).Text (" size=").Hex (Info.SizeOfImage)
        .Text (" section-alignment=").Hex (Info.SectionAlignment).Text (" fixups=").Dec (Fixups).End ();
  if (mLocked) {
    Status = MakeExecutable (Base, Pages << 12, Values);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  EFI_SYSTEM_TABLE *SystemTable = HostedSystemTableForEntry ();
  mLoadedImage.Revision      = 0x1000;
  mLoadedImage.SystemTable   = SystemTable;
  mLoadedImage.ImageBase     = reinterpret_cast<VOID *> (Base);
  mLoadedImage.ImageSize     = Info.SizeOfImage;
  mLoadedImage.ImageCodeType = EfiRuntimeServicesCode;
  mLoadedImage.ImageDataType = EfiRuntimeServicesData;
  EFI_HANDLE Handle = nullptr;
  Status = mPiSmst->SmmInstallProtocolInterface (&Handle, &mLoadedImageGuid, EFI_NATIVE_INTERFACE, &mLoadedImage);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  mCopy = {Base, Info.SizeOfImage, nullptr};

  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT> (Base + Info.EntryPointRva);
  LOG ().Text ("SMM calling entry point ").Hex (reinterpret_cast<UINT64> (Entry)).Text (" handle=")
        .Hex (reinterpret_cast<UINT64> (Handle)).End ();
  EFI_STATUS EntryStatus = Entry (Handle, SystemTable);
  SealHostedBootServices ();
  LOG ().Fields (kLogSmramEntryReturned, EntryStatus).End ();

  VOID *Interface = nullptr;
  Status = mPiSmst->SmmLocateProtocol (&mSmmLibGuid, nullptr, &Interface);
  mCopy.Interface = EFI_ERROR (Status) ? nullptr : static_cast<LIB_SERVICES_PROTOCOL *> (Interface);
  Values[static_cast<UINT32> (LOAD_VALUE::EntryStatus)] = EntryStatus;
  Values[static_cast<UINT32> (LOAD_VALUE::ImageHandle)] = reinterpret_cast<UINT64> (Handle);
  Values[static_cast<UINT32> (LOAD_VALUE::Interface)]   = reinterpret_cast<UINT64> (mCopy.Interface);
  Values[static_cast<UINT32> (LOAD_VALUE::FwSmst)]      = reinterpret_cast<UINT64> (FrameworkSmst ());
  Values[static_cast<UINT32> (LOAD_VALUE::FwSmstSmmIo)] = reinterpret_cast<UINT64> (&FrameworkSmst ()->SmmIo);
  return EFI_SUCCESS;
}
