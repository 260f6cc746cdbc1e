// SPDX-License-Identifier: BSD-2-Clause-Patent
// Register's SMM side: the image arrives in the communication buffer, is
// copied into SMRAM (the buffer stays writable from DXE while the SMI
// runs), laid out in fresh SMRAM pages of runtime code type, relocated,
// and started inside SMM with the platform's own system table, before the
// lock, as a Framework SMM core did. Runtime data pages become
// non-executable at the lock; these pages stay readable, writable and
// executable (the SMM memory attribute protocol reports none of RO and XP
// on them afterwards), so the image's globals and heap keep working at
// SMI time without any change to the page tables.
#include "SmmHalf.h"
#include "../../loader/PeImage.h"

namespace {

EFI_STATUS LoadAndStart (CONST UINT8 *Shared, SMMBASE_MESSAGE *Request)
{
  UINTN      FileSize = Request->FileSize;
  VOID       *File    = nullptr;
  EFI_STATUS Status   = mPiSmst->SmmAllocatePool (EfiRuntimeServicesData, FileSize, &File);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  __builtin_memcpy (File, Shared, FileSize);
  PE_IMAGE_INFO        Info  = {};
  UINTN                Pages = 0;
  EFI_PHYSICAL_ADDRESS Base  = 0;
  Status = PeGetImageInfo (static_cast<UINT8 *> (File), FileSize, &Info);
  if (!EFI_ERROR (Status)) {
    Pages  = (Info.SizeOfImage + 0xFFF) >> 12;
    Status = mPiSmst->SmmAllocatePages (AllocateAnyPages, EfiRuntimeServicesCode, Pages, &Base);
  }
  if (!EFI_ERROR (Status)) {
    Status = PeLoadImage (static_cast<UINT8 *> (File), FileSize, &Info, reinterpret_cast<UINT8 *> (Base), Base,
                          nullptr);
    if (EFI_ERROR (Status)) {
      mPiSmst->SmmFreePages (Base, Pages);
    }
  }
  mPiSmst->SmmFreePool (File);
  if (EFI_ERROR (Status)) {
    LOG ().Text ("SMMBASE SMM load failed: status=").Hex (Status).End ();
    return Status;
  }

  // The record sits on a boot-services handle that the DXE half made; before
  // the lock DXE is trusted, and the record is completed before the entry
  // point can look at it.
  Request->LoadedImage->ImageBase = reinterpret_cast<VOID *> (Base);
  Request->LoadedImage->ImageSize = Info.SizeOfImage;
  Request->ImageBase = Base;
  Request->ImageSize = Info.SizeOfImage;

  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT> (Base + Info.EntryPointRva);
  LOG ().Text ("SMMBASE SMM image base=").Hex (Base).Text (" size=").Hex (Info.SizeOfImage).Text (" entry=")
        .Hex (reinterpret_cast<UINT64> (Entry)).Text (" handle=").Hex (reinterpret_cast<UINT64> (Request->ImageHandle))
        .Text ("; starting it in SMM with the platform's system table").End ();
  Request->EntryStatus = Entry (Request->ImageHandle, mPlatformSystemTable);
  LOG ().Text ("SMMBASE SMM entry point returned ").Hex (Request->EntryStatus).End ();
  return EFI_SUCCESS;
}

}  // namespace

VOID ServeSmmBaseMessage (SMMBASE_MESSAGE *Shared, UINTN Size)
{
  // Work on an SMRAM copy of the request: DXE can change the buffer meanwhile.
  SMMBASE_MESSAGE Request;
  __builtin_memcpy (&Request, Shared, kSmmBaseMessageHeader);
  Request.EntryStatus = EFI_NOT_STARTED;
  Request.ImageBase   = 0;
  Request.ImageSize   = 0;

  if (static_cast<SMMBASE_COMMAND> (Request.Command) != SMMBASE_COMMAND::Register) {
    Request.Status = EFI_UNSUPPORTED;
  } else if (mLocked) {
    Request.Status = RefuseAfterLock ("Register");
  } else if (Request.FileSize == 0 || Request.FileSize > Size - kSmmBaseMessageHeader ||
             Request.LoadedImage == nullptr) {
    Request.Status = EFI_BAD_BUFFER_SIZE;
  } else {
    Request.Status = LoadAndStart (Shared->File, &Request);
  }
  __builtin_memcpy (Shared, &Request, kSmmBaseMessageHeader);
}
