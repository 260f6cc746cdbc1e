// SPDX-License-Identifier: BSD-2-Clause-Patent
// A test client of ServiceLib's SMM instance, built like ServiceLib: one
// image in the DXE volume that runs twice. The DXE copy asks ServiceLib's
// slot 0 for an SMM copy of itself during dispatch. The SMM copy (InSmm
// TRUE) locates ServiceLib's SMM instance through the boot services of its
// entry and registers a Framework callback. On the client's software SMI,
// after the lock and even after ExitBootServices, the callback uses that
// instance from SMRAM: a formatted line on COM1, a scan, strings, the heap.
#include "ApmRequest.h"
#include "testkit/DebugLog.h"
#include <LibServices.h>

namespace {

constinit EFI_GUID mSmmBaseGuid    = EFI_SMM_BASE_PROTOCOL_GUID;
constinit EFI_GUID mLibGuid        = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mSmmLibGuid     = SMM_LIB_SERVICES_PROTOCOL_GUID;

// The SMM copy's view, set at its entry, before the lock.
constinit LIB_SERVICES_PROTOCOL *mSmmLib = nullptr;
constinit EFI_SMM_SYSTEM_TABLE  *mSmst   = nullptr;

// FormatOutput and ScanInput take the x64 argument list: consecutive
// 8-byte slots.
template <typename... ArgT>
UINT32 Print (BOOLEAN Wide, CONST VOID *Format, ArgT... Args)
{
  UINT64 Slots[] = { (UINT64)(Args)..., 0 };
  return mSmmLib->FormatOutput (reinterpret_cast<FORMAT_OUTPUT_ROUTINE> (mSmmLib->PutCharA), 0xFFFFFFFF, Wide,
                                Format, reinterpret_cast<VA_LIST> (Slots));
}

// ScanInput's input routine over a line in the SMM copy's own image.
constexpr CHAR8 kScanLine[] = "-17 1f smram";
constinit UINTN mScanAt = 0;

UINTN SERVICELIB_EFIAPI ScanSource (IN INT32 *Counter)
{
  (void)Counter;
  return kScanLine[mScanAt] == 0 ? 0 : static_cast<UINT8> (kScanLine[mScanAt++]);
}

VOID UseSmmInstance (UINT8 Trigger)
{
  static constexpr EFI_GUID kGuid = LIB_SERVICES_PROTOCOL_GUID;
  Print (FALSE, "<<<SMM CLIENT %u>>>\n", Trigger);
  Print (FALSE, "d=%d i=%+i u=%u x=%x X=%08X o=%#o b=%b c=%c a=%-6a| g=%g r=%r ll=%llu h=%hd\n", -42, 7,
         4000000000U, 0xBEEFU, 0xC0DEU, 8U, 5U, 'Z', "smram", &kGuid, EFI_NOT_FOUND, 0x123456789ULL, 0x18000);
  Print (TRUE, u"wide %s %d %r\n", u"SMM", -1, EFI_SUCCESS);

  INT32 Number = 0;
  UINT32 Hex   = 0;
  CHAR8 Word[8] = {};
  mScanAt = 0;
  UINT64 Destinations[] = { reinterpret_cast<UINT64> (&Number), reinterpret_cast<UINT64> (&Hex),
                            reinterpret_cast<UINT64> (Word) };
  INTN Assigned = mSmmLib->ScanInput (ScanSource, 0, FALSE, "%ld %lx %7s", reinterpret_cast<VA_LIST> (Destinations));
  Print (FALSE, "scan=%d %d %x %a\n", Assigned, Number, Hex, Word);

  CHAR8 *Block = static_cast<CHAR8 *> (mSmmLib->HeapAllocFree (nullptr, 16));
  if (Block != nullptr) {
    mSmmLib->StringCopy (Block, "SMRAM copy", 16, TRUE, FALSE);
  }
  INT32 Folded = Block == nullptr ? 99 : mSmmLib->StringCompare (Block, "smram COPY", ~0ULL, 0x20, TRUE, FALSE);
  INT32 Exact  = Block == nullptr ? 99 : mSmmLib->StringCompare (Block, "smram COPY", ~0ULL, 0, TRUE, FALSE);
  BOOLEAN Freed   = Block != nullptr && mSmmLib->HeapAllocFree (Block, 0) == Block;
  BOOLEAN Refused = mSmmLib->HeapAllocFree (Block, 0) == nullptr;
  Print (FALSE, "copy=%a fold=%d exact=%d heap=%a\n", Block == nullptr ? "none" : "ok", Folded, Exact,
         Freed && Refused ? "alloc,free,double-free-refused" : "wrong");
  Print (FALSE, "<<<SMM CLIENT END>>>\n");
}

// The Framework callback, a root SMI handler: most SMIs are not its own.
EFI_STATUS SERVICELIB_EFIAPI Callback (IN EFI_HANDLE SmmImageHandle, IN OUT VOID *CommunicationBuffer,
                                       IN OUT UINTN *SourceSize)
{
  (void)SmmImageHandle;
  (void)CommunicationBuffer;
  (void)SourceSize;
  UINT8 Trigger = TakeApmRequest (&mSmst->SmmIo);
  if (Trigger != 0) {
    LogLine (kLogClientCallback, static_cast<UINT64> (Trigger));
    UseSmmInstance (Trigger);
  }
  return EFI_SUCCESS;
}

EFI_STATUS StartInSmm (EFI_HANDLE ImageHandle, EFI_BOOT_SERVICES *BootServices, EFI_SMM_BASE_PROTOCOL *SmmBase)
{
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmLibGuid, nullptr, reinterpret_cast<VOID **> (&mSmmLib));
  if (!EFI_ERROR (Status)) {
    Status = SmmBase->GetSmstLocation (SmmBase, &mSmst);
  }
  if (!EFI_ERROR (Status)) {
    Status = SmmBase->RegisterCallback (SmmBase, ImageHandle, Callback, FALSE, FALSE);
  }
  LogLine (kLogClientEntry, reinterpret_cast<UINT64> (mSmmLib), reinterpret_cast<UINT64> (mSmst),
           reinterpret_cast<UINT64> (&Callback), Status);
  return Status;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI SmmClientEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  EFI_BOOT_SERVICES     *BootServices = SystemTable->BootServices;
  EFI_SMM_BASE_PROTOCOL *SmmBase      = nullptr;
  LIB_SERVICES_PROTOCOL *Lib          = nullptr;
  BOOLEAN               InSmm         = FALSE;
  EFI_STATUS Status = BootServices->LocateProtocol (&mSmmBaseGuid, nullptr, reinterpret_cast<VOID **> (&SmmBase));
  if (!EFI_ERROR (Status)) {
    Status = SmmBase->InSmm (SmmBase, &InSmm);
  }
  if (EFI_ERROR (Status)) {
    return Status;
  }
  if (InSmm) {
    return StartInSmm (ImageHandle, BootServices, SmmBase);
  }
  Status = BootServices->LocateProtocol (&mLibGuid, nullptr, reinterpret_cast<VOID **> (&Lib));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  EFI_HANDLE SmmHandle = Lib->RegisterImageInSmm (ImageHandle, SystemTable, SmmBase);
  LogLine (kLogClientSlot0, reinterpret_cast<UINT64> (ImageHandle), reinterpret_cast<UINT64> (SmmHandle));
  return SmmHandle == nullptr ? EFI_LOAD_ERROR : EFI_SUCCESS;
}
