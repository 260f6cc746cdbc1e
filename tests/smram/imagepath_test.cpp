// SPDX-License-Identifier: BSD-2-Clause-Patent
// What the Framework SMM Base's Register accepts as the rest of a device
// path once the firmware has split it: one firmware-volume file node, or
// file-path nodes with terminated names, always closed by the end node,
// never read past the limit.
#include "smram/smmbase/ImagePath.h"
#include "tests/CaseName.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using BYTES = std::vector<UINT8>;

BYTES Node (UINT8 Type, UINT8 SubType, BYTES Body, int LengthAdjust = 0)
{
  UINTN Length = 4 + Body.size () + LengthAdjust;
  BYTES Out    = { Type, SubType, static_cast<UINT8> (Length), static_cast<UINT8> (Length >> 8) };
  Out.insert (Out.end (), Body.begin (), Body.end ());
  return Out;
}

BYTES FvFile (int LengthAdjust = 0)
{
  return Node (MEDIA_DEVICE_PATH, kMediaFvFileSubType, BYTES (16, 0xA5), LengthAdjust);
}

BYTES File (const char *Name, bool Terminated = true)
{
  BYTES Body;
  for (const char *C = Name; *C != 0; C++) {
    Body.push_back (static_cast<UINT8> (*C));
    Body.push_back (0);
  }
  if (Terminated) {
    Body.insert (Body.end (), { 0, 0 });
  }
  return Node (MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, Body);
}

BYTES End ()
{
  return Node (END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {});
}

BYTES Path (std::initializer_list<BYTES> Nodes)
{
  BYTES Out;
  for (const BYTES &N : Nodes) {
    Out.insert (Out.end (), N.begin (), N.end ());
  }
  return Out;
}

struct PATH_CASE {
  const char      *Name;
  BYTES           Bytes;
  UINTN           Limit;
  IMAGE_PATH_KIND Kind;
};

const PATH_CASE kCases[] = {
  { "FvFileThenEnd", Path ({ FvFile (), End () }), 0x100, IMAGE_PATH_KIND::FvFile },
  { "OneFileName", Path ({ File ("\\ServiceLib.efi"), End () }), 0x100, IMAGE_PATH_KIND::File },
  { "FolderThenFile", Path ({ File ("\\EFI"), File ("Client.efi"), End () }), 0x100, IMAGE_PATH_KIND::File },
  { "EndOnly", End (), 0x100, IMAGE_PATH_KIND::Invalid },
  { "FvFileWithTrailingFile", Path ({ FvFile (), File ("x"), End () }), 0x100, IMAGE_PATH_KIND::Invalid },
  { "FvFileNodeTooLong", Path ({ FvFile (2), BYTES (2, 0), End () }), 0x100, IMAGE_PATH_KIND::Invalid },
  { "UnterminatedName", Path ({ File ("\\a", false), End () }), 0x100, IMAGE_PATH_KIND::Invalid },
  { "EmptyName", Path ({ File (""), End () }), 0x100, IMAGE_PATH_KIND::Invalid },
  { "HardwareNode", Path ({ Node (1, 1, { 0, 2 }), End () }), 0x100, IMAGE_PATH_KIND::Invalid },
  { "NodeShorterThanHeader", Path ({ Node (MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, {}, -2), End () }), 0x100,
    IMAGE_PATH_KIND::Invalid },
  { "NoEndWithinLimit", Path ({ File ("\\ServiceLib.efi"), End () }), 20, IMAGE_PATH_KIND::Invalid },
};

class ImagePathRows : public ::testing::TestWithParam<PATH_CASE> {};

TEST_P (ImagePathRows, KindAndSize)
{
  const PATH_CASE &Case = GetParam ();
  auto *Rest = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *> (Case.Bytes.data ());
  IMAGE_PATH Found = ClassifyImagePath (Rest, Case.Limit);
  EXPECT_EQ (Found.Kind, Case.Kind);
  if (Case.Kind != IMAGE_PATH_KIND::Invalid) {
    EXPECT_EQ (Found.Bytes, Case.Bytes.size ());
  }
  if (Case.Kind == IMAGE_PATH_KIND::FvFile) {
    EXPECT_EQ (reinterpret_cast<const UINT8 *> (Found.FvFileName), Case.Bytes.data () + 4);
  }
}

INSTANTIATE_TEST_SUITE_P (Paths, ImagePathRows, ::testing::ValuesIn (kCases), CaseName ());

}  // namespace
