// SPDX-License-Identifier: BSD-2-Clause-Patent
// Register on the DXE side: find the image (the caller's buffer, a file in
// a firmware volume, or a file on a simple file system), make the
// boot-services handle with the Loaded Image record that the entry point
// receives, and send the image to the SMM half in one SMI.
#include "DxeHalf.h"
#include "../ImagePath.h"

namespace {

constinit EFI_GUID mFv2Guid         = EFI_FIRMWARE_VOLUME2_PROTOCOL_GUID;
constinit EFI_GUID mFileSystemGuid  = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
constinit EFI_GUID mLoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
constinit EFI_GUID mSmiGuid         = SMMBASE_SMI_GUID;

// Longest device path accepted from a caller.
constexpr UINTN kPathLimit = 0x1000;

struct IMAGE_FILE {
  EFI_HANDLE                     DeviceHandle;  // the handle that reads it
  CONST EFI_DEVICE_PATH_PROTOCOL *Rest;         // the path after that handle
  VOID                           *Data;
  UINTN                          Size;
  BOOLEAN                        Allocated;     // Data is ours to free
};

// Splits Path at the handle nearest its end that carries Protocol.
BOOLEAN SplitAt (EFI_GUID *Protocol, CONST EFI_DEVICE_PATH_PROTOCOL *Path, IMAGE_FILE *File)
{
  auto                     Locate = reinterpret_cast<LOCATE_DEVICE_PATH> (mBootServices->LocateDevicePath);
  EFI_DEVICE_PATH_PROTOCOL *Rest  = const_cast<EFI_DEVICE_PATH_PROTOCOL *> (Path);
  EFI_HANDLE               Device = nullptr;
  if (EFI_ERROR (Locate (Protocol, &Rest, &Device))) {
    return FALSE;
  }
  File->DeviceHandle = Device;
  File->Rest         = Rest;
  return TRUE;
}

EFI_STATUS ReadFromVolume (IMAGE_FILE *File, CONST EFI_GUID *Name)
{
  FIRMWARE_VOLUME2 *Volume = nullptr;
  EFI_STATUS Status = mBootServices->HandleProtocol (File->DeviceHandle, &mFv2Guid, reinterpret_cast<VOID **> (&Volume));
  if (EFI_ERROR (Status)) {
    return Status;
  }
  UINT32 Authentication = 0;
  File->Data = nullptr;  // the volume allocates the section's buffer
  File->Size = 0;
  Status = Volume->ReadSection (Volume, Name, kSectionPe32, 0, &File->Data, &File->Size, &Authentication);
  File->Allocated = !EFI_ERROR (Status);
  return Status;
}

// Opens each file-path node in turn, as the firmware's own loader does, and
// reads the whole file into pool.
EFI_STATUS ReadFromFileSystem (IMAGE_FILE *File)
{
  SIMPLE_FILE_SYSTEM   *FileSystem = nullptr;
  FILE_HANDLE_PROTOCOL *Current    = nullptr;
  EFI_STATUS Status = mBootServices->HandleProtocol (File->DeviceHandle, &mFileSystemGuid,
                                                     reinterpret_cast<VOID **> (&FileSystem));
  if (!EFI_ERROR (Status)) {
    Status = FileSystem->OpenVolume (FileSystem, &Current);
  }
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = File->Rest; !EFI_ERROR (Status) && !IsEndNode (Node);
       Node = NextDevicePathNode (Node)) {
    FILE_HANDLE_PROTOCOL *Next = nullptr;
    auto *Name = reinterpret_cast<CHAR16 *> (const_cast<UINT8 *> (reinterpret_cast<CONST UINT8 *> (Node) + 4));
    Status = Current->Open (Current, &Next, Name, kFileModeRead, 0);
    Current->Close (Current);
    Current = EFI_ERROR (Status) ? nullptr : Next;
  }
  UINT64 Size = 0;
  if (!EFI_ERROR (Status)) {
    Status = Current->SetPosition (Current, ~0ULL);  // to the end, to learn the size
  }
  if (!EFI_ERROR (Status)) {
    Status = Current->GetPosition (Current, &Size);
  }
  if (!EFI_ERROR (Status) && (Size == 0 || Size > kSmmBaseLargestImage)) {
    Status = EFI_BAD_BUFFER_SIZE;
  }
  if (!EFI_ERROR (Status)) {
    Status = Current->SetPosition (Current, 0);
  }
  if (!EFI_ERROR (Status)) {
    Status = mBootServices->AllocatePool (EfiBootServicesData, Size, &File->Data);
  }
  if (!EFI_ERROR (Status)) {
    File->Allocated = TRUE;
    File->Size      = Size;
    Status = Current->Read (Current, &File->Size, File->Data);
    if (!EFI_ERROR (Status) && File->Size != Size) {
      Status = EFI_LOAD_ERROR;
    }
  }
  if (Current != nullptr) {
    Current->Close (Current);
  }
  return Status;
}

// Finds the image and the place it came from. A caller's buffer needs no
// reading, but its path, when given, still names the loaded image's device.
EFI_STATUS FindImage (CONST EFI_DEVICE_PATH_PROTOCOL *Path, VOID *SourceBuffer, UINTN SourceSize, IMAGE_FILE *File)
{
  *File = { nullptr, Path, SourceBuffer, SourceSize, FALSE };
  if (Path == nullptr) {
    return SourceBuffer != nullptr ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
  }
  if (SplitAt (&mFv2Guid, Path, File)) {
    IMAGE_PATH Rest = ClassifyImagePath (File->Rest, kPathLimit);
    if (Rest.Kind == IMAGE_PATH_KIND::FvFile) {
      return SourceBuffer != nullptr ? EFI_SUCCESS : ReadFromVolume (File, Rest.FvFileName);
    }
  }
  if (SplitAt (&mFileSystemGuid, Path, File)) {
    if (ClassifyImagePath (File->Rest, kPathLimit).Kind == IMAGE_PATH_KIND::File) {
      return SourceBuffer != nullptr ? EFI_SUCCESS : ReadFromFileSystem (File);
    }
  }
  *File = { nullptr, Path, SourceBuffer, SourceSize, FALSE };
  return SourceBuffer != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// The record the SMM half completes with ImageBase and ImageSize, on a new
// boot-services handle that becomes the entry point's image handle.
EFI_STATUS MakeImageHandle (CONST IMAGE_FILE &File, EFI_HANDLE *Handle, EFI_LOADED_IMAGE_PROTOCOL **Record)
{
  UINTN PathBytes = File.Rest == nullptr ? 0 : DevicePathBytes (File.Rest, kPathLimit);
  VOID  *Memory   = nullptr;
  EFI_STATUS Status = mBootServices->AllocatePool (EfiBootServicesData, sizeof (EFI_LOADED_IMAGE_PROTOCOL) + PathBytes,
                                                   &Memory);
  if (EFI_ERROR (Status)) {
    return Status;
  }
  auto *LoadedImage = static_cast<EFI_LOADED_IMAGE_PROTOCOL *> (Memory);
  auto *PathCopy    = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *> (LoadedImage + 1);
  __builtin_memset (LoadedImage, 0, sizeof (*LoadedImage));
  if (PathBytes != 0) {
    __builtin_memcpy (PathCopy, File.Rest, PathBytes);
  }
  LoadedImage->Revision      = 0x1000;
  LoadedImage->ParentHandle  = mImageHandle;
  LoadedImage->SystemTable   = mSystemTable;
  LoadedImage->DeviceHandle  = File.DeviceHandle;
  LoadedImage->FilePath      = PathBytes != 0 ? PathCopy : nullptr;
  LoadedImage->ImageCodeType = EfiRuntimeServicesCode;
  LoadedImage->ImageDataType = EfiRuntimeServicesData;
  *Handle = nullptr;
  Status  = mBootServices->InstallProtocolInterface (Handle, &mLoadedImageGuid, EFI_NATIVE_INTERFACE, LoadedImage);
  if (EFI_ERROR (Status)) {
    mBootServices->FreePool (LoadedImage);
    return Status;
  }
  *Record = LoadedImage;
  return EFI_SUCCESS;
}

// One SMI. The TPL goes to TPL_NOTIFY around it: the entry point runs in
// SMM and calls boot services, and no DXE notification function may run
// inside SMM when one of them signals an event.
EFI_STATUS SendToSmm (CONST IMAGE_FILE &File, EFI_HANDLE Handle, EFI_LOADED_IMAGE_PROTOCOL *Record,
                      SMMBASE_MESSAGE *Reply)
{
  auto *Message = reinterpret_cast<SMMBASE_MESSAGE *> (mBuffer + 1);
  __builtin_memset (Message, 0, kSmmBaseMessageHeader);
  Message->Command     = static_cast<UINT32> (SMMBASE_COMMAND::Register);
  Message->Status      = EFI_NOT_STARTED;
  Message->ImageHandle = Handle;
  Message->LoadedImage = Record;
  Message->FileSize    = File.Size;
  __builtin_memcpy (Message->File, File.Data, File.Size);
  mBuffer->HeaderGuid    = mSmiGuid;
  mBuffer->MessageLength = kSmmBaseMessageHeader + File.Size;
  UINTN Size = sizeof (PI_SMM_COMMUNICATE_HEADER) + mBuffer->MessageLength;

  EFI_TPL    Old    = mBootServices->RaiseTPL (TPL_HIGH_LEVEL);  // only to learn the caller's TPL
  mBootServices->RestoreTPL (Old);
  if (Old < TPL_NOTIFY) {
    mBootServices->RaiseTPL (TPL_NOTIFY);
  }
  EFI_STATUS Status = mCommunication->Communicate (mCommunication, mBuffer, &Size);
  if (Old < TPL_NOTIFY) {
    mBootServices->RestoreTPL (Old);
  }
  __builtin_memcpy (Reply, Message, kSmmBaseMessageHeader);
  return EFI_ERROR (Status) ? Status : Reply->Status;
}

}  // namespace

EFI_STATUS EFIAPI DxeRegister (IN EFI_SMM_BASE_PROTOCOL *This, IN EFI_DEVICE_PATH_PROTOCOL *FilePath,
                               IN VOID *SourceBuffer OPTIONAL, IN UINTN SourceSize, OUT EFI_HANDLE *ImageHandle,
                               IN BOOLEAN LegacyIA32Binary OPTIONAL)
{
  (void)This;
  LogDevicePath (kLogSmmBaseRegisterPath, FilePath);
  LOG ().Text (" source-buffer=").Hex (reinterpret_cast<UINT64> (SourceBuffer)).Text (" size=").Dec (SourceSize).End ();
  if (ImageHandle == nullptr || (FilePath == nullptr && SourceBuffer == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  // No 32-bit images; and from inside SMM no nested SMI.
  if (LegacyIA32Binary || InSmmNow ()) {
    return EFI_UNSUPPORTED;
  }
  IMAGE_FILE File;
  EFI_STATUS Status = FindImage (FilePath, SourceBuffer, SourceSize, &File);
  if (!EFI_ERROR (Status) && (File.Size == 0 || File.Size > kSmmBaseLargestImage)) {
    Status = EFI_BAD_BUFFER_SIZE;
  }
  EFI_HANDLE                Handle = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL *Record = nullptr;
  if (!EFI_ERROR (Status)) {
    Status = MakeImageHandle (File, &Handle, &Record);
  }
  SMMBASE_MESSAGE Reply = {};
  if (!EFI_ERROR (Status)) {
    Status = SendToSmm (File, Handle, Record, &Reply);
    if (EFI_ERROR (Status)) {
      // Nothing runs from this handle: take it away again.
      reinterpret_cast<UNINSTALL_PROTOCOL_INTERFACE> (mBootServices->UninstallProtocolInterface) (
        Handle, &mLoadedImageGuid, Record);
      mBootServices->FreePool (Record);
      Handle = nullptr;
    }
  }
  if (File.Allocated) {
    mBootServices->FreePool (File.Data);
  }
  LogDevicePath (kLogSmmBaseRegisterFile, File.Rest);
  LOG ().Text (" device=").Hex (reinterpret_cast<UINT64> (File.DeviceHandle)).Text (" status=").Hex (Status)
        .Text (" handle=").Hex (reinterpret_cast<UINT64> (Handle)).Text (" base=").Hex (Reply.ImageBase)
        .Text (" size=").Hex (Reply.ImageSize).Text (" entry-status=").Hex (Reply.EntryStatus).End ();
  if (EFI_ERROR (Status)) {
    return Status;
  }
  *ImageHandle = Handle;
  return Reply.EntryStatus;
}
