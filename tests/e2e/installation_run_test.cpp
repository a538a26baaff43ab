// Whole installations: installer_host with a payload image, run by winsim in a fresh
// simulated machine with the setup stand-ins in place of the two setup programs. Each
// scenario is judged as a user or a parent process can judge it: the exit code, the files
// left on disk, the command lines the children received (the stand-ins' record) and the
// stub's accounting at exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
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
  void UseFolder(const std::u16string& folder, const std::u16string& image_name = u"installer.exe") {
    folder_ = folder;
    image_name_ = image_name;
  }
  std::u16string Image() const { return folder_ + image_name_; }
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

  // `options` go to winsim before the program (a fault, say).
  RunOutcome Run(const std::u16string& arguments = u"", const std::vector<std::string>& options = {}) {
    const fs::path trace = scratch_ / "trace.txt", accounting = scratch_ / "accounting.txt";
    // Each run's own trace: the trace file is appended to.
    fs::remove(trace);
    fs::remove(accounting);
    std::vector<std::string> command = {
        (BuildDirectory() / "winsim").string(), "run", "--root", machine_.root().string(), "--image",
        sim::ToUtf8(Image()), "--command-line", sim::ToUtf8(Quoted(Image()) + arguments), "--trace", trace.string(),
        "--accounting", accounting.string(), "--virtual-sleep", "--random", kRandom, "--print-exit-code"};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back((BuildDirectory() / "installer_host").string());
    const auto result = RunHostCommand(command);
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
  std::u16string image_name_ = u"installer.exe";
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

// "C:\fff...\" of exactly `units` units, in components short enough for the host.
std::u16string FolderOfLength(size_t units) {
  std::u16string folder = u"C:\\";
  while (folder.size() < units) folder += std::u16string(std::min<size_t>(100, units - 1 - folder.size()), u'f') + u"\\";
  return folder;
}

// The work directory is the folder and "TS_XXXXX.tmp"; a process that is not long-path
// aware creates directories of at most 248 units.
TEST_F(InstallationRunTest, AWorkDirectoryTooDeepToCreateEndsWith109) {
  struct Case {
    size_t folder_units;
    DWORD exit_code;
  } cases[] = {
      {236, 0},    // a work directory of 248 units: installed
      {237, 109},  // 249: each of the ten attempts is refused
      {238, 109},
  };
  for (const Case& c : cases) {
    UseFolder(FolderOfLength(c.folder_units));
    ASSERT_EQ(folder_.size(), c.folder_units);
    fs::remove(machine_.HostPath(standins::kDefaultRecordPath, false));
    // A short archive name, so that its path fits after a work directory of 249 units.
    InstallImage(Payload().ArchiveName(u"PELLORA"));
    const RunOutcome run = Run();
    EXPECT_EQ(run.exit_code, c.exit_code) << c.folder_units << "\n" << run.output;
    EXPECT_EQ(run.left, Left({u"installer.exe"})) << c.folder_units;
    if (c.exit_code == 0) {
      EXPECT_EQ(Lines(run), Expected({{"setup", SetupLine(u"install-archive", u"PELLORA")}}));
    } else {
      EXPECT_TRUE(run.runs.empty()) << c.folder_units;
      size_t refused = 0;
      for (size_t at = run.trace.find("CreateDirectoryW("); at != std::string::npos;
           at = run.trace.find("CreateDirectoryW(", at + 1)) {
        const size_t end = run.trace.find('\n', at);
        if (run.trace.substr(at, end - at).find("-> FALSE [error 206]") != std::string::npos) ++refused;
      }
      EXPECT_EQ(refused, 10u) << run.trace;
      EXPECT_EQ(run.accounting.find("working_set_trims 1\n"), std::string::npos) << "no trim";
    }
    ExpectNothingHeld(run, c.exit_code == 0);
  }
}

// An unpack-only run writes beside the executable, so the rebuilt setup's path can still
// overflow: a folder of 251 units takes "PELLORA" and "SETUP" but not "setup.exe".
TEST_F(InstallationRunTest, AFolderTooLongForTheRebuiltSetupStopsAtOnce) {
  UseFolder(FolderOfLength(251), u"a.exe");
  ASSERT_EQ(folder_.size(), 251u);
  InstallPreviousSetup();
  InstallImage(Payload().SetupType(u"B7").ArchiveName(u"PELLORA").SetupName(u"SETUP"));
  const RunOutcome run = Run(u" --pellora-unpack");
  EXPECT_EQ(run.exit_code, 108u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  EXPECT_EQ(run.left, Left({u"a.exe", u"PELLORA", u"SETUP"}));
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

// The work directory is opened (listing access 0x1, share read and write 0x3, backup
// semantics) right after its creation and held while setup runs; the hold is let go just
// before the cleanup deletes the directory, or at the end of the run when the directory
// stays. No handle outlives the run either way.
TEST_F(InstallationRunTest, TheWorkDirectoryIsHeldFromItsCreationUntilItIsDeletedOrTheRunEnds) {
  const auto position = [](const std::string& trace, const std::string& part, size_t from = 0) {
    return trace.find(part, from);
  };
  for (const bool cleanup : {true, false}) {
    if (!cleanup) DisableCleanup();
    InstallImage(Payload());
    const RunOutcome run = Run();
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    const std::string& trace = run.trace;
    const std::string directory = TraceQuoted(WorkDirectory());
    const size_t created = position(trace, "CreateDirectoryW(" + directory.substr(0, directory.size() - 3) + "\"");
    const std::string open = "CreateFileW(" + directory + ", 0x1, 0x3, 3, 0x2000000) -> ";
    const size_t held = position(trace, open);
    ASSERT_NE(created, std::string::npos) << trace;
    ASSERT_NE(held, std::string::npos) << trace;
    EXPECT_LT(created, held);
    // Between the creation and the hold the descriptor is released, and nothing else.
    const size_t after_creation = trace.find('\n', created) + 1, hold_line = trace.rfind('\n', held) + 1;
    ASSERT_LE(after_creation, hold_line);
    std::istringstream between(trace.substr(after_creation, hold_line - after_creation));
    size_t calls_between = 0;
    for (std::string line; std::getline(between, line); ++calls_between) {
      EXPECT_NE(line.find("] LocalFree("), std::string::npos) << line;
    }
    EXPECT_EQ(calls_between, 1u);
    const size_t handle_at = held + open.size();
    const std::string handle = trace.substr(handle_at, trace.find('\n', handle_at) - handle_at);
    const size_t let_go = position(trace, "CloseHandle(" + handle + ")", held);
    ASSERT_NE(let_go, std::string::npos) << trace;
    EXPECT_LT(position(trace, "CreateProcessW("), let_go) << "held while setup runs";
    const size_t directory_deleted = position(trace, "CreateFileW(" + directory + ", 0x10000");
    if (cleanup) {
      EXPECT_LT(position(trace, "CreateFileW(" + TraceQuoted(WorkDirectory() + u"setup.exe") + ", 0x10000"), let_go);
      ASSERT_NE(directory_deleted, std::string::npos) << trace;
      EXPECT_LT(let_go, directory_deleted);
      EXPECT_EQ(run.left, Left({u"installer.exe"}));
    } else {
      EXPECT_EQ(directory_deleted, std::string::npos);
      EXPECT_EQ(run.left, Left({u"installer.exe", u"TS_3FA9C.tmp", u"TS_3FA9C.tmp/PELLORA.PACKED.7Z",
                                u"TS_3FA9C.tmp/setup.exe"}));
      fs::remove_all(machine_.HostPath(WorkDirectory()));
    }
    ExpectNothingHeld(run, true);
  }
}

// A work directory that was created but cannot be opened is not used: the run ends as a
// failed creation does, with exit code 109, before anything is unpacked and without the
// cleanup (an early exit); the empty directory it made is deleted right away, after the
// failed open, so nothing is left and no handle stays open.
TEST_F(InstallationRunTest, AWorkDirectoryThatCannotBeHeldEndsTheRunWith109) {
  InstallImage(Payload());
  const RunOutcome run = Run(u"", {"--fault", "CreateFileW:1:5"});
  EXPECT_EQ(run.exit_code, 109u) << run.output;
  EXPECT_TRUE(run.runs.empty());
  EXPECT_NE(run.trace.find("CreateFileW(" + TraceQuoted(WorkDirectory()) + ", 0x1, 0x3, 3, 0x2000000) -> "
                           "INVALID_HANDLE_VALUE [error 5]"),
            std::string::npos)
      << run.trace;
  EXPECT_EQ(run.trace.find("EnumResourceNamesW("), std::string::npos) << "nothing unpacked";
  const size_t refused = run.trace.find("INVALID_HANDLE_VALUE [error 5]");
  EXPECT_NE(run.trace.find("CreateFileW(" + TraceQuoted(WorkDirectory()) + ", 0x10000, 0x7, 3,", refused),
            std::string::npos)
      << "deleted after the refused hold\n" << run.trace;
  EXPECT_EQ(run.left, Left({u"installer.exe"}));
  EXPECT_EQ(run.accounting.find("working_set_trims 1\n"), std::string::npos) << "no trim";
  ExpectNothingHeld(run, false);
}

// The user chose WINDIR and SYSTEMROOT (as HKCU\Environment allows) and planted a
// cabinet.dll there and one beside the installer: the run loads the system's library
// all the same, and no other path is ever handed to the loader.
TEST_F(InstallationRunTest, PlantedCabinetLibrariesAreNeverLoaded) {
  Set("environment.WINDIR", "C:\\Users\\Ann\\Windows");
  Set("environment.SYSTEMROOT", "C:\\Users\\Ann\\Windows");
  machine_.WriteFile(u"C:\\Users\\Ann\\Windows\\system32\\cabinet.dll", "MZ planted");
  machine_.WriteFile(u"C:\\Users\\Ann\\Windows\\cabinet.dll", "MZ planted");
  machine_.WriteFile(std::u16string(kDownloads) + u"cabinet.dll", "MZ planted");
  InstallImage(Payload());
  const RunOutcome run = Run();
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(Lines(run), Expected({{"setup", SetupLine(u"install-archive", u"PELLORA.PACKED.7Z")}}));
  std::istringstream lines(run.trace);
  size_t loads = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("] LoadLibraryExW(") == std::string::npos) continue;
    ++loads;
    EXPECT_NE(line.find("LoadLibraryExW(\"C:\\\\Windows\\\\System32\\\\cabinet.dll\", null, 0x8) -> 0x"), std::string::npos)
        << line;
  }
  EXPECT_EQ(loads, 1u);
  EXPECT_EQ(run.trace.find("Users\\\\Ann\\\\Windows"), std::string::npos) << "the variables are never read";
  EXPECT_NE(run.accounting.find(" C:\\Windows\\System32\\cabinet.dll loads 1\n"), std::string::npos) << run.accounting;
  EXPECT_EQ(run.left, Left({u"cabinet.dll", u"installer.exe"}));
  ExpectNothingHeld(run, true);
}

// Every file on the machine with its bytes, by host path below the root.
std::map<std::string, std::string> DriveContents(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root / "C")) {
    if (entry.is_regular_file()) files[entry.path().lexically_relative(root).string()] = ReadHostFile(entry.path());
  }
  return files;
}

// A payload name that climbs out of the directory it is written to names a user's files
// one and two folders up, whichever directory that is. The run refuses the name before
// anything is written, so no file outside the work directory is created, changed or
// deleted, in a normal run (setup is never handed the name) and in an unpack-only run.
TEST_F(InstallationRunTest, APayloadNameThatClimbsOutTouchesNoFileOutsideTheWorkDirectory) {
  InstallPreviousSetup();
  for (const std::u16string victim :
       {u"C:\\Users\\VICTIM.TXT", u"C:\\Users\\Ann\\VICTIM.TXT", u"C:\\Users\\Ann\\Downloads\\VICTIM.TXT"}) {
    machine_.WriteFile(victim, "the user's own file");
  }
  const std::u16string climbing = u"\\..\\..\\VICTIM.TXT";
  struct Case {
    const char* what;
    Payload payload;
    std::u16string arguments;
    DWORD exit_code;
  };
  const Case cases[] = {
      {"archive", Payload().ArchiveName(u"PELLORA" + climbing), u"", 112},
      {"archive, unpack-only", Payload().ArchiveName(u"PELLORA" + climbing), u" --pellora-unpack", 112},
      {"patch beside the archive", Payload().SetupType(u"B7").SetupName(u"SETUP" + climbing), u"", 112},
      {"patch, unpack-only", Payload().SetupType(u"B7").SetupName(u"SETUP" + climbing), u" --pellora-unpack", 112},
      {"setup program", Payload().SetupType(u"BN").SetupName(u"SETUP" + climbing), u"", 115},
      {"cabinet", Payload().SetupName(u"SETUP" + climbing), u"", 115},
      {"cabinet, unpack-only", Payload().SetupName(u"SETUP" + climbing), u" --pellora-unpack", 115},
  };
  for (const Case& c : cases) {
    InstallImage(c.payload);
    const auto before = DriveContents(machine_.root());
    const RunOutcome run = Run(c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.what << "\n" << run.output;
    EXPECT_TRUE(run.runs.empty()) << c.what;
    EXPECT_TRUE(DriveContents(machine_.root()) == before) << c.what;
    // The name was looked up among the resources and handed to nothing else.
    std::istringstream lines(run.trace);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("VICTIM") == std::string::npos) continue;
      for (const char* call : {"CreateFileW(", "CreateProcessW(", "CreateDirectoryW(", "GetFileAttributesW("}) {
        EXPECT_EQ(line.find(call), std::string::npos) << c.what << ": " << line;
      }
    }
    ExpectNothingHeld(run, false);
  }
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
