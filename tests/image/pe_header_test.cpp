// SPDX-License-Identifier: BSD-2-Clause-Patent
// The built images must be loadable by any UEFI PE loader as boot-service
// drivers: PE32+ for x64, subsystem 11, relocatable, self-contained; ready
// for a firmware volume (sections aligned as the file is, and each at the
// file offset equal to its address, so a volume tool can rebase them in
// place); versioned; and described exactly by their debug files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Section {
  std::string Name;
  uint32_t    VirtualAddress, VirtualSize, RawSize, RawOffset, Characteristics;
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
  uint32_t DirRva (int Index) const { return At<uint32_t> (Opt () + 112 + Index * 8); }
  uint32_t DirSize (int Index) const { return At<uint32_t> (Opt () + 112 + Index * 8 + 4); }

  std::vector<Section> Sections () const
  {
    std::vector<Section> Out;
    const size_t First = Opt () + At<uint16_t> (Coff () + 16);
    for (unsigned I = 0; I < At<uint16_t> (Coff () + 2); ++I) {
      const size_t H = First + I * 40;
      std::string  Name (reinterpret_cast<const char *> (Bytes.data () + H), 8);
      Name.resize (std::strlen (Name.c_str ()));
      Out.push_back ({Name, At<uint32_t> (H + 12), At<uint32_t> (H + 8), At<uint32_t> (H + 16),
                      At<uint32_t> (H + 20), At<uint32_t> (H + 36)});
    }
    return Out;
  }

  // File offset of an image offset, or 0 when no section holds it.
  size_t FileOffset (uint32_t Rva) const
  {
    for (const auto &S : Sections ()) {
      if (Rva >= S.VirtualAddress && Rva < S.VirtualAddress + S.RawSize) {
        return Rva - S.VirtualAddress + S.RawOffset;
      }
    }
    return 0;
  }

  std::string SectionBytes (const std::string &Name) const
  {
    for (const auto &S : Sections ()) {
      if (S.Name == Name && size_t (S.RawOffset) + S.RawSize <= Bytes.size ()) {
        return std::string (Bytes.begin () + S.RawOffset, Bytes.begin () + S.RawOffset + S.RawSize);
      }
    }
    return {};
  }

  // A section as a loader leaves it in memory: its raw data, cut or
  // zero-filled to its virtual size.
  std::string LoadedBytes (const Section &S) const
  {
    std::string Loaded = SectionBytes (S.Name);
    Loaded.resize (S.VirtualSize, '\0');
    return Loaded;
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

// ServiceLib for ServiceLib.efi: the test's name, and the debug file's.
std::string Stem (const std::string &ImageName) { return ImageName.substr (0, ImageName.find ('.')); }

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

TEST_P (DriverImage, IsReadyForAFirmwareVolumeAndVersioned)
{
  const PeImage Image = Load (GetParam ());
  ASSERT_GT (Image.Bytes.size (), 512u);
  EXPECT_EQ (Image.At<uint32_t> (Image.Opt () + 32), 32u) << "section alignment";
  EXPECT_EQ (Image.At<uint32_t> (Image.Opt () + 36), 32u) << "file alignment";
  EXPECT_EQ (Image.At<uint16_t> (Image.Opt () + 44), EFI_IMAGE_VERSION_MAJOR) << "image major version";
  EXPECT_EQ (Image.At<uint16_t> (Image.Opt () + 46), EFI_IMAGE_VERSION_MINOR) << "image minor version";
  for (const auto &S : Image.Sections ()) {
    EXPECT_EQ (S.Name.rfind (".debug", 0), std::string::npos) << "DWARF left in the shipped image: " << S.Name;
    EXPECT_EQ (S.Name.rfind ('/', 0), std::string::npos) << "long section name " << S.Name;
  }
}

// The debug directory's CodeView entry (RSDS) names the debug file, without
// a path: firmware logs name the driver after it, and no build path ships.
TEST_P (DriverImage, NamesItsDebugFile)
{
  const PeImage Image = Load (GetParam ());
  std::string   Named;
  const size_t  Dir = Image.FileOffset (Image.DirRva (6));
  for (uint32_t Entry = 0; Dir != 0 && Entry + 28 <= Image.DirSize (6); Entry += 28) {
    const size_t Record = Image.At<uint32_t> (Dir + Entry + 24);  // PointerToRawData
    if (Image.At<uint32_t> (Dir + Entry + 12) == 2 && Image.At<uint32_t> (Record) == 0x53445352) {
      Named = reinterpret_cast<const char *> (Image.Bytes.data () + Record + 24);
    }
  }
  EXPECT_EQ (Named, Stem (GetParam ()) + ".debug");
}

// The debug file is the shipped image before its DWARF was stripped: the
// same code at the same place, so a debugger shows what runs.
TEST_P (DriverImage, DebugFileHoldsTheShippedCode)
{
  const PeImage     Image = Load (GetParam ());
  const PeImage     Debug = Load (Stem (GetParam ()) + ".debug");
  const std::string Code  = Image.SectionBytes (".text");
  ASSERT_FALSE (Code.empty ());
  EXPECT_EQ (Debug.SectionBytes (".text"), Code);
  const auto Shipped = Image.Sections ();
  const auto Full    = Debug.Sections ();
  ASSERT_GE (Full.size (), Shipped.size ());
  for (size_t I = 0; I < Shipped.size (); ++I) {
    EXPECT_EQ (Full[I].Name, Shipped[I].Name);
    EXPECT_EQ (Full[I].VirtualAddress, Shipped[I].VirtualAddress) << Shipped[I].Name;
  }
}

INSTANTIATE_TEST_SUITE_P (Images, DriverImage,
                          ::testing::Values ("ServiceLib.efi"
#ifdef HAVE_WDTCONTROL_IMAGE
                                             ,
                                             "WdtControl.efi"
#endif
                                             ),
                          [] (const auto &Info) { return Stem (Info.param); });

// Every image that cmake/EfiImage.cmake links (the drivers and the
// test-support images) lies in its file as in memory: the headers reach to
// the first section, each section sits at the file offset equal to its
// address, and its raw data reaches to the next one, zero-filled tail
// included. A volume tool that rebases an image where it lies in flash
// patches the bytes that its map names only then. The gnu-efi client keeps
// gnu-efi's own layout, and ServiceLibAlt.efi is the SMRAM loader's case of
// sections that do not lie at their addresses; neither is listed.
std::vector<std::string> LinkedImages ()
{
  std::vector<std::string> Names;
  std::string              All = EFI_LINKED_IMAGES;
  for (size_t At = 0, End; At < All.size (); At = End + 1) {
    End = std::min (All.find (' ', At), All.size ());
    Names.push_back (All.substr (At, End - At) + ".efi");
  }
  return Names;
}

class LinkedImage : public ::testing::TestWithParam<std::string> {};

TEST_P (LinkedImage, LiesInItsFileAsInMemory)
{
  const PeImage Image = Load (GetParam ());
  ASSERT_GT (Image.Bytes.size (), 512u) << GetParam () << " missing or truncated";
  const auto Sections = Image.Sections ();
  ASSERT_FALSE (Sections.empty ());
  EXPECT_EQ (Image.At<uint32_t> (Image.Opt () + 60), Sections[0].VirtualAddress) << "SizeOfHeaders";
  uint32_t End = Sections[0].VirtualAddress;
  for (const auto &S : Sections) {
    EXPECT_EQ (S.RawOffset, S.VirtualAddress) << S.Name << "'s file offset";
    EXPECT_EQ (S.VirtualAddress, End) << S.Name << " does not start where the data before it ends";
    End = S.RawOffset + S.RawSize;
  }
  EXPECT_EQ (Image.Bytes.size (), End) << "bytes past the last section";
  EXPECT_LE (End, Image.At<uint32_t> (Image.Opt () + 56)) << "SizeOfImage";
  // The debug directory names each record by address and by file offset.
  for (uint32_t Entry = 0; Entry + 28 <= Image.DirSize (6); Entry += 28) {
    EXPECT_EQ (Image.At<uint32_t> (Image.DirRva (6) + Entry + 24), Image.At<uint32_t> (Image.DirRva (6) + Entry + 20))
      << "debug record " << Entry / 28;
  }
}

// Laying the file out moves bytes, never addresses: each section loads as
// the debug file's does, at the same address, so the code is the link's.
TEST_P (LinkedImage, LoadsAsItsDebugFile)
{
  const PeImage Image   = Load (GetParam ());
  const PeImage Debug   = Load (Stem (GetParam ()) + ".debug");
  const auto    Shipped = Image.Sections ();
  const auto    Full    = Debug.Sections ();
  ASSERT_FALSE (Shipped.empty ());
  ASSERT_GE (Full.size (), Shipped.size ());
  EXPECT_EQ (Image.At<uint32_t> (Image.Opt () + 16), Debug.At<uint32_t> (Debug.Opt () + 16)) << "entry point";
  for (int Directory : {5, 6}) {  // base relocations, debug directory
    EXPECT_EQ (Image.DirRva (Directory), Debug.DirRva (Directory)) << "directory " << Directory;
  }
  for (size_t I = 0; I < Shipped.size (); ++I) {
    EXPECT_EQ (Full[I].VirtualAddress, Shipped[I].VirtualAddress) << Shipped[I].Name;
    EXPECT_EQ (Debug.LoadedBytes (Full[I]), Image.LoadedBytes (Shipped[I])) << Shipped[I].Name;
  }
}

INSTANTIATE_TEST_SUITE_P (Images, LinkedImage, ::testing::ValuesIn (LinkedImages ()),
                          [] (const auto &Info) { return Stem (Info.param); });

std::string Output (const std::string &Command)
{
  std::string Out;
  FILE       *Pipe = popen (Command.c_str (), "r");
  if (Pipe != nullptr) {
    char Chunk[4096];
    for (size_t N; (N = fread (Chunk, 1, sizeof (Chunk), Pipe)) > 0;) {
      Out.append (Chunk, N);
    }
    pclose (Pipe);
  }
  return Out;
}

// From the debug file alone, FormatOutput's address leads back to the
// function and to the source file that holds it.
TEST (DebugFile, ResolvesFormatOutputToItsSource)
{
  const std::string File = std::string (EFI_IMAGE_DIR) + "/ServiceLib.debug";
  const std::string Die  = Output (std::string (LLVM_DWARFDUMP) + " --name=FormatOutput " + File);
  const size_t      Low  = Die.find ("DW_AT_low_pc\t(");
  ASSERT_NE (Low, std::string::npos) << Die;
  const std::string Address = Die.substr (Low + 14, 18);
  const std::string Lookup  = Output (std::string (LLVM_DWARFDUMP) + " --lookup=" + Address + " " + File);
  EXPECT_NE (Lookup.find ("DW_AT_name\t(\"servicelib/console/format.cpp\")"), std::string::npos) << Lookup;
  EXPECT_NE (Lookup.find ("DW_AT_name\t(\"FormatOutput\")"), std::string::npos) << Lookup;
  EXPECT_NE (Lookup.find ("Line info: file 'format.cpp'"), std::string::npos) << Lookup;
}

}  // namespace
