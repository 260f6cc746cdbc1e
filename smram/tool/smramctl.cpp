// SPDX-License-Identifier: BSD-2-Clause-Patent
// smramctl: the shell side of the SMRAM lane.
//
//   smramctl load FILE   load FILE into SMRAM through the probe and run its
//                        entry point in SMM; report where everything lies
//   smramctl calls       call the SMRAM copy's slots at SMI time, each next
//                        to the same call on the boot-services copy
//   smramctl fault       make the SMRAM copy's boot-services table be used
//                        at SMI time (the machine is expected to stop)
#include "SmramCtl.h"
#include "testkit/CommandLine.h"
#include <ServiceLibPkg/Protocol/LoadedImage.h>

namespace {

constinit EFI_GUID mCommunicationGuid = EFI_SMM_COMMUNICATION_PROTOCOL_GUID;
constinit EFI_GUID mBufferGuid        = SMRAM_PROBE_BUFFER_GUID;
constinit EFI_GUID mSmiGuid           = SMRAM_PROBE_SMI_GUID;
constinit EFI_GUID mLibGuid           = LIB_SERVICES_PROTOCOL_GUID;
constinit EFI_GUID mLoadedImageGuid   = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mShellParametersGuid =
  { 0x752f3136, 0x4e16, 0x4fdc, { 0xa2, 0x2a, 0xe5, 0xf4, 0x68, 0x12, 0xf4, 0xca } };
constinit EFI_GUID mSimpleFileSystemGuid =
  { 0x964e5b22, 0x6459, 0x11d2, { 0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } };
constinit EFI_GUID mSmmAccess2Guid =
  { 0xc2702b74, 0x800c, 0x4131, { 0x87, 0x46, 0x8f, 0xb5, 0xb8, 0x9c, 0xe4, 0xac } };

// UEFI Shell parameters, simple file system and file protocols, and PI SMM
// Access 2: only the members used here.
struct SHELL_PARAMETERS {
  CHAR16 **Argv;
  UINTN  Argc;
};

struct FILE_HANDLE {
  UINT64     Revision;
  EFI_STATUS (EFIAPI *Open)(FILE_HANDLE *This, FILE_HANDLE **New, CHAR16 *Name, UINT64 Mode, UINT64 Attributes);
  EFI_STATUS (EFIAPI *Close)(FILE_HANDLE *This);
  VOID       *Delete;
  EFI_STATUS (EFIAPI *Read)(FILE_HANDLE *This, UINTN *Size, VOID *Buffer);
};

struct SIMPLE_FILE_SYSTEM {
  UINT64     Revision;
  EFI_STATUS (EFIAPI *OpenVolume)(SIMPLE_FILE_SYSTEM *This, FILE_HANDLE **Root);
};

struct SMRAM_DESCRIPTOR {
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_PHYSICAL_ADDRESS CpuStart;
  UINT64               PhysicalSize;
  UINT64               RegionState;
};

struct SMM_ACCESS2 {
  VOID       *Open;
  VOID       *Close;
  VOID       *Lock;
  EFI_STATUS (EFIAPI *GetCapabilities)(SMM_ACCESS2 *This, UINTN *MapSize, SMRAM_DESCRIPTOR *Map);
  BOOLEAN    LockState;
  BOOLEAN    OpenState;
};

constexpr UINT64 kFileModeRead = 1;

constinit EFI_SYSTEM_TABLE              *mSystemTable   = nullptr;
constinit EFI_BOOT_SERVICES             *mBootServices  = nullptr;
constinit PI_SMM_COMMUNICATION_PROTOCOL *mCommunication = nullptr;
constinit PI_SMM_COMMUNICATE_HEADER     *mBuffer        = nullptr;

EFI_STATUS FindProbe ()
{
  for (UINTN Index = 0; Index < mSystemTable->NumberOfTableEntries; Index++) {
    if (SameGuid (mSystemTable->ConfigurationTable[Index].VendorGuid, mBufferGuid)) {
      mBuffer = static_cast<PI_SMM_COMMUNICATE_HEADER *> (mSystemTable->ConfigurationTable[Index].VendorTable);
    }
  }
  mBootServices->LocateProtocol (&mCommunicationGuid, nullptr, reinterpret_cast<VOID **> (&mCommunication));
  if (mBuffer == nullptr || mCommunication == nullptr) {
    CTL_LINE ().Text ("CTL no SMRAM probe: buffer=").Hex (reinterpret_cast<UINT64> (mBuffer)).Text (" communication=")
          .Hex (reinterpret_cast<UINT64> (mCommunication)).End ();
    return EFI_NOT_FOUND;
  }
  return EFI_SUCCESS;
}

// Where SMRAM is, as the firmware's SMM Access 2 reports it, and the
// chipset's SMRAM control registers (q35: 0:0.0 offsets 0x9D, 0x9E).
VOID LogSmram ()
{
  SMM_ACCESS2 *Access = nullptr;
  if (!EFI_ERROR (mBootServices->LocateProtocol (&mSmmAccess2Guid, nullptr, reinterpret_cast<VOID **> (&Access)))) {
    SMRAM_DESCRIPTOR Map[8];
    UINTN            Size = sizeof (Map);
    EFI_STATUS       Status = Access->GetCapabilities (Access, &Size, Map);
    for (UINTN Index = 0; !EFI_ERROR (Status) && Index < Size / sizeof (SMRAM_DESCRIPTOR); Index++) {
      LogLine (kLogSmramRange, Map[Index].PhysicalStart, Map[Index].PhysicalSize, Map[Index].RegionState);
    }
    LogLine (kLogSmramLockState, static_cast<UINT64> (Access->LockState), static_cast<UINT64> (Access->OpenState));
  }
  UINT32 Address = 0x80000000u | 0x9C;
  UINT32 Value;
  __asm__ __volatile__ ("outl %0, %w1" : : "a"(Address), "Nd"(static_cast<UINT16> (0xCF8)));
  __asm__ __volatile__ ("inl %w1, %0" : "=a"(Value) : "Nd"(static_cast<UINT16> (0xCFC)));
  LogLine (kLogSmramMch, static_cast<UINT64> ((Value >> 8) & 0xFF), static_cast<UINT64> ((Value >> 16) & 0xFF));
}

EFI_STATUS ReadFile (EFI_HANDLE Image, CHAR16 *Name, UINT8 *Buffer, UINTN *Size)
{
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  SIMPLE_FILE_SYSTEM        *Volume = nullptr;
  FILE_HANDLE               *Root   = nullptr;
  FILE_HANDLE               *File   = nullptr;
  EFI_STATUS Status = mBootServices->HandleProtocol (Image, &mLoadedImageGuid, reinterpret_cast<VOID **> (&Loaded));
  if (!EFI_ERROR (Status)) {
    Status = mBootServices->HandleProtocol (Loaded->DeviceHandle, &mSimpleFileSystemGuid, reinterpret_cast<VOID **> (&Volume));
  }
  if (!EFI_ERROR (Status)) {
    Status = Volume->OpenVolume (Volume, &Root);
  }
  if (!EFI_ERROR (Status)) {
    Status = Root->Open (Root, &File, Name, kFileModeRead, 0);
  }
  if (!EFI_ERROR (Status)) {
    Status = File->Read (File, Size, Buffer);
    File->Close (File);
  }
  return Status;
}

EFI_STATUS Load (EFI_HANDLE Image, CHAR16 *Name)
{
  LogSmram ();
  PROBE_MESSAGE *M = Message ();
  EFI_STATUS Status = SendSmi ("status", PROBE_COMMAND::Status, 0);
  LogLine (kLogSmramStatus, static_cast<UINT64> (M->Locked), M->Values[static_cast<UINT32> (STATUS_VALUE::Handler)],
           M->Values[static_cast<UINT32> (STATUS_VALUE::PiSmst)],
           M->Values[static_cast<UINT32> (STATUS_VALUE::StackAddress)], Status);
  LogDxeRead ("probe-handler", M->Values[static_cast<UINT32> (STATUS_VALUE::Handler)]);

  UINTN Size = kSmramProbePayloadLimit;
  Status = ReadFile (Image, Name, M->Payload, &Size);
  if (EFI_ERROR (Status)) {
    CTL_LINE ().Text ("CTL cannot read the image file: ").Hex (Status).End ();
    return Status;
  }
  CTL_LINE ().Text ("CTL image file bytes=").Dec (Size).End ();
  Status = SendSmi ("load", PROBE_COMMAND::Load, static_cast<UINT32> (Size));
  auto Value = [M] (LOAD_VALUE V) { return M->Values[static_cast<UINT32> (V)]; };
  LogFields (kLogSmramLoad, Status);
  CTL_LINE ().Text (" locked=").Dec (M->Locked).Text (" base=").Hex (Value (LOAD_VALUE::ImageBase)).Text (" size=").Hex (Value (LOAD_VALUE::ImageSize))
        .Text (" section-alignment=").Hex (Value (LOAD_VALUE::SectionAlignment))
        .Text (" fixups=").Dec (Value (LOAD_VALUE::Fixups)).End ();
  LogFields (kLogSmramLoadEntry, Value (LOAD_VALUE::EntryStatus));
  CTL_LINE ().Text (" handle=").Hex (Value (LOAD_VALUE::ImageHandle))
        .Text (" interface=").Hex (Value (LOAD_VALUE::Interface))
        .Text (" fw-smst=").Hex (Value (LOAD_VALUE::FwSmst))
        .Text (" fw-smst-smmio=").Hex (Value (LOAD_VALUE::FwSmstSmmIo)).End ();
  LogFields (kLogSmramLoadAttributes, Value (LOAD_VALUE::AttributesBefore));
  CTL_LINE ().Text (" clear-status=").Hex (Value (LOAD_VALUE::ClearStatus))
        .Text (" attributes-after=").Hex (Value (LOAD_VALUE::AttributesAfter)).End ();
  if (EFI_ERROR (Status)) {
    return Status;
  }
  UINT64 Base      = Value (LOAD_VALUE::ImageBase);
  UINT64 Interface = Value (LOAD_VALUE::Interface);
  LogDxeRead ("image-base", Base);
  LogDxeRead ("protocol", Interface);
  if (Interface != 0) {
    M->Values[0] = Interface;
    Status = SendSmi ("peek", PROBE_COMMAND::Peek, 0);
    LogLine (kLogSmramSmmReadProtocol, M->Values[0] & 0xFFFFFFFF, M->Values[0] >> 32, Status);
  }
  M->Values[0] = Base;
  Status = SendSmi ("peek", PROBE_COMMAND::Peek, 0);
  LogLine (kLogSmramSmmReadImage, M->Values[0] & 0xFFFF, Status);
  return EFI_SUCCESS;
}

EFI_STATUS Calls ()
{
  LIB_SERVICES_PROTOCOL *BsLib = nullptr;
  EFI_STATUS Status = mBootServices->LocateProtocol (&mLibGuid, nullptr, reinterpret_cast<VOID **> (&BsLib));
  CTL_LINE ().Text ("CTL boot-services copy status=").Hex (Status).Text (" interface=")
        .Hex (reinterpret_cast<UINT64> (BsLib)).End ();
  return RunCallSuite (EFI_ERROR (Status) ? nullptr : BsLib);
}

}  // namespace

PROBE_MESSAGE *Message ()
{
  return reinterpret_cast<PROBE_MESSAGE *> (mBuffer + 1);
}

EFI_STATUS SendSmi (CONST CHAR8 *Name, PROBE_COMMAND Command, UINT32 PayloadSize)
{
  PROBE_MESSAGE *M = Message ();
  LogLine (kLogSmramSmi, Name);
  mBuffer->HeaderGuid    = mSmiGuid;
  mBuffer->MessageLength = EFI_OFFSET_OF (PROBE_MESSAGE, Payload) + PayloadSize;
  M->Command     = static_cast<UINT32> (Command);
  M->PayloadSize = PayloadSize;
  M->Status      = EFI_NOT_READY;   // stays when no handler answered
  M->LogSize     = 0;
  M->LogLost     = 0;
  UINTN      Size   = sizeof (PI_SMM_COMMUNICATE_HEADER) + mBuffer->MessageLength;
  EFI_STATUS Status = mCommunication->Communicate (mCommunication, mBuffer, &Size);
  for (UINT32 Index = 0; Index < M->LogSize && Index < kSmramProbeLogSize; Index++) {
    LogChar (M->Log[Index]);
  }
  if (M->LogLost != 0) {
    CTL_LINE ().Text ("CTL smm log lost ").Dec (M->LogLost).Text (" bytes").End ();
  }
  return EFI_ERROR (Status) ? Status : M->Status;
}

VOID LogDxeRead (CONST CHAR8 *What, UINT64 Address)
{
  // 8- and 32-bit reads only: under QEMU a 64-bit read of closed SMRAM
  // returns 0 instead of all ones. The byte is read into a byte register
  // on purpose: QEMU hands back all ones wider than the access, and a
  // zero-extending load would keep them.
  UINT8  Byte;
  UINT32 Word;
  __asm__ __volatile__ ("movb (%1), %0" : "=q"(Byte) : "r"(Address) : "memory");
  __asm__ __volatile__ ("movl (%1), %0" : "=r"(Word) : "r"(Address) : "memory");
  LogLine (kLogSmramDxeRead, What, Address, static_cast<UINT64> (Byte), static_cast<UINT64> (Word));
}

extern "C" EFI_STATUS EFIAPI SmramCtlMain (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable)
{
  mSystemTable = SystemTable;
  mBootServices = SystemTable->BootServices;
  SHELL_PARAMETERS *Parameters = nullptr;
  mBootServices->HandleProtocol (ImageHandle, &mShellParametersGuid, reinterpret_cast<VOID **> (&Parameters));
  if (Parameters == nullptr || Parameters->Argc < 2) {
    CTL_LINE ().Text ("CTL usage: smramctl load FILE | calls | fault").End ();
    return EFI_INVALID_PARAMETER;
  }
  EFI_STATUS Status = FindProbe ();
  if (EFI_ERROR (Status)) {
    return Status;
  }
  CHAR16 *Command = Parameters->Argv[1];
  if (WordIs (Command, "load") && Parameters->Argc >= 3) {
    Status = Load (ImageHandle, Parameters->Argv[2]);
  } else if (WordIs (Command, "calls")) {
    Status = Calls ();
  } else if (WordIs (Command, "fault")) {
    Status = SendSmi ("fault", PROBE_COMMAND::Fault, 0);
  } else {
    Status = EFI_INVALID_PARAMETER;
  }
  CTL_LINE ().Text ("CTL done status=").Hex (Status).End ();
  return Status;
}
