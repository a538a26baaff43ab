// The shared whole-installation scenarios (tests/e2e/installation_scenarios.h) under Wine:
// a release image linked from the stub's ARM64 objects with the scenario's payload, the
// stand-ins built as ARM64 images, registry values set by Wine's reg, and the image started
// by an ARM64 parent that reads its whole exit code. Nothing here runs host code inside
// the Windows machine. Skipped, with the reason, where Wine cannot run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/core/text.h"
#include "tests/e2e/installation_scenarios.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/wine/wine_prefix.h"
#include "tools/standins/standin_record.h"

namespace {

namespace fs = std::filesystem;
using scenarios::Scenario;
using testing_support::ReadHostFile;

constexpr char16_t kRecord[] = u"C:\\StandIns\\runs.txt";

std::string ReleaseFile(const char* name) { return ReadHostFile((fs::path(RELEASE_DIR) / name).string()); }

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unavailable = prefix_.Unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << "Wine cannot run here: " << unavailable;
    fs::copy_file(fs::path(RELEASE_DIR) / "exit_code_parent.exe", prefix_.HostPath(u"C:\\PelloraTest\\exit_code_parent.exe"),
                  fs::copy_options::overwrite_existing);
  }

  // Puts `bytes` at a Windows path of the prefix, replacing what was there.
  void Put(const std::u16string& path, const std::string& bytes) {
    std::ofstream(prefix_.HostPath(path), std::ios::binary | std::ios::trunc) << bytes;
  }

  const wine::Prefix& prefix_ = wine::BuildPrefix();
};

class InstallationWineTest : public WineTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(InstallationWineTest, RunsAsTheTableSays) {
  const Scenario& s = GetParam();
  if (!s.wine_note.empty()) RecordProperty("wine_note", s.wine_note);
  const fs::path folder = prefix_.HostPath(s.folder);
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::remove(prefix_.HostPath(kRecord));
  const std::u16string image = s.folder + u"installer.exe";
  Put(image, testing_support::MakeReleaseImage(
                 scenarios::PayloadResources(s.payload, ReleaseFile("setup_standin.exe"),
                                             ReleaseFile("installed_setup_standin.exe")),
                 RELEASE_DIR));
  if (s.previous_setup) {
    Put(scenarios::kInstalled, ReleaseFile("installed_setup_standin.exe"));
  } else {
    fs::remove(prefix_.HostPath(scenarios::kInstalled));
  }
  for (const auto& [path, bytes] : s.planted) {
    fs::create_directories(prefix_.HostPath(scenarios::Expand(path, s.folder)).parent_path());
    Put(scenarios::Expand(path, s.folder), bytes);
  }
  auto number = [](const std::optional<DWORD>& value) { return value ? std::to_string(*value) : std::string(); };
  std::map<std::string, std::string> environment = {
      {"PELLORA_SETUP_EXIT_CODE", number(s.setup_exit_code)},
      {"PELLORA_INSTALLED_EXIT_CODE", number(s.installed_exit_code)},
      {"PELLORA_INSTALLED_WRITE", s.installed_writes_nothing ? "no" : ""}};
  for (const auto& [name, text] : s.environment) environment[name] = text;
  const wine::Prefix::Outcome outcome = prefix_.Run({image, u"\"" + image + u"\"" + s.arguments, s.registry, environment});
  ASSERT_TRUE(outcome.exit_code.has_value()) << outcome.failure;
  EXPECT_EQ(*outcome.exit_code, s.wine_exit_code.value_or(s.exit_code)) << s.wine_note;

  const scenarios::Observed seen =
      scenarios::Observe(standins::ParseRuns(ReadHostFile(prefix_.HostPath(kRecord).string())), folder);
  EXPECT_EQ(seen.children, scenarios::ExpectedChildren(s));
  if (!s.setup_outcome.empty()) {
    EXPECT_EQ(seen.setup_outcomes, std::vector<std::string>{s.wine_setup_outcome.value_or(s.setup_outcome)});
  }
  EXPECT_EQ(seen.left, s.wine_left.value_or(s.left)) << s.wine_note;
  for (const auto& [path, bytes] : s.planted) {
    const fs::path planted = prefix_.HostPath(scenarios::Expand(path, s.folder));
    EXPECT_EQ(ReadHostFile(planted.string()), bytes) << scenarios::Utf8(path);
    fs::remove(planted);
  }
  fs::remove_all(folder);
  fs::remove_all(prefix_.HostPath(u"C:\\Planted"));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, InstallationWineTest, ::testing::ValuesIn(scenarios::Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// A fault inside code built with the release flags reaches the parent as the access
// violation's exception code, never as success: the dispatcher needs the unwind tables.
TEST_F(WineTest, AFaultInReleaseCodeReachesTheParentAsAnAccessViolation) {
  const std::u16string probe = u"C:\\PelloraTest\\fault_probe.exe";
  Put(probe, ReleaseFile("fault_probe.exe"));
  const wine::Prefix::Outcome outcome = prefix_.Run({probe, u"\"" + probe + u"\"", {}, {}});
  ASSERT_TRUE(outcome.exit_code.has_value()) << outcome.failure;
  EXPECT_EQ(*outcome.exit_code, 0xC0000005u);  // EXCEPTION_ACCESS_VIOLATION
}

}  // namespace
