// SPDX-License-Identifier: BSD-2-Clause-Patent
// The SMRAM loader on small PE32+ images made here: page-aligned and
// 32-byte-aligned sections, both relocation widths, and damaged headers
// that must be refused before anything is written.
#include "smram/loader/PeImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr UINT64 kLinkBase = 0x140000000ULL;
constexpr UINT32 kPeAt     = 0x40;
constexpr UINT32 kOptAt    = kPeAt + 24;
constexpr UINT32 kTableAt  = kOptAt + 240;

template <typename T>
void Put (std::vector<UINT8> &File, size_t At, T Value)
{
  std::memcpy (File.data () + At, &Value, sizeof (T));
}

template <typename T>
T Get (const UINT8 *Memory, size_t At)
{
  T Value;
  std::memcpy (&Value, Memory + At, sizeof (T));
  return Value;
}

struct TEST_IMAGE {
  std::vector<UINT8> File;
  UINT32 Text, Data, Reloc, SizeOfImage;
  size_t RelocRaw;   // file offset of the relocation block
};

// Three sections: code bytes, data holding a 64-bit and a 32-bit address
// of the code, and one relocation block for them (with a padding entry).
// The data section's virtual size runs past its raw bytes, as .bss does.
TEST_IMAGE MakeImage (UINT32 SectionAlignment, UINT32 FileAlignment)
{
  auto Align = [] (UINT32 V, UINT32 A) { return (V + A - 1) & ~(A - 1); };
  UINT32 Headers = Align (kTableAt + 3 * 40, FileAlignment);
  TEST_IMAGE I;
  I.Text  = Align (Headers, SectionAlignment);
  I.Data  = Align (I.Text + 16, SectionAlignment);
  I.Reloc = Align (I.Data + 64, SectionAlignment);
  I.SizeOfImage = Align (I.Reloc + 16, SectionAlignment);
  UINT32 RawText = Headers, RawData = RawText + Align (16, FileAlignment), RawReloc = RawData + Align (16, FileAlignment);
  I.RelocRaw = RawReloc;
  I.File.assign (RawReloc + Align (16, FileAlignment), 0);
  auto &F = I.File;
  Put<UINT16> (F, 0, 0x5A4D);
  Put<UINT32> (F, 0x3C, kPeAt);
  Put<UINT32> (F, kPeAt, 0x4550);
  Put<UINT16> (F, kPeAt + 4, 0x8664);
  Put<UINT16> (F, kPeAt + 6, 3);
  Put<UINT16> (F, kPeAt + 20, 240);
  Put<UINT16> (F, kOptAt, 0x20B);
  Put<UINT32> (F, kOptAt + 16, I.Text);
  Put<UINT64> (F, kOptAt + 24, kLinkBase);
  Put<UINT32> (F, kOptAt + 32, SectionAlignment);
  Put<UINT32> (F, kOptAt + 36, FileAlignment);
  Put<UINT32> (F, kOptAt + 56, I.SizeOfImage);
  Put<UINT32> (F, kOptAt + 60, Headers);
  Put<UINT16> (F, kOptAt + 68, 11);
  Put<UINT32> (F, kOptAt + 108, 16);
  Put<UINT32> (F, kOptAt + 112 + 5 * 8, I.Reloc);
  Put<UINT32> (F, kOptAt + 112 + 5 * 8 + 4, 16);
  const UINT32 Sections[3][4] = {{16, I.Text, 16, RawText}, {64, I.Data, 16, RawData}, {16, I.Reloc, 16, RawReloc}};
  for (UINT32 S = 0; S < 3; S++) {
    for (UINT32 Field = 0; Field < 4; Field++) {
      Put<UINT32> (F, kTableAt + 40 * S + 8 + 4 * Field, Sections[S][Field]);
    }
  }
  for (UINT32 Byte = 0; Byte < 16; Byte++) {
    F[RawText + Byte] = static_cast<UINT8> (0xC0 + Byte);
  }
  Put<UINT64> (F, RawData, kLinkBase + I.Text + 4);
  Put<UINT32> (F, RawData + 8, static_cast<UINT32> (kLinkBase + I.Text + 8));
  Put<UINT32> (F, RawReloc, I.Data);
  Put<UINT32> (F, RawReloc + 4, 16);
  Put<UINT16> (F, RawReloc + 8, 0xA000);             // 64-bit at +0
  Put<UINT16> (F, RawReloc + 10, 0x3008);            // 32-bit at +8
  Put<UINT16> (F, RawReloc + 12, 0x0000);            // padding
  return I;
}

class PeImageLoad : public testing::TestWithParam<std::pair<UINT32, UINT32>> {};

TEST_P (PeImageLoad, LaysOutSectionsAndRelocates)
{
  TEST_IMAGE I = MakeImage (GetParam ().first, GetParam ().second);
  PE_IMAGE_INFO Info;
  ASSERT_EQ (PeGetImageInfo (I.File.data (), I.File.size (), &Info), EFI_SUCCESS);
  EXPECT_EQ (Info.SectionAlignment, GetParam ().first);
  EXPECT_EQ (Info.EntryPointRva, I.Text);

  const UINT64 LoadAddress = 0x0F980000;
  std::vector<UINT8> Memory (Info.SizeOfImage, 0xEE);
  UINTN Fixups = 0;
  ASSERT_EQ (PeLoadImage (I.File.data (), I.File.size (), &Info, Memory.data (), LoadAddress, &Fixups), EFI_SUCCESS);
  EXPECT_EQ (Fixups, 2u);
  EXPECT_EQ (0, std::memcmp (Memory.data (), I.File.data (), Info.SizeOfHeaders));
  EXPECT_EQ (Memory[I.Text], 0xC0);
  EXPECT_EQ (Memory[I.Text + 15], 0xCF);
  EXPECT_EQ (Get<UINT64> (Memory.data (), I.Data), LoadAddress + I.Text + 4);
  EXPECT_EQ (Get<UINT32> (Memory.data (), I.Data + 8), static_cast<UINT32> (LoadAddress + I.Text + 8));
  // Past the raw bytes of .data and between sections: zero, not left over.
  EXPECT_EQ (Memory[I.Data + 63], 0);
  EXPECT_EQ (Memory[Info.SizeOfImage - 1], 0);
}

INSTANTIATE_TEST_SUITE_P (Alignments, PeImageLoad,
                          testing::Values (std::pair<UINT32, UINT32> {0x1000, 0x200},
                                           std::pair<UINT32, UINT32> {0x20, 0x20}),
                          [] (const auto &Info) {
                            return "Section" + std::to_string (Info.param.first) + "File" +
                                   std::to_string (Info.param.second);
                          });

struct DAMAGE {
  const char *Name;
  std::function<void (TEST_IMAGE &)> Apply;
  EFI_STATUS InfoStatus;   // from PeGetImageInfo
  EFI_STATUS LoadStatus;   // from PeLoadImage when the headers pass
};

TEST (PeImage, RefusesDamagedImages)
{
  const DAMAGE Cases[] = {
    {"no MZ", [] (TEST_IMAGE &I) { I.File[0] = 'X'; }, EFI_LOAD_ERROR, 0},
    {"PE offset past the file", [] (TEST_IMAGE &I) { Put<UINT32> (I.File, 0x3C, 0xFFFFFFF0); }, EFI_LOAD_ERROR, 0},
    {"not x64", [] (TEST_IMAGE &I) { Put<UINT16> (I.File, kPeAt + 4, 0x14C); }, EFI_LOAD_ERROR, 0},
    {"PE32, not PE32+", [] (TEST_IMAGE &I) { Put<UINT16> (I.File, kOptAt, 0x10B); }, EFI_LOAD_ERROR, 0},
    {"section alignment 8 KiB", [] (TEST_IMAGE &I) { Put<UINT32> (I.File, kOptAt + 32, 0x2000); },
     EFI_UNSUPPORTED, 0},
    {"entry point outside", [] (TEST_IMAGE &I) { Put<UINT32> (I.File, kOptAt + 16, I.SizeOfImage); },
     EFI_LOAD_ERROR, 0},
    {"section past the image", [] (TEST_IMAGE &I) { Put<UINT32> (I.File, kTableAt + 40 + 8, 0x7FFFFFFF); },
     EFI_LOAD_ERROR, 0},
    {"raw data past the file", [] (TEST_IMAGE &I) { Put<UINT32> (I.File, kTableAt + 20, 0xFFFFFF00); },
     EFI_LOAD_ERROR, 0},
    {"section table past the file", [] (TEST_IMAGE &I) { Put<UINT16> (I.File, kPeAt + 6, 0xFFFF); },
     EFI_LOAD_ERROR, 0},
    {"relocation block larger than its directory",
     [] (TEST_IMAGE &I) { Put<UINT32> (I.File, I.RelocRaw + 4, 24); }, EFI_SUCCESS, EFI_LOAD_ERROR},
    {"fixup past the image",
     [] (TEST_IMAGE &I) { Put<UINT32> (I.File, I.RelocRaw, I.SizeOfImage - 4); }, EFI_SUCCESS,
     EFI_LOAD_ERROR},
    {"unknown relocation kind", [] (TEST_IMAGE &I) { Put<UINT16> (I.File, I.RelocRaw + 12, 0x5000); },
     EFI_SUCCESS, EFI_UNSUPPORTED},
  };
  for (const DAMAGE &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    TEST_IMAGE I = MakeImage (0x20, 0x20);
    Case.Apply (I);
    PE_IMAGE_INFO Info;
    ASSERT_EQ (PeGetImageInfo (I.File.data (), I.File.size (), &Info), Case.InfoStatus);
    if (Case.InfoStatus == EFI_SUCCESS) {
      std::vector<UINT8> Memory (Info.SizeOfImage);
      EXPECT_EQ (PeLoadImage (I.File.data (), I.File.size (), &Info, Memory.data (), 0x100000, nullptr),
                 Case.LoadStatus);
    }
  }
}

TEST (PeImage, RefusesALoadAddressOffTheSectionAlignment)
{
  TEST_IMAGE I = MakeImage (0x1000, 0x200);
  PE_IMAGE_INFO Info;
  ASSERT_EQ (PeGetImageInfo (I.File.data (), I.File.size (), &Info), EFI_SUCCESS);
  std::vector<UINT8> Memory (Info.SizeOfImage);
  EXPECT_EQ (PeLoadImage (I.File.data (), I.File.size (), &Info, Memory.data (), 0x100020, nullptr),
             EFI_INVALID_PARAMETER);
}

}  // namespace
