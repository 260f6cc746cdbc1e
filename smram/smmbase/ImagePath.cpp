// SPDX-License-Identifier: BSD-2-Clause-Patent
// Walking the rest of Register's device path. A node's length comes from
// the caller's memory, so every step is checked against the node header
// and the limit before the next node is read.
#include "ImagePath.h"

namespace {

constexpr UINTN kNodeHeader     = sizeof (EFI_DEVICE_PATH_PROTOCOL);
constexpr UINTN kFvFileNodeSize = kNodeHeader + sizeof (EFI_GUID);

UINTN NodeLength (CONST EFI_DEVICE_PATH_PROTOCOL *Node)
{
  return static_cast<UINTN> (Node->Length[0]) | static_cast<UINTN> (Node->Length[1]) << 8;
}

BOOLEAN IsMedia (CONST EFI_DEVICE_PATH_PROTOCOL *Node, UINT8 SubType)
{
  return Node->Type == MEDIA_DEVICE_PATH && Node->SubType == SubType;
}

// A file-path node names one path element: at least one character and a
// terminating zero, in whole 16-bit units, the zero at the end.
BOOLEAN IsFileNode (CONST EFI_DEVICE_PATH_PROTOCOL *Node)
{
  UINTN Length = NodeLength (Node);
  if (!IsMedia (Node, MEDIA_FILEPATH_DP) || Length < kNodeHeader + 4 || (Length - kNodeHeader) % 2 != 0) {
    return FALSE;
  }
  CONST UINT8 *Name  = reinterpret_cast<CONST UINT8 *> (Node) + kNodeHeader;
  UINTN       Chars = (Length - kNodeHeader) / 2;
  return Name[2 * (Chars - 1)] == 0 && Name[2 * (Chars - 1) + 1] == 0 && (Name[0] != 0 || Name[1] != 0);
}

}  // namespace

BOOLEAN IsEndNode (IN CONST EFI_DEVICE_PATH_PROTOCOL *Node)
{
  return Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

CONST EFI_DEVICE_PATH_PROTOCOL *NextDevicePathNode (IN CONST EFI_DEVICE_PATH_PROTOCOL *Node)
{
  return reinterpret_cast<CONST EFI_DEVICE_PATH_PROTOCOL *> (reinterpret_cast<CONST UINT8 *> (Node) +
                                                               NodeLength (Node));
}

UINTN DevicePathBytes (IN CONST EFI_DEVICE_PATH_PROTOCOL *Path, IN UINTN Limit)
{
  UINTN Bytes = 0;
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Path;; Node = NextDevicePathNode (Node)) {
    if (Limit - Bytes < kNodeHeader) {
      return 0;
    }
    UINTN Length = NodeLength (Node);
    if (Length < kNodeHeader || Length > Limit - Bytes) {
      return 0;
    }
    Bytes += Length;
    if (IsEndNode (Node)) {
      return Bytes;
    }
  }
}

IMAGE_PATH ClassifyImagePath (IN CONST EFI_DEVICE_PATH_PROTOCOL *Rest, IN UINTN Limit)
{
  IMAGE_PATH Invalid = { IMAGE_PATH_KIND::Invalid, nullptr, 0 };
  UINTN      Bytes   = Rest == nullptr ? 0 : DevicePathBytes (Rest, Limit);
  if (Bytes == 0 || IsEndNode (Rest)) {
    return Invalid;
  }
  if (IsMedia (Rest, kMediaFvFileSubType)) {
    if (NodeLength (Rest) != kFvFileNodeSize || !IsEndNode (NextDevicePathNode (Rest))) {
      return Invalid;
    }
    auto *Name = reinterpret_cast<CONST EFI_GUID *> (reinterpret_cast<CONST UINT8 *> (Rest) + kNodeHeader);
    return { IMAGE_PATH_KIND::FvFile, Name, Bytes };
  }
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Rest; !IsEndNode (Node); Node = NextDevicePathNode (Node)) {
    if (!IsFileNode (Node)) {
      return Invalid;
    }
  }
  return { IMAGE_PATH_KIND::File, nullptr, Bytes };
}
