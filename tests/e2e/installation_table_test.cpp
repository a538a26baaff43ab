// The shared whole-installation scenarios (installation_scenarios.h) on the simulated
// Windows: installer_host with a payload image, run by winsim in a fresh machine with the
// freestanding stand-ins (the same sources that run under Wine) built for the simulation. Beside what both machines judge, this
// leg checks what only the simulation can: nothing held at exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sim/core/text.h"
#include "tests/e2e/installation_scenarios.h"
#include "tests/support/host_command.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using scenarios::Scenario;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

// Scripted random bytes: the work directory is TS_3FA9C.tmp.
constexpr char kRandom[] = "3FA9C0DE";
constexpr char kSetup[] = "freestanding_setup_standin";
constexpr char kInstalledSetup[] = "freestanding_installed_setup_standin";

std::string StandInBytes(const char* name) {
  return ReadHostFile(testing_support::StandInProgram(name).string());
}

class InstallationTableTest : public ::testing::TestWithParam<Scenario> {
 protected:
  InstallationTableTest() { fs::create_directories(scratch_); }
  void TearDown() override { fs::remove_all(scratch_); }

  void Prepare(const Scenario& s) {
    machine_.WriteFile(s.folder + u"installer.exe",
                       testing_support::MakeResourceImage(scenarios::PayloadResources(
                           s.payload, StandInBytes(kSetup), StandInBytes(kInstalledSetup))));
    if (s.previous_setup) testing_support::InstallStandIn(machine_, scenarios::kInstalled, kInstalledSetup);
    machine_.HostPath(u"C:\\StandIns\\runs.txt");  // the record's folder
    for (const auto& value : s.registry) {
      std::vector<std::string> set = {(BuildDirectory() / "winsim").string(), "reg", "set", "--root",
                                      machine_.root().string(), "--view", value.view32 ? "32" : "64",
                                      sim::ToUtf8(value.root + u"\\" + value.key), sim::ToUtf8(value.name),
                                      "--string", sim::ToUtf8(value.text)};
      const auto result = RunHostCommand(set);
      ASSERT_EQ(result.exit_status, 0) << result.output;
    }
    // The stand-ins read their settings from the environment, which the simulation takes
    // from machine.conf.
    auto variable = [&](const char* name, const std::string& text) {
      testing_support::SetMachineSetting(machine_, std::string("environment.") + name, text);
    };
    if (s.setup_exit_code) variable("PELLORA_SETUP_EXIT_CODE", std::to_string(*s.setup_exit_code));
    if (s.installed_exit_code) variable("PELLORA_INSTALLED_EXIT_CODE", std::to_string(*s.installed_exit_code));
    if (s.installed_writes_nothing) variable("PELLORA_INSTALLED_WRITE", "no");
    for (const auto& [name, text] : s.environment) variable(name.c_str(), text);
    for (const auto& [path, bytes] : s.planted) machine_.WriteFile(scenarios::Expand(path, s.folder), bytes);
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
};

TEST_P(InstallationTableTest, RunsAsTheTableSays) {
  const Scenario& s = GetParam();
  ASSERT_NO_FATAL_FAILURE(Prepare(s));
  const std::u16string image = s.folder + u"installer.exe";
  const fs::path accounting = scratch_ / "accounting.txt";
  const auto result = RunHostCommand(
      {(BuildDirectory() / "winsim").string(), "run", "--root", machine_.root().string(), "--image",
       sim::ToUtf8(image), "--command-line", sim::ToUtf8(u"\"" + image + u"\"" + s.arguments), "--accounting",
       accounting.string(), "--virtual-sleep", "--random", kRandom, "--print-exit-code",
       (BuildDirectory() / "installer_host").string()});
  const size_t at = result.output.find("exit code: ");
  ASSERT_NE(at, std::string::npos) << result.output;
  EXPECT_EQ(static_cast<DWORD>(std::stoul(result.output.substr(at + 11))), s.exit_code) << result.output;

  const scenarios::Observed seen =
      scenarios::Observe(testing_support::RecordedRuns(machine_), machine_.HostPath(s.folder));
  EXPECT_EQ(seen.children, scenarios::ExpectedChildren(s));
  if (!s.setup_outcome.empty()) {
    EXPECT_EQ(seen.setup_outcomes, std::vector<std::string>{s.setup_outcome});
  }
  EXPECT_EQ(seen.left, s.left);
  for (const auto& [path, bytes] : s.planted) {
    EXPECT_EQ(ReadHostFile(machine_.HostPath(scenarios::Expand(path, s.folder)).string()), bytes) << scenarios::Utf8(path);
  }

  // Host only: nothing held at exit.
  const std::string held = ReadHostFile(accounting.string());
  EXPECT_NE(held.find("open_handles 0\n"), std::string::npos) << held;
  EXPECT_NE(held.find("live_heap_blocks 0\n"), std::string::npos) << held;
  EXPECT_NE(held.find("live_local_blocks 0\n"), std::string::npos) << held;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, InstallationTableTest, ::testing::ValuesIn(scenarios::Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
