// The stand-ins for the two setup programs: the patch scheme, and the installed setup
// program rebuilding the new one when run as a child, as the stub runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "tests/support/host_command.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"
#include "tools/standins/setup_patch.h"

namespace {

using testing_support::InstallStandIn;
using testing_support::ReadHostFile;
using testing_support::RecordedRuns;
using testing_support::SetMachineSetting;
using testing_support::StandInProgram;

TEST(SetupPatchTest, OnlyTheExactInstalledProgramRebuildsTheNewOne) {
  const std::string installed = "installed program \x7F" + std::string(1000, '\x11');
  const std::string new_setup = "new setup program" + std::string(77, '\0') + "end";
  const std::string patch = standins::MakeSetupPatch(installed, new_setup);
  ASSERT_EQ(standins::ApplySetupPatch(installed, patch), new_setup);
  EXPECT_EQ(patch.find("new setup"), std::string::npos);  // the body is not readable as it is

  std::string one_bit_off = installed;
  one_bit_off[500] ^= 0x01;
  std::string flipped_body = patch;
  flipped_body[60] ^= 0x40;
  std::string flipped_checksum = patch;
  flipped_checksum[9] ^= 0x01;
  struct Case {
    const char* what;
    std::string installed;
    std::string patch;
  } refused[] = {
      {"another installed program", one_bit_off, patch},
      {"installed program one byte longer", installed + "x", patch},
      {"empty installed program", "", patch},
      {"damaged body", installed, flipped_body},
      {"damaged checksum", installed, flipped_checksum},
      {"cut short", installed, patch.substr(0, patch.size() - 1)},
      {"header only", installed, patch.substr(0, 48)},
      {"not a patch", installed, new_setup},
  };
  for (const auto& c : refused) EXPECT_FALSE(standins::ApplySetupPatch(c.installed, c.patch)) << c.what;
  // An empty new program is a valid result too.
  EXPECT_EQ(standins::ApplySetupPatch(installed, standins::MakeSetupPatch(installed, "")), "");
}

constexpr char16_t kInstalled[] = u"C:\\Program Files (x86)\\Pellora\\Application\\4.2.1\\Installer\\setup.exe";
constexpr char16_t kPatch[] = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\SETUP.EX_";
constexpr char16_t kNewSetup[] = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\setup.exe";

class InstalledSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallStandIn(machine_, kInstalled, "installed_setup_standin");
    // The patch from the installed stand-in to the setup stand-in, by the host tool.
    const auto result = testing_support::RunHostCommand(
        {(testing_support::BuildDirectory() / "tools" / "standins" / "make_setup_patch").string(),
         StandInProgram("installed_setup_standin").string(), StandInProgram("setup_standin").string(),
         machine_.HostPath(kPatch).string()});
    ASSERT_EQ(result.exit_status, 0) << result.output;
    sim::ProcessOptions options;
    options.image = u"C:\\Users\\Ann\\Downloads\\installer.exe";
    machine_.Start(options);
  }

  // Runs the installed program with the patching switches; its exit code.
  DWORD Patch(std::u16string line = u"") {
    if (line.empty()) {
      line = u"\"" + std::u16string(kInstalled) + u"\" --update-setup-exe=\"" + kPatch + u"\" --new-setup-exe=\"" +
             kNewSetup + u"\" --pellora-silent";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    EXPECT_TRUE(CreateProcessW(kInstalled, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &child));
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0xDEAD;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return code;
  }
  bool NewSetupExists() const { return std::filesystem::exists(machine_.HostPath(kNewSetup, false)); }
  std::string Outcome() const {
    const auto runs = RecordedRuns(machine_);
    return runs.empty() ? "" : runs.back().outcome;
  }

  testing_support::TestMachine machine_;
};

TEST_F(InstalledSetupTest, RebuildsTheNewSetupProgramWhichThenRuns) {
  EXPECT_EQ(Patch(), 0u);
  EXPECT_EQ(Outcome(), "patched");
  EXPECT_EQ(ReadHostFile(machine_.HostPath(kNewSetup).string()),
            ReadHostFile(StandInProgram("setup_standin").string()));
  const auto patching = RecordedRuns(machine_).at(0);
  EXPECT_EQ(patching.program, "installed-setup");
  EXPECT_EQ(patching.module, kInstalled);

  // The rebuilt program is the setup stand-in: it runs and records itself.
  std::u16string line = u"\"" + std::u16string(kNewSetup) + u"\" --pellora-mini";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessW(kNewSetup, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(RecordedRuns(machine_).back().program, "setup");
}

TEST_F(InstalledSetupTest, AWrongInstalledProgramWritesNothing) {
  // Still the patching program, but not the exact bytes the patch was made against.
  std::ofstream(machine_.HostPath(kInstalled), std::ios::binary | std::ios::app) << '\0';
  EXPECT_EQ(Patch(), 4u);
  EXPECT_EQ(Outcome(), "patch-mismatch");
  EXPECT_FALSE(NewSetupExists());
}

TEST_F(InstalledSetupTest, FailuresAndForcedOutcomes) {
  const std::u16string head = u"\"" + std::u16string(kInstalled) + u"\"";
  struct Case {
    const char* what;
    std::u16string line;
    const char* setting;
    const char* value;
    DWORD exit_code;
    const char* outcome;
  } cases[] = {
      {"no new-setup switch", head + u" --update-setup-exe=\"" + kPatch + u"\"", nullptr, nullptr, 2, "bad-usage"},
      {"missing patch", head + u" --update-setup-exe=\"C:\\none\" --new-setup-exe=\"" + kNewSetup + u"\"", nullptr,
       nullptr, 3, "unreadable"},
      {"forced exit code", u"", standins::kInstalledExitCodeSetting, "5", 5, "forced"},
      {"exits 0 but writes nothing", u"", standins::kInstalledWriteSetting, "no", 0, "not-written"},
  };
  for (const auto& c : cases) {
    if (c.setting != nullptr) SetMachineSetting(machine_, c.setting, c.value);
    EXPECT_EQ(Patch(c.line), c.exit_code) << c.what;
    EXPECT_EQ(Outcome(), c.outcome) << c.what;
    EXPECT_FALSE(NewSetupExists()) << c.what;
    if (c.setting != nullptr) SetMachineSetting(machine_, c.setting, "");
  }
}

}  // namespace
