// CreateDirectoryW with and without a descriptor, what it keeps and enforces on the host,
// and the volume calls, against Windows' documented behaviour.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_directories.h"
#include "platform/kernel32_volumes.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr char kOwner[] = "S-1-5-21-1-2-3-1001";

class DirectoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Machine(machine_.root()).SetSetting("token_owner_sid", kOwner);
    fs::create_directories(machine_.root() / "D");
    sim::Machine(machine_.root()).SetSetting("volume.D.file_system", "FAT");
    process_ = &machine_.Start();
  }
  fs::path Host(const std::u16string& path) const { return machine_.HostPath(path, false); }
  fs::perms Mode(const std::u16string& path) const { return fs::status(Host(path)).permissions() & fs::perms::all; }
  // Creates `path` with the descriptor of `sddl` (none when empty) and releases it.
  bool Create(const std::u16string& path, const std::u16string& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!sddl.empty() &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
      ADD_FAILURE() << "bad test descriptor " << sim::ToUtf8(sddl);
      return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const BOOL created = CreateDirectoryW(path.c_str(), descriptor != nullptr ? &attributes : nullptr);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return created != FALSE;
  }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(DirectoriesTest, FailuresCarryWindowsErrors) {
  fs::create_directories(Host(u"C:\\Existing"));
  machine_.WriteFile(u"C:\\file.txt", "x");
  fs::create_directories(Host(u"C:\\Locked"));
  ASSERT_TRUE(sim::WriteSecurityDescriptor(Host(u"C:\\Locked"), "D:P(A;;FA;;;SY)(A;;FA;;;BA)"));
  fs::create_directories(Host(u"C:\\Denied"));
  ASSERT_TRUE(sim::WriteSecurityDescriptor(Host(u"C:\\Denied"), "D:(D;;FA;;;WD)(A;;FA;;;WD)"));
  fs::create_directories(Host(u"C:\\ReadOnly"));
  ASSERT_TRUE(sim::WriteSecurityDescriptor(Host(u"C:\\ReadOnly"), "D:(A;;FR;;;WD)(A;OICIIO;GA;;;WD)"));
  struct Case {
    std::u16string path;
    DWORD error;
  } cases[] = {
      {u"C:\\Existing", ERROR_ALREADY_EXISTS},
      {u"c:\\EXISTING", ERROR_ALREADY_EXISTS},  // names compare without case
      {u"C:\\file.txt", ERROR_ALREADY_EXISTS},  // a file holds the name
      {u"C:\\Missing\\Sub", ERROR_PATH_NOT_FOUND},
      {u"C:\\file.txt\\Sub", ERROR_PATH_NOT_FOUND},
      {u"Q:\\New", ERROR_PATH_NOT_FOUND},  // no such drive
      {u"C:\\bad|name", ERROR_INVALID_NAME},
      {u"C:\\Locked\\Sub", ERROR_ACCESS_DENIED},    // admits only system and administrators
      {u"C:\\Denied\\Sub", ERROR_ACCESS_DENIED},    // a deny entry comes first
      {u"C:\\ReadOnly\\Sub", ERROR_ACCESS_DENIED},  // read only; the inherit-only entry does not count
  };
  for (const Case& c : cases) {
    for (bool with_descriptor : {false, true}) {
      SetLastError(0);
      EXPECT_FALSE(Create(c.path, with_descriptor ? u"D:P(A;;FA;;;S-1-5-21-1-2-3-1001)" : u""))
          << sim::ToUtf8(c.path);
      EXPECT_EQ(GetLastError(), c.error) << sim::ToUtf8(c.path);
    }
  }
  EXPECT_FALSE(fs::exists(Host(u"C:\\Locked\\Sub")));
  EXPECT_FALSE(fs::exists(Host(u"C:\\Denied\\Sub")));
  EXPECT_EQ(process_->Snapshot().live_local_blocks, 0u);
}

TEST_F(DirectoriesTest, DescriptorDecidesTheHostModeAndIsKept) {
  const std::u16string product =
      u"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;"
      u"S-1-5-21-1-2-3-1001)";
  struct Case {
    std::u16string sddl;
    bool private_mode;
    std::string kept;
  } cases[] = {
      {product, true,
       "D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)(A;;FA;;;"
       "S-1-5-21-1-2-3-1001)"},
      {u"D:P(A;;FA;;;S-1-5-21-1-2-3-1001)(D;;FA;;;WD)", true, "D:P(A;;FA;;;S-1-5-21-1-2-3-1001)(D;;FA;;;WD)"},
      {u"D:P", true, "D:P"},                                       // nobody at all
      {u"D:P(A;OICIIO;GA;;;WD)(A;;FA;;;SY)", true, "D:P(A;OICIIO;GA;;;WD)(A;;FA;;;SY)"},  // only for children
      {u"D:P(A;;FA;;;SY)(A;;FR;;;WD)", false, "D:P(A;;FA;;;SY)(A;;FR;;;WD)"},  // everyone may read
      {u"D:P(A;;FA;;;S-1-5-21-1-2-3-1002)", false, "D:P(A;;FA;;;S-1-5-21-1-2-3-1002)"},  // another user
      {u"D:(A;;FA;;;SY)", false, "D:(A;;FA;;;SY)"},                // not protected: the parent's flow in
      {u"D:NO_ACCESS_CONTROL", false, "D:NO_ACCESS_CONTROL"},      // grants everyone everything
      {u"O:BAG:SYD:PAR(A;;0x1200a9;;;BU)S:(AU;SAFA;GRGW;;;WD)", false,
       "O:BAG:SYD:PAR(A;;0x1200a9;;;BU)S:(AU;SAFA;GRGW;;;WD)"},
      {u"D:P(OA;;FA;;;BA)(A;;123;;;SY)(A;;0755;;;SY)", true, "D:P(A;;FA;;;BA)(A;;CCDCSWRPWPDT;;;SY)(A;;CCLCSWWPDTLOCR;;;SY)"},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::u16string path = u"C:\\Dir" + sim::ToUtf16(std::to_string(index++));
    SCOPED_TRACE(sim::ToUtf8(c.sddl));
    ASSERT_TRUE(Create(path, c.sddl));
    EXPECT_EQ(Mode(path) == fs::perms::owner_all, c.private_mode);
    EXPECT_EQ(sim::ReadSecurityDescriptor(Host(path)), c.kept);
  }
  // Without a descriptor: the parent's default security, nothing kept, an open mode.
  ASSERT_TRUE(Create(u"C:\\Plain", u""));
  EXPECT_FALSE(sim::ReadSecurityDescriptor(Host(u"C:\\Plain")));
  EXPECT_TRUE((Mode(u"C:\\Plain") & fs::perms::others_exec) != fs::perms::none);
  // A FAT volume keeps no descriptor, so the one given has no effect.
  ASSERT_TRUE(Create(u"D:\\Private", product));
  EXPECT_FALSE(sim::ReadSecurityDescriptor(Host(u"D:\\Private")));
  EXPECT_NE(Mode(u"D:\\Private"), fs::perms::owner_all);
  EXPECT_EQ(process_->Snapshot().live_local_blocks, 0u);
}

TEST_F(DirectoriesTest, DamagedDescriptorIsRefused) {
  BYTE not_self_relative[20] = {1, 0, 0x04, 0x00};
  BYTE bad_revision[20] = {7, 0, 0x04, 0x80};
  for (BYTE* bytes : {not_self_relative, bad_revision}) {
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), bytes, FALSE};
    EXPECT_FALSE(CreateDirectoryW(u"C:\\Damaged", &attributes));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  }
  EXPECT_FALSE(fs::exists(Host(u"C:\\Damaged")));
}

// A process that is not long-path aware creates directories of at most 248 units
// (MAX_PATH 260 less 12 for an 8.3 name); a longer one fails with
// ERROR_FILENAME_EXCED_RANGE (206), with or without a descriptor. The "\\?\" form is
// not limited.
TEST_F(DirectoriesTest, DirectoryPathsLongerThan248UnitsAreRefused) {
  // "C:\ddd...\" of `units` units, ending with a backslash, in short host components.
  const auto parent_of_length = [](size_t units) {
    std::u16string path = u"C:\\";
    while (path.size() < units) {
      size_t take = std::min<size_t>(100, units - path.size());
      if (units - path.size() - take == 1) --take;
      path += std::u16string(take - 1, u'd') + u"\\";
    }
    return path;
  };
  const std::u16string parent = parent_of_length(238);  // then a 10-unit name: 248 units
  fs::create_directories(Host(parent + u"x").parent_path());
  struct Case {
    std::u16string path;
    DWORD error;  // 0: created
  } cases[] = {
      {parent + u"nine_unit", 0},                  // 247
      {parent + u"ten__units", 0},                 // 248: the longest
      {parent + u"eleven_unit", 206},              // 249
      {parent + u"twelve_units\\", 206},           // 250 with its backslash, 249 without
      {parent + u"ten_units2\\", 0},               // 248 with a trailing backslash, not counted
      {u"\\\\?\\" + parent + u"eleven_long", 0},  // the long form is not limited
      {u"\\\\?\\" + parent + u"a_name_of_twenty_one", 0},
  };
  for (const Case& c : cases) {
    for (bool with_descriptor : {false, true}) {
      SetLastError(0);
      EXPECT_EQ(Create(c.path, with_descriptor ? u"D:P(A;;FA;;;S-1-5-21-1-2-3-1001)" : u""), c.error == 0)
          << sim::ToUtf8(c.path);
      EXPECT_EQ(GetLastError(), c.error) << sim::ToUtf8(c.path);
      const fs::path host = Host(c.path.substr(0, 4) == u"\\\\?\\" ? c.path.substr(4) : c.path);
      EXPECT_EQ(fs::is_directory(host), c.error == 0) << sim::ToUtf8(c.path);
      fs::remove(host);
    }
  }
  EXPECT_EQ(process_->Snapshot().live_local_blocks, 0u);
}

TEST_F(DirectoriesTest, RootedPathIsTakenOnTheCurrentDrive) {
  EXPECT_TRUE(CreateDirectoryW(u"\\Rooted", nullptr));
  EXPECT_TRUE(fs::is_directory(Host(u"C:\\Rooted")));
}

TEST_F(DirectoriesTest, VolumePathIsTheRootOfTheDrive) {
  fs::create_directories(Host(u"C:\\Setup"));
  struct Case {
    std::u16string path;
    DWORD length;
    bool ok;
    std::u16string root;
    DWORD error;
  } cases[] = {
      {u"C:\\Setup\\", 260, true, u"C:\\", 0},
      {u"c:\\setup\\installer.exe", 260, true, u"C:\\", 0},
      {u"D:\\does\\not\\exist\\", 260, true, u"D:\\", 0},  // components below the root need not exist
      {u"\\\\?\\C:\\Setup\\", 260, true, u"\\\\?\\C:\\", 0},
      {u"\\", 260, true, u"C:\\", 0},                      // rooted: the current drive
      {u"relative\\name", 260, true, u"C:\\", 0},          // relative: the boot volume
      {u"C:\\Setup\\", 4, true, u"C:\\", 0},
      {u"C:\\Setup\\", 3, true, u"C:", 0},                 // one short: without the backslash
      {u"C:\\Setup\\", 2, false, u"", ERROR_FILENAME_EXCED_RANGE},
      {u"Q:\\Setup\\", 260, false, u"", ERROR_PATH_NOT_FOUND},
      {u"", 260, false, u"", ERROR_SUCCESS},               // fails, yet reports no error
  };
  for (const Case& c : cases) {
    WCHAR buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    SetLastError(12345);
    EXPECT_EQ(GetVolumePathNameW(c.path.c_str(), buffer, c.length) != FALSE, c.ok) << sim::ToUtf8(c.path);
    if (c.ok) {
      EXPECT_EQ(std::u16string(buffer), c.root) << sim::ToUtf8(c.path);
    } else {
      EXPECT_EQ(GetLastError(), c.error) << sim::ToUtf8(c.path);
    }
    EXPECT_EQ(buffer[c.length], u'#') << sim::ToUtf8(c.path);
  }
}

TEST_F(DirectoriesTest, VolumeInformationTellsNtfsFromFat) {
  sim::Machine(machine_.root()).SetSetting("volume.C.label", "System");
  machine_.Start();
  struct Case {
    const char16_t* root;
    DWORD flags_with;
    DWORD flags_without;
    std::u16string file_system;
    std::u16string label;
  } cases[] = {
      {u"C:\\", FILE_PERSISTENT_ACLS | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, 0, u"NTFS", u"System"},
      {u"D:\\", FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK, FILE_PERSISTENT_ACLS, u"FAT", u""},
      {nullptr, FILE_PERSISTENT_ACLS, 0, u"NTFS", u"System"},  // the current directory's volume
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root ? sim::ToUtf8(c.root) : "null");
    WCHAR label[32], file_system[32];
    DWORD serial = 0, component = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(c.root, label, 32, &serial, &component, &flags, file_system, 32));
    EXPECT_EQ(flags & c.flags_with, c.flags_with);
    EXPECT_EQ(flags & c.flags_without, 0u);
    EXPECT_EQ(std::u16string(file_system), c.file_system);
    EXPECT_EQ(std::u16string(label), c.label);
    EXPECT_EQ(component, 255u);
  }
  // Flags alone, every other output null, as the work directory asks.
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"D:\\", nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
  EXPECT_EQ(flags & FILE_PERSISTENT_ACLS, 0u);

  struct Refusal {
    const char16_t* root;
    DWORD name_size;
    DWORD error;
  } refusals[] = {
      {u"C:", 32, ERROR_INVALID_NAME},               // no trailing backslash
      {u"C:\\Windows\\", 32, ERROR_DIR_NOT_ROOT},
      {u"Q:\\", 32, ERROR_PATH_NOT_FOUND},
      {u"C:\\", 4, ERROR_BAD_LENGTH},                // "NTFS" and its terminator need 5
  };
  for (const Refusal& r : refusals) {
    WCHAR file_system[32];
    EXPECT_FALSE(GetVolumeInformationW(r.root, nullptr, 0, nullptr, nullptr, &flags, file_system, r.name_size))
        << sim::ToUtf8(r.root);
    EXPECT_EQ(GetLastError(), r.error) << sim::ToUtf8(r.root);
  }
}

}  // namespace
