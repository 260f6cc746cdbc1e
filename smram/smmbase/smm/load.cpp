// SPDX-License-Identifier: BSD-2-Clause-Patent
// Register's SMM side: the image arrives in the communication buffer, is
// copied into SMRAM (the buffer stays writable from DXE while the SMI
// runs), laid out in fresh SMRAM pages of runtime code type (data pages
// become non-executable at the lock), relocated, and started inside SMM
// with the platform's own system table, before the lock, as a Framework
// SMM core did.
#include "SmmHalf.h"
#include "../../loader/PeImage.h"

namespace {

constexpr UINTN  kLoadedImageSlots = 8;
constexpr UINT64 kCr0WriteProtect  = 1ULL << 16;

constinit EFI_GUID mMemoryAttributeGuid = SMM_MEMORY_ATTRIBUTE_PROTOCOL_GUID;

struct LOADED_PAGES {
  UINT64  Base;
  UINT64  Length;
  BOOLEAN Writable;  // made writable again after the lock
};

constinit LOADED_PAGES mLoaded[kLoadedImageSlots] = {};
constinit UINTN        mLoadedCount               = 0;

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

EFI_STATUS LoadAndStart (CONST UINT8 *Shared, SMMBASE_MESSAGE *Request)
{
  if (mLoadedCount == kLoadedImageSlots) {
    return EFI_OUT_OF_RESOURCES;
  }
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
  mLoaded[mLoadedCount++] = { Base, Pages << 12, FALSE };

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

// After the lock the SMM CPU driver maps each SMRAM page by its type: the
// runtime-code pages of an image loaded before the lock become read-only,
// so its data (globals, heap arena) could no longer be written. The images
// here have 32-byte sections that share pages, so their pages stay
// writable and executable. The SMM page tables are read-only by then too,
// hence CR0.WP is lifted around the update: a test-only shortcut that
// lives here and nowhere else.
VOID MakeWritable (LOADED_PAGES &Image)
{
  SMM_MEMORY_ATTRIBUTE_PROTOCOL *Attributes = nullptr;
  if (EFI_ERROR (mPiSmst->SmmLocateProtocol (&mMemoryAttributeGuid, nullptr, reinterpret_cast<VOID **> (&Attributes)))) {
    return;
  }
  UINT64 Before = 0;
  if (EFI_ERROR (Attributes->GetMemoryAttributes (Attributes, Image.Base, Image.Length, &Before)) ||
      (Before & (EFI_MEMORY_RO | EFI_MEMORY_XP)) == 0) {
    return;  // not mapped by type yet: that happens at the end of the lock's own SMI
  }
  UINT64 Cr0 = ReadCr0 ();
  WriteCr0 (Cr0 & ~kCr0WriteProtect);
  EFI_STATUS Status = Attributes->ClearMemoryAttributes (Attributes, Image.Base, Image.Length,
                                                         EFI_MEMORY_RO | EFI_MEMORY_XP);
  WriteCr0 (Cr0);
  UINT64 After = 0;
  Attributes->GetMemoryAttributes (Attributes, Image.Base, Image.Length, &After);
  Image.Writable = !EFI_ERROR (Status);
  LOG ().Text ("SMMBASE SMM after the lock: image ").Hex (Image.Base).Text (" attributes=").Hex (Before)
        .Text (" clear RO|XP status=").Hex (Status).Text (" attributes=").Hex (After).End ();
}

}  // namespace

EFI_STATUS EFIAPI KeepLoadedImagesWritable (IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                            IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL)
{
  (void)DispatchHandle;
  (void)Context;
  (void)CommBuffer;
  (void)CommBufferSize;
  if (mLocked) {
    for (UINTN Index = 0; Index < mLoadedCount; Index++) {
      if (!mLoaded[Index].Writable) {
        MakeWritable (mLoaded[Index]);
      }
    }
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SmmBaseSmiHandler (IN EFI_HANDLE DispatchHandle, IN CONST VOID *Context OPTIONAL,
                                     IN OUT VOID *CommBuffer OPTIONAL, IN OUT UINTN *CommBufferSize OPTIONAL)
{
  (void)DispatchHandle;
  (void)Context;
  if (CommBuffer == nullptr || CommBufferSize == nullptr || *CommBufferSize < kSmmBaseMessageHeader) {
    return EFI_SUCCESS;
  }
  // Work on an SMRAM copy of the request: DXE can change the buffer meanwhile.
  auto           *Shared = static_cast<SMMBASE_MESSAGE *> (CommBuffer);
  SMMBASE_MESSAGE Request;
  __builtin_memcpy (&Request, Shared, kSmmBaseMessageHeader);
  Request.EntryStatus = EFI_NOT_STARTED;
  Request.ImageBase   = 0;
  Request.ImageSize   = 0;

  if (static_cast<SMMBASE_COMMAND> (Request.Command) != SMMBASE_COMMAND::Register) {
    Request.Status = EFI_UNSUPPORTED;
  } else if (mLocked) {
    Request.Status = RefuseAfterLock ("Register");
  } else if (Request.FileSize == 0 || Request.FileSize > *CommBufferSize - kSmmBaseMessageHeader ||
             Request.LoadedImage == nullptr) {
    Request.Status = EFI_BAD_BUFFER_SIZE;
  } else {
    Request.Status = LoadAndStart (Shared->File, &Request);
  }
  __builtin_memcpy (Shared, &Request, kSmmBaseMessageHeader);
  return EFI_SUCCESS;
}
