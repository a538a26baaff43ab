// The work-directory step against the simulated Windows: the name, the room checks, the
// descriptor and its failures, the attempts, unpack-only runs, what is left allocated,
// and the protection seen by another host user.
#include "stub/workdir/work_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_directories.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "stub/config/configuration.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr char kOwner[] = "S-1-5-21-1-2-3-1001";
constexpr char kExpectedSddl[] =
    "D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;"
    "S-1-5-21-1-2-3-1001)";
// The same descriptor as the simulation keeps it: flags in the order of their bits.
constexpr char kKeptSddl[] =
    "D:PAI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;OICIIO;GA;;;CO)(A;;FA;;;"
    "S-1-5-21-1-2-3-1001)";
constexpr const char* kSecurityCalls[] = {"OpenProcessToken(", "GetTokenInformation(", "ConvertSidToStringSidW(",
                                          "ConvertStringSecurityDescriptorToSecurityDescriptorW("};

std::vector<BYTE> Bytes(const std::string& hex) { return *sim::ParseHexBytes(hex); }

// "C:\aaa...\aaa\" of exactly `units` units, in components short enough for the host.
std::u16string DirectoryOfLength(size_t units) {
  std::u16string path = u"C:\\";
  while (path.size() < units) {
    size_t take = std::min<size_t>(100, units - path.size());
    if (units - path.size() - take == 1) --take;  // never leave a one-unit (empty) component
    path += std::u16string(take - 1, u'a') + u"\\";
  }
  return path;
}

// "S-1-5-..." of exactly `units` units (at least 12).
std::string SidOfLength(size_t units) {
  std::string sid = "S-1-5";
  while (units - sid.size() > 22) sid += "-1000000000";
  const size_t rest = units - sid.size();
  const size_t first = rest / 2, second = rest - first;  // both 2 to 11 units: "-1", "-10", ...
  sid += "-1" + std::string(first - 2, '0') + "-1" + std::string(second - 2, '0');
  return sid;
}

class WorkDirectoryTest : public ::testing::Test {
 protected:
  void TearDown() override { unpack_only = false; }

  sim::Process& Start(const std::u16string& image, const std::string& random = "",
                      std::vector<sim::FaultRule> faults = {}) {
    if (image.size() > 2 && image[1] == u':' && image.find(u'\\') != std::u16string::npos) {
      machine_.WriteFile(image, "MZ");
    }
    sim::ProcessOptions options;
    options.image = image;
    options.random_bytes = Bytes(random);
    options.faults = std::move(faults);
    options.trace_file = (machine_.root() / "trace.txt").string();
    fs::remove(options.trace_file);  // each run's own trace
    return machine_.Start(options);
  }
  void SetOwner(const std::string& sid) { sim::Machine(machine_.root()).SetSetting("token_owner_sid", sid); }

  // The step as the run takes it; the hold it leaves is closed again on return, as the
  // run closes it at the latest when it ends.
  ExitResult Run(std::u16string& output_text) {
    PathString output;
    ScopedHandle hold;
    const ExitResult result = CreateWorkDirectory(GetModuleHandleW(nullptr), output, hold);
    output_text = output.Data();
    held_ = hold.IsValid();
    return result;
  }
  fs::path Host(const std::u16string& windows_path) const { return machine_.HostPath(windows_path, false); }
  std::string Trace() const { return testing_support::ReadHostFile((machine_.root() / "trace.txt").string()); }
  size_t Calls(const std::string& name) const {
    const std::string trace = Trace();
    size_t count = 0;
    for (size_t at = trace.find("] " + name); at != std::string::npos; at = trace.find("] " + name, at + 1)) ++count;
    return count;
  }
  // The token closed, and the SID text, the token buffer and the descriptor freed.
  void ExpectNothingLeft(sim::Process& process) const { testing_support::ExpectNothingLeft(process); }

  testing_support::TestMachine machine_;
  bool held_ = false;  // whether the last Run left a hold on the directory
};

TEST_F(WorkDirectoryTest, ScriptedBytesNameAProtectedDirectoryBesideTheExecutable) {
  SetOwner(kOwner);
  sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207");
  std::u16string output;
  const ExitResult result = Run(output);
  EXPECT_EQ(result.exit_code, kSuccess);
  EXPECT_EQ(result.extra_code, 0u);
  EXPECT_EQ(output, u"C:\\Setup\\TS_3FA9C.tmp\\");

  const fs::path directory = Host(u"C:\\Setup\\TS_3FA9C.tmp");
  ASSERT_TRUE(fs::is_directory(directory));
  EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(sim::ReadSecurityDescriptor(directory), kKeptSddl);
  EXPECT_NE(Trace().find("ConvertStringSecurityDescriptorToSecurityDescriptorW(\"" + std::string(kExpectedSddl) +
                         "\", 1, null) -> TRUE"),
            std::string::npos)
      << Trace();
  EXPECT_EQ(Calls("CreateDirectoryW("), 1u);
  EXPECT_TRUE(held_);
  EXPECT_EQ(Calls("CloseHandle("), 2u);  // the token; the hold, by the test
  EXPECT_EQ(Calls("LocalFree("), 3u);  // SID text, token buffer, descriptor
  ExpectNothingLeft(process);
}

TEST_F(WorkDirectoryTest, ModulePathLengthInBothKindsOfRun) {
  struct Case {
    size_t module_units;
    std::u16string file_name;
    bool unpack;
    DWORD exit_code;
  } cases[] = {
      {259, u"installer.exe", true, kSuccess},    // unpack-only: the executable's directory
      // Base of 246 units: the name fits the buffer, but the directory's 258 units are more
      // than CreateDirectoryW takes (248), so every attempt fails.
      {259, u"installer.exe", false, kWorkDirectoryFailed},
      {259, u"a.exe", true, kSuccess},
      {259, u"a.exe", false, 108u},         // base of 254 units: no room for the name
      {260, u"installer.exe", true, 109u},  // reported as cut short
      {260, u"installer.exe", false, 109u},
      {275, u"installer.exe", false, 109u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.module_units) + (c.unpack ? " unpack-only" : " normal") + " " +
                 sim::ToUtf8(c.file_name));
    const std::u16string directory = DirectoryOfLength(c.module_units - c.file_name.size());
    sim::Process& process = Start(directory + c.file_name, "3FA9C207");
    unpack_only = c.unpack;
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.extra_code, 0u);
    if (c.exit_code == kSuccess) {
      EXPECT_EQ(output, c.unpack ? directory : directory + u"TS_3FA9C.tmp\\");
    }
    EXPECT_EQ(Calls("CreateDirectoryW("), c.unpack || c.module_units >= 260 || c.file_name == u"a.exe" ? 0u : 10u);
    EXPECT_FALSE(held_);
    ExpectNothingLeft(process);
  }
}

TEST_F(WorkDirectoryTest, BaseDirectoryMustLeaveRoomForTheName) {
  // The directory created is the base and 12 units ("TS_XXXXX.tmp"); CreateDirectoryW
  // takes at most 248 units.
  struct Case {
    size_t base_units;
    DWORD exit_code;
    DWORD extra_code;
  } cases[] = {
      {235, 0u, 0},     // a directory of 247 units
      {236, 0u, 0},     // 248: the longest that can be created
      {237, 109u, 0},   // 249: ten attempts refused
      {246, 109u, 0},   // "TS_" ends at 249, the last that fits the buffer
      {247, 108u, 0},   // "TS_" ends at 250
      {254, 108u, 0},
      {258, 108u, 0},   // the longest base a module path can have: "TS_" itself does not fit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base_units);
    const std::u16string base = DirectoryOfLength(c.base_units);
    sim::Process& process = Start(base + u"a", "3FA9C207");
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.extra_code, c.extra_code);
    EXPECT_EQ(held_, c.exit_code == kSuccess);
    if (c.exit_code == kSuccess) {
      EXPECT_EQ(output, base + u"TS_3FA9C.tmp\\");
      EXPECT_EQ(output.size(), c.base_units + 13);
      EXPECT_TRUE(fs::is_directory(Host(base + u"TS_3FA9C.tmp")));
      fs::remove(Host(base + u"TS_3FA9C.tmp"));
    } else if (c.exit_code == kWorkDirectoryFailed) {
      EXPECT_EQ(Calls("CreateDirectoryW("), 10u);
      size_t refused = 0;
      const std::string trace = Trace();
      for (size_t at = trace.find("[error 206]"); at != std::string::npos; at = trace.find("[error 206]", at + 1)) {
        ++refused;
      }
      EXPECT_EQ(refused, 10u) << trace;
      EXPECT_EQ(std::distance(fs::directory_iterator(Host(base)), fs::directory_iterator()), 1) << "only a.exe";
    } else {
      // Refused before anything is asked of the system.
      EXPECT_EQ(Calls("GetVolumePathNameW("), 0u);
      EXPECT_EQ(Calls("CreateDirectoryW("), 0u);
      // The step's own answer agrees with the result it gives.
      PathString base_path, work;
      ASSERT_TRUE(base_path.Assign(base.c_str()));
      ExitResult direct = kSucceeded;
      EXPECT_FALSE(CreateUniqueDirectory(base_path, work, direct));
      EXPECT_EQ(direct.exit_code, 108u);
    }
    ExpectNothingLeft(process);
  }
}

TEST_F(WorkDirectoryTest, ModulePathWithoutADirectory) {
  struct Case {
    std::u16string image;
    bool unpack;
    DWORD exit_code;
    std::u16string output;
  } cases[] = {
      {u"\\installer.exe", true, kSuccess, u"\\"},  // the only backslash is the first unit
      {u"\\installer.exe", false, kSuccess, u"\\TS_3FA9C.tmp\\"},
      {u"C:installer.exe", true, 109u, u""},  // no backslash at all
      {u"C:installer.exe", false, 109u, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::ToUtf8(c.image) + (c.unpack ? " unpack-only" : " normal"));
    sim::Process& process = Start(c.image, "3FA9C207");
    unpack_only = c.unpack;
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.extra_code, 0u);
    if (c.exit_code == kSuccess) {
      EXPECT_EQ(output, c.output);
    }
    ExpectNothingLeft(process);
  }
  // The rooted name was created on the current directory's drive.
  EXPECT_TRUE(fs::is_directory(Host(u"C:\\TS_3FA9C.tmp")));
}

TEST_F(WorkDirectoryTest, ModuleFileNameFailureEndsTheStep) {
  for (bool unpack : {true, false}) {
    sim::Process& process = Start(u"C:\\Setup\\installer.exe", "", {{"GetModuleFileNameW", 1, ERROR_ACCESS_DENIED}});
    unpack_only = unpack;
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, 109u) << unpack;
    EXPECT_EQ(result.extra_code, 0u) << unpack;
    ExpectNothingLeft(process);
  }
}

TEST_F(WorkDirectoryTest, UnpackOnlyCreatesNothing) {
  sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207");
  unpack_only = true;
  std::u16string output;
  const ExitResult result = Run(output);
  EXPECT_EQ(result.exit_code, kSuccess);
  EXPECT_EQ(output, u"C:\\Setup\\");
  std::vector<fs::path> entries(fs::directory_iterator(Host(u"C:\\Setup")), fs::directory_iterator());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].filename(), "installer.exe");
  for (const char* call : {"CreateDirectoryW(", "SystemFunction036(", "GetVolumePathNameW(", "CreateFileW("}) {
    EXPECT_EQ(Calls(call), 0u) << call;
  }
  EXPECT_FALSE(held_);  // nothing created, nothing held
  for (const char* call : kSecurityCalls) EXPECT_EQ(Calls(call), 0u) << call;
  ExpectNothingLeft(process);
}

// Right after its creation the directory is opened with listing access (FILE_LIST_DIRECTORY
// 0x1), share mode read and write (0x3) but not delete, and backup semantics (0x02000000).
// While that is held, any open that asks for DELETE, as renaming or deleting the
// directory must, is refused with ERROR_SHARING_VIOLATION (32); others may still list it.
TEST_F(WorkDirectoryTest, TheNewDirectoryIsHeldAgainstRenamingAndDeletion) {
  sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207");
  PathString output;
  ScopedHandle hold;
  const ExitResult result = CreateWorkDirectory(GetModuleHandleW(nullptr), output, hold);
  ASSERT_EQ(result.exit_code, kSuccess);
  ASSERT_TRUE(hold.IsValid());
  const std::string trace = Trace();
  const size_t created = trace.find("] CreateDirectoryW(");
  const size_t opened = trace.find("] CreateFileW(\"C:\\\\Setup\\\\TS_3FA9C.tmp\\\\\", 0x1, 0x3, 3");
  ASSERT_NE(opened, std::string::npos) << trace;
  EXPECT_LT(created, opened);
  EXPECT_NE(trace.find("0x2000000", opened), std::string::npos) << trace;
  EXPECT_EQ(Calls("CreateFileW("), 1u);

  struct Probe {
    const char* what;
    DWORD access;
    DWORD share;
    DWORD error;  // 0: opened
  } probes[] = {
      {"delete, sharing everything", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 32},
      {"delete and attributes, as a rename opens its source", DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 32},
      {"every right", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 32},
      {"listing, sharing everything", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0},
      {"attributes only", FILE_READ_ATTRIBUTES, 0, 0},
  };
  for (const Probe& p : probes) {
    SetLastError(0);
    const HANDLE second = CreateFileW(output.Data(), p.access, p.share, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    EXPECT_EQ(second == INVALID_HANDLE_VALUE, p.error != 0) << p.what;
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), p.error) << p.what;
    } else {
      CloseHandle(second);
    }
  }
  EXPECT_TRUE(fs::is_directory(Host(u"C:\\Setup\\TS_3FA9C.tmp")));

  // Once let go, the directory can be opened for deletion again.
  hold.Close();
  EXPECT_FALSE(hold.IsValid());
  const HANDLE deleter = CreateFileW(output.Data(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(deleter, INVALID_HANDLE_VALUE);
  CloseHandle(deleter);

  // Holding again first lets go of what the hold had.
  ASSERT_TRUE(HoldWorkDirectory(output, hold));
  ASSERT_TRUE(HoldWorkDirectory(output, hold));
  EXPECT_EQ(process.Snapshot().open_handles.size(), 1u);
  hold.Close();
  ExpectNothingLeft(process);
}

// A directory that was created but cannot be opened is not used: the step fails as a
// failed creation does, with the open's error, and holds nothing.
TEST_F(WorkDirectoryTest, ADirectoryThatCannotBeHeldEndsWith109AndTheError) {
  SetOwner(kOwner);
  for (const DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
    sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207", {{"CreateFileW", 1, error}});
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, 109u) << error;
    EXPECT_EQ(result.extra_code, error);
    EXPECT_FALSE(held_) << error;
    EXPECT_EQ(Calls("CreateDirectoryW("), 1u) << error;
    // The refused hold, then the deletion of the directory it was for: an early exit runs
    // no cleanup, so the step removes what it made.
    EXPECT_EQ(Calls("CreateFileW("), 2u) << error;
    EXPECT_FALSE(fs::exists(Host(u"C:\\Setup\\TS_3FA9C.tmp"))) << error;
    // The token was closed and the descriptor released on the way out.
    ExpectNothingLeft(process);
  }
}

TEST_F(WorkDirectoryTest, NoDescriptorWhereTheVolumeKeepsNoAclsOrCannotBeAsked) {
  struct Case {
    const char* name;
    std::u16string image;
    std::vector<sim::FaultRule> faults;
  } cases[] = {
      {"FAT drive", u"D:\\Setup\\installer.exe", {}},
      {"volume root unreadable", u"C:\\Setup\\installer.exe", {{"GetVolumePathNameW", 1, ERROR_ACCESS_DENIED}}},
      {"volume flags unreadable", u"C:\\Setup\\installer.exe", {{"GetVolumeInformationW", 1, ERROR_NOT_SUPPORTED}}},
  };
  fs::create_directories(machine_.root() / "D");
  sim::Machine(machine_.root()).SetSetting("volume.D.file_system", "FAT");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Process& process = Start(c.image, "3FA9C207", c.faults);
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, kSuccess);
    const std::u16string directory = c.image.substr(0, 9) + u"TS_3FA9C.tmp";
    EXPECT_EQ(output, directory + u"\\");
    const fs::path host = Host(directory);
    ASSERT_TRUE(fs::is_directory(host));
    EXPECT_FALSE(sim::ReadSecurityDescriptor(host));
    EXPECT_NE(fs::status(host).permissions() & fs::perms::all, fs::perms::owner_all);
    for (const char* call : kSecurityCalls) EXPECT_EQ(Calls(call), 0u) << call;
    EXPECT_NE(Trace().find("CreateDirectoryW(\"" + sim::ToUtf8(c.image.substr(0, 2)) +
                           "\\\\Setup\\\\TS_3FA9C.tmp\", null) -> TRUE"),
              std::string::npos)
        << Trace();
    ExpectNothingLeft(process);
    fs::remove(host);
  }
}

TEST_F(WorkDirectoryTest, TenFailedCreationsEndWith109AndReleaseTheDescriptor) {
  // A parent that admits only the system: every creation is refused.
  const fs::path parent = machine_.HostPath(u"C:\\Locked\\installer.exe").parent_path();
  ASSERT_TRUE(sim::WriteSecurityDescriptor(parent, "D:P(A;;FA;;;SY)"));
  std::string random;
  for (int i = 0; i < 10; ++i) random += "0" + std::to_string(i) + "ABCDEF";
  sim::Process& process = Start(u"C:\\Locked\\installer.exe", random);
  std::u16string output;
  const ExitResult result = Run(output);
  EXPECT_EQ(result.exit_code, 109u);
  EXPECT_EQ(result.extra_code, 0u);
  EXPECT_EQ(output, u"C:\\Locked\\TS_09ABC.tmp");  // the last name tried, no backslash
  EXPECT_EQ(Calls("CreateDirectoryW("), 10u);
  EXPECT_EQ(Calls("SystemFunction036("), 10u);
  const std::string trace = Trace();
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(trace.find("TS_0" + std::to_string(i) + "ABC.tmp\", {24, "), std::string::npos) << i;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(parent), fs::directory_iterator()), 1);
  ExpectNothingLeft(process);
}

TEST_F(WorkDirectoryTest, SquattedNamesCostOneAttemptEach) {
  // Another process holds the first two names: a directory, and a file whose name
  // differs only in case.
  fs::create_directories(machine_.HostPath(u"C:\\Setup\\TS_3FA9C.tmp\\x").parent_path());
  machine_.WriteFile(u"C:\\Setup\\ts_11111.tmp", "");
  sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207" "11111111" "22222222");
  std::u16string output;
  const ExitResult result = Run(output);
  EXPECT_EQ(result.exit_code, kSuccess);
  EXPECT_EQ(output, u"C:\\Setup\\TS_22222.tmp\\");
  EXPECT_EQ(Calls("CreateDirectoryW("), 3u);
  const std::string trace = Trace();
  EXPECT_NE(trace.find("TS_3FA9C.tmp\", {24, "), std::string::npos);
  EXPECT_NE(trace.find("TS_11111.tmp\", {24, "), std::string::npos);
  size_t refused = 0;
  for (size_t at = trace.find("[error 183]"); at != std::string::npos; at = trace.find("[error 183]", at + 1)) ++refused;
  EXPECT_EQ(refused, 2u);
  EXPECT_TRUE(sim::ReadSecurityDescriptor(Host(u"C:\\Setup\\TS_22222.tmp")));
  EXPECT_FALSE(sim::ReadSecurityDescriptor(Host(u"C:\\Setup\\TS_3FA9C.tmp")));
  ExpectNothingLeft(process);
}

TEST_F(WorkDirectoryTest, FailedRandomDrawGivesZeroBytesNotTheLastName) {
  fs::create_directories(machine_.HostPath(u"C:\\Setup\\TS_3FA9C.tmp\\x").parent_path());
  sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207", {{"SystemFunction036", 2, 0}});
  std::u16string output;
  const ExitResult result = Run(output);
  EXPECT_EQ(result.exit_code, kSuccess);
  EXPECT_EQ(output, u"C:\\Setup\\TS_00000.tmp\\");
  EXPECT_EQ(Calls("CreateDirectoryW("), 2u);
  ExpectNothingLeft(process);
}

TEST_F(WorkDirectoryTest, DescriptorFailuresEndWith117AndTheFailingCallsError) {
  struct Case {
    sim::FaultRule fault;
    size_t token_queries;  // GetTokenInformation calls made
  } cases[] = {
      {{"OpenProcessToken", 1, ERROR_ACCESS_DENIED}, 0},
      {{"GetTokenInformation", 1, ERROR_NO_TOKEN}, 1},  // the size query
      // The size query's own error, but no size written: nothing to allocate.
      {{"GetTokenInformation", 1, ERROR_INSUFFICIENT_BUFFER}, 1},
      {{"GetTokenInformation", 2, ERROR_INVALID_ACL}, 2},
      {{"LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY}, 1},
      {{"ConvertSidToStringSidW", 1, ERROR_INVALID_SID}, 2},
      {{"ConvertStringSecurityDescriptorToSecurityDescriptorW", 1, ERROR_INVALID_SECURITY_DESCR}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.function + " call " + std::to_string(c.fault.call));
    sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207", {c.fault});
    std::u16string output;
    const ExitResult result = Run(output);
    EXPECT_EQ(result.exit_code, 117u);
    EXPECT_EQ(result.extra_code, c.fault.error);
    EXPECT_EQ(Calls("CreateDirectoryW("), 0u);
    EXPECT_EQ(Calls("OpenProcessToken("), 1u);
    EXPECT_EQ(Calls("GetTokenInformation("), c.token_queries);
    EXPECT_EQ(Calls("CloseHandle("), c.fault.function == "OpenProcessToken" ? 0u : 1u);
    ExpectNothingLeft(process);
    // The step's own answer agrees with the result it gives.
    sim::Process& again = Start(u"C:\\Setup\\installer.exe", "3FA9C207", {c.fault});
    PathString base, work;
    ASSERT_TRUE(base.Assign(u"C:\\Setup\\"));
    ExitResult direct = kSucceeded;
    EXPECT_FALSE(CreateUniqueDirectory(base, work, direct));
    EXPECT_EQ(direct.exit_code, 117u);
    ExpectNothingLeft(again);
  }
}

TEST_F(WorkDirectoryTest, OwnerSidLengthAgainstTheDescriptorText) {
  struct Case {
    size_t sid_units;
    bool converted;  // whether the descriptor text was complete and handed on
  } cases[] = {
      {206, true},   // 92 + 206 + 1 = 299 units: fits
      {207, false},  // 300 units: one too many
      {260, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sid_units);
    const std::string sid = SidOfLength(c.sid_units);
    ASSERT_EQ(sid.size(), c.sid_units);
    SetOwner(sid);
    sim::Process& process = Start(u"C:\\Setup\\installer.exe", "3FA9C207");
    std::u16string output;
    const ExitResult result = Run(output);
    // Windows allows no SID this long, so no system could convert the text either.
    EXPECT_EQ(result.exit_code, 117u);
    EXPECT_EQ(Calls("ConvertSidToStringSidW("), 1u);
    EXPECT_EQ(Calls("ConvertStringSecurityDescriptorToSecurityDescriptorW("), c.converted ? 1u : 0u);
    if (c.converted) {
      EXPECT_NE(Trace().find(sid + ")\", 1, null) -> FALSE"), std::string::npos);
    }
    EXPECT_EQ(Calls("CreateDirectoryW("), 0u);
    ExpectNothingLeft(process);
  }
}

// Another host user can neither list the work directory nor create a file in it, while a
// directory created without a descriptor beside it stays open to that user.
TEST_F(WorkDirectoryTest, OtherHostUsersAreShutOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  constexpr uid_t kNobody = 65534;
  Start(u"C:\\Setup\\installer.exe", "3FA9C207");
  std::u16string output;
  ASSERT_EQ(Run(output).exit_code, kSuccess);
  ASSERT_TRUE(CreateDirectoryW(u"C:\\Setup\\Open", nullptr));
  // Only the work directory's own mode may shut the other user out: every folder above it
  // is opened for traversal (the test's temporary folder is made private).
  for (fs::path folder = Host(u"C:\\Setup"); folder != machine_.folder().parent_path(); folder = folder.parent_path()) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }
  const std::string work = Host(u"C:\\Setup\\TS_3FA9C.tmp").string();
  const std::string open = Host(u"C:\\Setup\\Open").string();

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(100);
    int failures = 0;
    DIR* listing = ::opendir(open.c_str());
    if (listing == nullptr) failures |= 1;  // the control: an open directory is listable
    else ::closedir(listing);
    listing = ::opendir(work.c_str());
    if (listing != nullptr || errno != EACCES) failures |= 2;
    const int file = ::open((work + "/intruder.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (file >= 0 || errno != EACCES) failures |= 4;
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: open directory not listable, 2: work directory listed, "
                                       "4: file created in the work directory (100: no such user)";
  EXPECT_FALSE(fs::exists(work + "/intruder.txt"));
}

}  // namespace
