// SPDX-License-Identifier: BSD-2-Clause-Patent
// The real two-copy lifecycle on the host: the driver is loaded twice as a
// shared object, so each copy has module globals of its own, as the
// boot-services copy and the SMRAM copy do in firmware. The boot-services
// copy's notification registers its image with SMM Base, whose Register
// starts the second copy "in SMM".
#include "servicelib/servicelib.h"

#include "tests/SimTest.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using namespace simtest;

namespace {

struct DriverCopy {
  void                  *Handle = nullptr;
  EFI_IMAGE_ENTRY_POINT Entry  = nullptr;
  std::string           Path;

  template <typename T> T *Global (const char *Name) const { return static_cast<T *> (dlsym (Handle, Name)); }

  explicit DriverCopy (const std::string &Tag)
  {
    Path = (std::filesystem::temp_directory_path () /
            ("servicelib-" + std::to_string (getpid ()) + "-" + Tag + ".so"))
             .string ();
    std::filesystem::copy_file (SERVICELIB_MODULE, Path, std::filesystem::copy_options::overwrite_existing);
    Handle = dlopen (Path.c_str (), RTLD_NOW | RTLD_LOCAL);
    if (Handle != nullptr) {
      Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT> (dlsym (Handle, "ServiceLibEntryPoint"));
    }
  }
  ~DriverCopy ()
  {
    if (Handle != nullptr) {
      dlclose (Handle);
    }
    std::filesystem::remove (Path);
  }
};

TEST (TwoCopies, BootServicesCopyStartsTheSmmCopyAndEachKeepsItsOwnPath)
{
  sim::SimFirmware Fw;
  DriverCopy       Bs ("bs");
  ASSERT_NE (Bs.Entry, nullptr) << dlerror ();
  std::unique_ptr<DriverCopy> SmmCopy;
  EFI_HANDLE                  SmmImage = Fw.NewHandle ();
  EFI_STATUS                  SmmStart = EFI_NOT_STARTED;

  Fw.SmmBase.OnRegister = [&] (const sim::SmmRegisterCall &) {
    SmmCopy              = std::make_unique<DriverCopy> ("smm");
    Fw.SmmBase.InSmm     = TRUE;
    SmmStart             = SmmCopy->Entry (SmmImage, &Fw.SystemTable);
    Fw.SmmBase.InSmm     = FALSE;
    Fw.SmmBase.RegisterHandle = SmmImage;
  };

  EFI_HANDLE BsImage = Fw.CreateImage (u"\\ServiceLib.efi");
  ASSERT_EQ (Bs.Entry (BsImage, &Fw.SystemTable), EFI_SUCCESS);
  ASSERT_EQ (Fw.SmmBase.RegisterCalls.size (), 0u);

  Fw.InstallSmmBase (FALSE);  // the platform brings up SMM: the notification runs

  ASSERT_EQ (Fw.SmmBase.RegisterCalls.size (), 1u);
  ASSERT_TRUE (SmmCopy && SmmCopy->Entry != nullptr);
  EXPECT_EQ (SmmStart, EFI_SUCCESS);

  auto *BsTable  = Bs.Global<LIB_SERVICES_PROTOCOL> ("mLibServicesBs");
  auto *SmmTable = SmmCopy->Global<LIB_SERVICES_PROTOCOL> ("mLibServicesSmm");
  EXPECT_EQ (Fw.FindOn (BsImage, kLibGuid), BsTable);
  EXPECT_EQ (Fw.FindOn (SmmImage, kSmmLibGuid), SmmTable);
  EXPECT_EQ (*Bs.Global<LIB_SERVICES_PROTOCOL *> ("mLib"), BsTable);
  EXPECT_EQ (*SmmCopy->Global<LIB_SERVICES_PROTOCOL *> ("mLib"), SmmTable);
  EXPECT_EQ (*Bs.Global<EFI_SMM_SYSTEM_TABLE *> ("Smst"), nullptr);
  EXPECT_EQ (*SmmCopy->Global<EFI_SMM_SYSTEM_TABLE *> ("Smst"), &Fw.Smst);
  // The test program's own, statically linked copy was never started.
  EXPECT_EQ (mLib, nullptr);

  // Only the boot-services copy touched the speaker, to silence it.
  EXPECT_EQ (Fw.Ports.Log, DirectWrites ({{0x43, 0xB6}, {0x42, 0x0B}, {0x42, 0x0B}, {0x61, 0x00}}));

  Fw.Ports.Log.clear ();
  auto *BsLib  = static_cast<LIB_SERVICES_PROTOCOL *> (Fw.Find (kLibGuid));
  auto *SmmLib = static_cast<LIB_SERVICES_PROTOCOL *> (Fw.Find (kSmmLibGuid));
  BsLib->IoWrite (0x3FF, 0x11, 0);
  SmmLib->IoWrite (0x3FF, 0x22, 0);
  EXPECT_EQ (Fw.Ports.Log, (std::vector<PortAccess>{Out (PortPath::CpuIo, 0x3FF, 0x11, 0, &Fw.CpuIo),
                                                    Out (PortPath::SmmIo, 0x3FF, 0x22, 0, &Fw.Smst.SmmIo)}));
  EXPECT_TRUE (Fw.LivePool.empty ()) << "the appended device path must be freed";
}

}  // namespace
