// Whole installations: installer_host with a payload image, run by winsim in a fresh
// simulated machine with the setup stand-ins in place of the two setup programs. Each
// scenario is judged as a user or a parent process can judge it: the exit code, the files
// left on disk, the command lines the children received (the stand-ins' record) and the
// stub's accounting at exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/text.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"
#include "tools/standins/setup_patch.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;
using testing_support::StandInProgram;

constexpr char16_t kDownloads[] = u"C:\\Users\\Ann\\Downloads\\";
constexpr char16_t kInstalled[] = u"C:\\Program Files (x86)\\Pellora\\Application\\4.2.1.7\\Installer\\setup.exe";
constexpr char16_t kClientState[] = u"Software\\Pellora\\Update\\ClientState";
constexpr char16_t kPolicyKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora";
// Scripted random bytes: the work directory is TS_3FA9C.tmp.
constexpr char kRandom[] = "3FA9C0DE";
constexpr char16_t kWorkName[] = u"TS_3FA9C.tmp\\";
constexpr char kArchiveBytes[] = "7z\xBC\xAF\x27\x1C product archive";

std::string StandInBytes(const char* name) { return ReadHostFile(StandInProgram(name).string()); }

std::u16string Quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

// A path as the trace quotes it: backslashes doubled.
std::string TraceQuoted(const std::u16string& path) {
  std::string quoted = "\"";
  for (char c : sim::ToUtf8(path)) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return quoted + "\"";
}

// What the payload image holds; an empty type leaves that resource out.
struct Payload {
  std::u16string archive_type = u"B7";
  std::u16string setup_type = u"BL";
  std::u16string archive_name = u"PELLORA.PACKED.7Z";
  std::u16string setup_name;  // default by type: SETUP.PATCH, SETUP.EX_, SETUP.EXE
  bool damaged_cabinet = false;

  Payload& ArchiveType(std::u16string type) { archive_type = std::move(type); return *this; }
  Payload& SetupType(std::u16string type) { setup_type = std::move(type); return *this; }
  Payload& ArchiveName(std::u16string name) { archive_name = std::move(name); return *this; }
  Payload& SetupName(std::u16string name) { setup_name = std::move(name); return *this; }
  Payload& DamagedCabinet() { damaged_cabinet = true; return *this; }
};

std::u16string SetupName(const Payload& payload) {
  if (!payload.setup_name.empty()) return payload.setup_name;
  if (payload.setup_type == u"B7") return u"SETUP.PATCH";
  if (payload.setup_type == u"BL") return u"SETUP.EX_";
  return u"SETUP.EXE";
}

std::string SetupResource(const Payload& payload) {
  const std::string setup = StandInBytes("setup_standin");
  if (payload.setup_type == u"B7") return standins::MakeSetupPatch(StandInBytes("installed_setup_standin"), setup);
  if (payload.setup_type == u"BN") return setup;
  std::string cabinet = testing_support::BuildCabinet({{1, {{"setup.exe", setup}}}});
  if (payload.damaged_cabinet) cabinet.resize(cabinet.size() / 2);
  return cabinet;
}

struct RunOutcome {
  DWORD exit_code = 0xDEADBEEF;
  std::string output;
  std::string trace;
  std::string accounting;
  std::vector<standins::StandInRun> runs;
  std::set<std::u16string> left;  // everything below the installer's folder, relative to it
};

class InstallationRunTest : public ::testing::Test {
 protected:
  InstallationRunTest() { fs::create_directories(scratch_); }
  void TearDown() override { fs::remove_all(scratch_); }

  // The installer's folder (ends with a backslash) and the image in it.
  void UseFolder(const std::u16string& folder) { folder_ = folder; }
  std::u16string Image() const { return folder_ + u"installer.exe"; }
  std::u16string WorkDirectory() const { return folder_ + kWorkName; }

  void InstallImage(const Payload& payload) {
    std::vector<testing_support::ImageResource> resources;
    if (!payload.archive_type.empty()) {
      resources.push_back({payload.archive_type, payload.archive_name, kArchiveBytes});
    }
    if (!payload.setup_type.empty()) resources.push_back({payload.setup_type, SetupName(payload), SetupResource(payload)});
    machine_.WriteFile(Image(), testing_support::MakeResourceImage(resources));
  }
  // The installed product: its setup program registered as the user's, quoted.
  void InstallPreviousSetup() {
    testing_support::InstallStandIn(machine_, kInstalled, "installed_setup_standin");
    sim::RegistryStore store(machine_.root());
    const std::u16string value = Quoted(kInstalled) + std::u16string(1, u'\0');
    store.SetValue(sim::ViewPath(sim::RegistryRoot::kCurrentUser, kClientState, sim::RegistryView::k32),
                   {u"UninstallString", REG_SZ, {reinterpret_cast<const BYTE*>(value.data()),
                                                 reinterpret_cast<const BYTE*>(value.data() + value.size())}});
    store.Save();
  }
  void DisableCleanup() {
    const auto set = RunHostCommand({(BuildDirectory() / "winsim").string(), "reg", "set", "--root",
                                     machine_.root().string(), "HKCU\\" + sim::ToUtf8(kPolicyKey),
                                     "TarselInstallerCleanup", "--string", "0"});
    ASSERT_EQ(set.exit_status, 0) << set.output;
  }
  void Set(const char* key, const std::string& value) { testing_support::SetMachineSetting(machine_, key, value); }

  RunOutcome Run(const std::u16string& arguments = u"") {
    const fs::path trace = scratch_ / "trace.txt", accounting = scratch_ / "accounting.txt";
    const auto result = RunHostCommand(
        {(BuildDirectory() / "winsim").string(), "run", "--root", machine_.root().string(), "--image",
         sim::ToUtf8(Image()), "--command-line", sim::ToUtf8(Quoted(Image()) + arguments), "--trace", trace.string(),
         "--accounting", accounting.string(), "--virtual-sleep", "--random", kRandom, "--print-exit-code",
         (BuildDirectory() / "installer_host").string()});
    RunOutcome outcome;
    outcome.output = result.output;
    const size_t at = result.output.find("exit code: ");
    if (at != std::string::npos) outcome.exit_code = static_cast<DWORD>(std::stoul(result.output.substr(at + 11)));
    outcome.trace = ReadHostFile(trace.string());
    outcome.accounting = ReadHostFile(accounting.string());
    outcome.runs = testing_support::RecordedRuns(machine_);
    const fs::path folder = machine_.HostPath(folder_);
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      outcome.left.insert(sim::ToUtf16(entry.path().lexically_relative(folder).string()));
    }
    return outcome;
  }

  // The setup program's exact line for the work directory of this run.
  std::u16string SetupLine(const std::u16string& archive_switch, const std::u16string& archive_name,
                           const std::u16string& arguments = u"") const {
    return Quoted(WorkDirectory() + u"setup.exe") + u" --" + archive_switch + u"=" +
           Quoted(WorkDirectory() + archive_name) + u" --pellora-mini" + arguments;
  }
  std::u16string PatchLine(const std::u16string& directory, const std::u16string& arguments = u"") const {
    return Quoted(kInstalled) + u" --update-setup-exe=" + Quoted(directory + u"SETUP.PATCH") +
           u" --new-setup-exe=" + Quoted(directory + u"setup.exe") + arguments;
  }

  // No handle open and no block allocated at exit; the only module still loaded, if any,
  // is the cabinet library.
  static void ExpectNothingHeld(const RunOutcome& run, bool cabinet_loaded) {
    EXPECT_NE(run.accounting.find("unfired_faults 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find("open_handles 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find("live_heap_blocks 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find("live_local_blocks 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find(cabinet_loaded ? "loaded_modules 1\n" : "loaded_modules 0\n"), std::string::npos)
        << run.accounting;
    if (cabinet_loaded) {
      EXPECT_NE(run.accounting.find("cabinet.dll loads 1\n"), std::string::npos) << run.accounting;
    }
  }
  static std::vector<std::string> Lines(const RunOutcome& run) {
    std::vector<std::string> lines;
    for (const auto& child : run.runs) lines.push_back(child.program + ": " + sim::ToUtf8(child.command_line));
    return lines;
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
  std::u16string folder_ = kDownloads;
};

std::vector<std::string> Expected(std::initializer_list<std::pair<const char*, std::u16string>> runs) {
  std::vector<std::string> lines;
  for (const auto& [program, line] : runs) lines.push_back(std::string(program) + ": " + sim::ToUtf8(line));
  return lines;
}

using Left = std::set<std::u16string>;

TEST_F(InstallationRunTest, AReleaseLayoutRunWithoutArgumentsInstallsAndLeavesNothing) {
  InstallImage(Payload());
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"setup", SetupLine(u"install-archive", u"PELLORA.PACKED.7Z")}}));
  ASSERT_EQ(run.runs.size(), 1u);
  // Setup found the archive and itself beside it; the cabinet was already gone.
  EXPECT_EQ(run.runs[0].beside.size(), 2u);
  EXPECT_EQ(run.runs[0].beside[0].first, u"PELLORA.PACKED.7Z");
  EXPECT_EQ(run.runs[0].beside[1].first, u"setup.exe");
  EXPECT_EQ(run.runs[0].creation_flags, 0x08000000u);  // CREATE_NO_WINDOW
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  EXPECT_NE(run.accounting.find("working_set_trims 1\n"), std::string::npos) << run.accounting;
  ExpectNothingHeld(run, true);
}

TEST_F(InstallationRunTest, SetupsExitCodeIsPassedOnAfterTheCleanup) {
  InstallImage(Payload());
  for (const DWORD code : {3u, 108u, 0xC0000409u}) {
    Set(standins::kSetupExitCodeSetting, std::to_string(code));
    const RunOutcome run = Run(u" --pellora-silent");
    EXPECT_EQ(run.exit_code, code) << run.output;
    ASSERT_FALSE(run.runs.empty());
    EXPECT_EQ(sim::ToUtf8(run.runs.back().command_line),
              sim::ToUtf8(SetupLine(u"install-archive", u"PELLORA.PACKED.7Z", u" --pellora-silent")));
    EXPECT_EQ(run.runs.back().startup_flags, 0x81u);
    EXPECT_EQ(run.left, Left({u"installer.exe"})) << code;
    ExpectNothingHeld(run, true);
  }
}

TEST_F(InstallationRunTest, ARejectedSwitchTouchesNothing) {
  InstallImage(Payload());
  const RunOutcome run = Run(u" --system-level --CLEANUP");
  EXPECT_EQ(run.exit_code, 118u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  EXPECT_EQ(run.trace.find("CreateDirectoryW("), std::string::npos);
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, NoArchiveResourceRemovesTheEmptyWorkDirectory) {
  InstallImage(Payload().ArchiveType(u""));
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 112u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  const std::string directory = TraceQuoted(folder_ + u"TS_3FA9C.tmp");
  EXPECT_NE(run.trace.find("CreateDirectoryW(" + directory.substr(0, directory.size() - 1)), std::string::npos)
      << run.trace;
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, AnArchiveUnderAnotherTypeIsPassedAsUncompressed) {
  for (const std::u16string type : {u"BL", u"BN"}) {
    fs::remove(machine_.HostPath(standins::kDefaultRecordPath, false));
    InstallImage(Payload().ArchiveType(type).SetupType(u"BN"));
    const RunOutcome run = Run(u" x");
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(Lines(run), Expected({{"setup", SetupLine(u"uncompressed-archive", u"PELLORA.PACKED.7Z", u" x")}}));
    EXPECT_EQ(run.left, Left({u"installer.exe"}));
    ExpectNothingHeld(run, false);
  }
}

TEST_F(InstallationRunTest, CleanupDisabledByPolicyLeavesTheWorkDirectory) {
  DisableCleanup();
  InstallImage(Payload());
  Set(standins::kSetupExitCodeSetting, "7");
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 7u) << run.output;
  EXPECT_EQ(run.runs.size(), 1u);
  EXPECT_EQ(run.left, Left({u"installer.exe", u"TS_3FA9C.tmp", u"TS_3FA9C.tmp/PELLORA.PACKED.7Z",
                            u"TS_3FA9C.tmp/setup.exe"}));
  ExpectNothingHeld(run, true);
}

TEST_F(InstallationRunTest, APatchIsTurnedIntoSetupByTheInstalledProgram) {
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7"));
  const RunOutcome run = Run(u" --system-level");
  // A system-level run looks only below HKLM, where nothing is registered.
  EXPECT_EQ(run.exit_code, 110u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  // The patch was never used, so it stays, and with it the work directory.
  EXPECT_EQ(run.left, Left({u"installer.exe", u"TS_3FA9C.tmp", u"TS_3FA9C.tmp/SETUP.PATCH"}));
  ExpectNothingHeld(run, false);

  fs::remove_all(machine_.HostPath(WorkDirectory()));
  const RunOutcome user = Run(u" --pellora-silent");
  EXPECT_EQ(user.exit_code, 0u) << user.output;
  EXPECT_EQ(Lines(user), Expected({{"installed-setup", PatchLine(WorkDirectory(), u" --pellora-silent")},
                                   {"setup", SetupLine(u"install-archive", u"PELLORA.PACKED.7Z", u" --pellora-silent")}}));
  EXPECT_EQ(user.left, Left({u"installer.exe"}));
  ExpectNothingHeld(user, false);
}

// A patch stored under the name "SETUP.EXE" names the file that the patching run
// rebuilds: the rebuilt program stays for the launch and goes with the cleanup.
TEST_F(InstallationRunTest, APatchStoredAsSetupExeIsRebuiltInPlaceAndRuns) {
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7").SetupName(u"SETUP.EXE"));
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"installed-setup", Quoted(kInstalled) + u" --update-setup-exe=" +
                                                          Quoted(WorkDirectory() + u"SETUP.EXE") + u" --new-setup-exe=" +
                                                          Quoted(WorkDirectory() + u"setup.exe")},
                                  {"setup", SetupLine(u"install-archive", u"PELLORA.PACKED.7Z")}}));
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, APatchingProgramThatFailsEndsTheRunWithItsCode) {
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7"));
  Set(standins::kInstalledExitCodeSetting, "5");
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 5u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"installed-setup", PatchLine(WorkDirectory())}}));
  // The patch went with the patching run; the archive and the directory with the cleanup.
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, APatchingProgramThatWritesNothingLeavesSetupMissing) {
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7"));
  Set(standins::kInstalledWriteSetting, "no");
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 122u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"installed-setup", PatchLine(WorkDirectory())}}));
  // The missing program's attributes are what the stub reports with it.
  EXPECT_NE(run.trace.find("GetFileAttributesW(" + TraceQuoted(WorkDirectory() + u"setup.exe") +
                           ") -> INVALID_FILE_ATTRIBUTES"),
            std::string::npos)
      << run.trace;
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, AWorkDirectoryTooLongForTheRebuiltSetupStopsAtOnce) {
  // 238 units up to and including the last backslash: "TS_" fits, the work directory is
  // 251 units, "PELLORA" and "SETUP" fit after it and "setup.exe" does not.
  std::u16string folder = u"C:\\";
  while (folder.size() < 238) folder += std::u16string(std::min<size_t>(100, 237 - folder.size()), u'f') + u"\\";
  ASSERT_EQ(folder.size(), 238u);
  UseFolder(folder);
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7").ArchiveName(u"PELLORA").SetupName(u"SETUP"));
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 108u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  EXPECT_EQ(run.left, Left({u"installer.exe", u"TS_3FA9C.tmp", u"TS_3FA9C.tmp/PELLORA", u"TS_3FA9C.tmp/SETUP"}));
  EXPECT_EQ(run.accounting.find("working_set_trims 1\n"), std::string::npos) << "no trim";
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, UnpackOnlyPatchesBesideTheExecutableAndStops) {
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7"));
  const RunOutcome run = Run(u" --pellora-unpack");
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"installed-setup", PatchLine(folder_, u" --pellora-unpack")}}));
  EXPECT_EQ(run.left, Left({u"installer.exe", u"PELLORA.PACKED.7Z", u"setup.exe"}));
  EXPECT_TRUE(ReadHostFile(machine_.HostPath(folder_ + u"setup.exe").string()) ==
              StandInBytes("setup_standin"))
      << "not the setup stand-in";
  EXPECT_EQ(run.trace.find("CreateDirectoryW("), std::string::npos);
  ExpectNothingHeld(run, false);
}

TEST_F(InstallationRunTest, UnpackOnlyKeepsWhatAFailedUnpackLeft) {
  InstallImage(Payload().DamagedCabinet());
  const RunOutcome run = Run(u" --pellora-unpack");
  EXPECT_EQ(run.exit_code, 115u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  // The archive stays; the cabinet was deleted and its partial expansion with it.
  EXPECT_EQ(run.left, Left({u"installer.exe", u"PELLORA.PACKED.7Z"}));
  EXPECT_EQ(run.accounting.find("working_set_trims 1\n"), std::string::npos) << "no trim";
  ExpectNothingHeld(run, true);
}

}  // namespace
