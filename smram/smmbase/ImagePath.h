// SPDX-License-Identifier: BSD-2-Clause-Patent
// What Register's device path names once the firmware has split it at the
// handle that can read it (LocateDevicePath): the rest is either one
// firmware-volume file node or a chain of file-path nodes, each followed by
// the end node. Anything else is refused before a byte is read. The rest
// also becomes the FilePath of the loaded image, so its size is needed to
// copy it.
#ifndef SMRAM_SMMBASE_IMAGE_PATH_H_
#define SMRAM_SMMBASE_IMAGE_PATH_H_

#include <ServiceLibPkg/Protocol/DevicePath.h>

// Media node of a file in a firmware volume: the header and the file's GUID.
inline constexpr UINT8 kMediaFvFileSubType = 6;

enum class IMAGE_PATH_KIND { Invalid, FvFile, File };

struct IMAGE_PATH {
  IMAGE_PATH_KIND Kind;
  CONST EFI_GUID  *FvFileName;  // FvFile: the file's GUID, inside the node
  UINTN           Bytes;        // the whole rest, end node included
};

// Bytes of Path up to and including its end node, or 0 when a node is
// shorter than its header or the walk would pass Limit bytes.
UINTN DevicePathBytes (IN CONST EFI_DEVICE_PATH_PROTOCOL *Path, IN UINTN Limit);

// The node after Node (whose length has been checked by DevicePathBytes).
CONST EFI_DEVICE_PATH_PROTOCOL *NextDevicePathNode (IN CONST EFI_DEVICE_PATH_PROTOCOL *Node);

BOOLEAN IsEndNode (IN CONST EFI_DEVICE_PATH_PROTOCOL *Node);

// Classifies the rest of Register's path, reading at most Limit bytes.
// File nodes must hold a terminated 16-bit name: the DXE half passes the
// name to the file system as it stands.
IMAGE_PATH ClassifyImagePath (IN CONST EFI_DEVICE_PATH_PROTOCOL *Rest, IN UINTN Limit);

#endif
