// SPDX-License-Identifier: BSD-2-Clause-Patent
// The built images must be loadable by any UEFI PE loader as boot-service
// drivers: PE32+ for x64, subsystem 11, relocatable, self-contained.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Section {
  std::string Name;
  uint32_t    VirtualAddress, VirtualSize, Characteristics;
};

struct PeImage {
  std::vector<uint8_t> Bytes;
  uint32_t             PeOffset = 0;

  template <typename T> T At (size_t Offset) const
  {
    T Value{};
    if (Offset + sizeof (T) <= Bytes.size ()) {
      std::memcpy (&Value, Bytes.data () + Offset, sizeof (T));
    }
    return Value;
  }
  size_t   Coff () const { return PeOffset + 4; }
  size_t   Opt () const { return Coff () + 20; }
  uint32_t DirSize (int Index) const { return At<uint32_t> (Opt () + 112 + Index * 8 + 4); }

  std::vector<Section> Sections () const
  {
    std::vector<Section> Out;
    const size_t First = Opt () + At<uint16_t> (Coff () + 16);
    for (unsigned I = 0; I < At<uint16_t> (Coff () + 2); ++I) {
      const size_t H = First + I * 40;
      std::string  Name (reinterpret_cast<const char *> (Bytes.data () + H), 8);
      Name.resize (std::strlen (Name.c_str ()));
      Out.push_back ({Name, At<uint32_t> (H + 12), At<uint32_t> (H + 8), At<uint32_t> (H + 36)});
    }
    return Out;
  }
};

PeImage Load (const std::string &Name)
{
  std::ifstream In (std::string (EFI_IMAGE_DIR) + "/" + Name, std::ios::binary);
  PeImage       Image;
  Image.Bytes.assign (std::istreambuf_iterator<char> (In), {});
  Image.PeOffset = Image.At<uint32_t> (0x3C);
  return Image;
}

class DriverImage : public ::testing::TestWithParam<const char *> {};

TEST_P (DriverImage, IsARelocatableSelfContainedBootServiceDriver)
{
  const PeImage Image = Load (GetParam ());
  ASSERT_GT (Image.Bytes.size (), 512u) << GetParam () << " missing or truncated";
  ASSERT_EQ (Image.At<uint16_t> (0), 0x5A4D) << "MZ";
  ASSERT_EQ (Image.At<uint32_t> (Image.PeOffset), 0x00004550u) << "PE signature";

  EXPECT_EQ (Image.At<uint16_t> (Image.Coff ()), 0x8664) << "machine x86-64";
  EXPECT_EQ (Image.At<uint16_t> (Image.Coff () + 18) & 0x0001, 0) << "relocations must not be stripped";
  EXPECT_EQ (Image.At<uint16_t> (Image.Opt ()), 0x20B) << "PE32+";
  EXPECT_EQ (Image.At<uint16_t> (Image.Opt () + 68), 11) << "EFI boot-service driver";

  EXPECT_NE (Image.DirSize (5), 0u) << "base relocations present";
  EXPECT_EQ (Image.DirSize (1), 0u) << "no import directory";
  EXPECT_EQ (Image.DirSize (12), 0u) << "no import address table";
  EXPECT_EQ (Image.DirSize (9), 0u) << "no TLS";

  const uint32_t Entry = Image.At<uint32_t> (Image.Opt () + 16);
  bool           EntryInCode = false;
  for (const auto &S : Image.Sections ()) {
    EXPECT_EQ (S.Name.rfind (".CRT", 0), std::string::npos) << "static constructor table " << S.Name;
    EXPECT_NE (S.Name, ".idata");
    if (Entry >= S.VirtualAddress && Entry < S.VirtualAddress + S.VirtualSize) {
      EntryInCode = (S.Characteristics & 0x20000000u) != 0;  // IMAGE_SCN_MEM_EXECUTE
    }
  }
  EXPECT_TRUE (EntryInCode) << "entry point inside an executable section";
}

INSTANTIATE_TEST_SUITE_P (Images, DriverImage,
                          ::testing::Values ("ServiceLib.efi"
#ifdef HAVE_WDTCONTROL_IMAGE
                                             ,
                                             "WdtControl.efi"
#endif
                                             ),
                          [] (const auto &Info) {
                            std::string N = Info.param;
                            return N.substr (0, N.find ('.'));
                          });

}  // namespace
