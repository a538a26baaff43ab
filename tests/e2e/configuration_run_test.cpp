// Whole runs of the stub (installer_host) in the simulated Windows, judged as a user
// would judge them: the exit code, the files on disk, the trace and the accounting.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel32_resources.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

constexpr char kImage[] = "C:\\Users\\Demo\\Downloads\\installer.exe";
constexpr int kConfigurationFailed = 101;
constexpr int kRejectedSwitch = 118;

// The text between `after` and the next `end` on the first trace line that starts a call
// with `call` and holds `after`; empty when there is none.
std::string TraceField(const std::string& trace, const std::string& call, const std::string& after,
                       const std::string& end) {
  for (size_t line = trace.find(call); line != std::string::npos; line = trace.find(call, line + 1)) {
    const size_t line_end = trace.find('\n', line);
    const size_t at = trace.find(after, line);
    if (at == std::string::npos || at > line_end) continue;
    const size_t start = at + after.size();
    return trace.substr(start, trace.find(end, start) - start);
  }
  return "";
}

struct RunOutcome {
  int exit_status = -1;
  std::string output;
  std::string trace;
  std::string accounting;
};

class ConfigurationRunTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(testing_support::MakeResourceImage({{RT_RCDATA, WORD{1}, testing_support::Utf16Bytes(u"1.2.3.4")}})); }
  void Install(const std::string& image) { machine_.WriteFile(u"C:\\Users\\Demo\\Downloads\\installer.exe", image); }

  RunOutcome Start(const std::string& arguments, std::vector<std::string> options = {}) {
    const fs::path trace = scratch_ / "trace.txt", accounting = scratch_ / "accounting.txt";
    fs::remove(trace);
    fs::remove(accounting);
    std::vector<std::string> command = {(BuildDirectory() / "winsim").string(), "run", "--root", machine_.root().string(),
                                        "--image", kImage, "--command-line", "\"" + std::string(kImage) + "\"" + arguments,
                                        "--trace", trace.string(), "--accounting", accounting.string(), "--virtual-sleep"};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back((BuildDirectory() / "installer_host").string());
    const auto result = RunHostCommand(command);
    return {result.exit_status, result.output, ReadHostFile(trace.string()), ReadHostFile(accounting.string())};
  }

  // Every file and directory on the machine's drive.
  std::set<std::string> DriveContents() const {
    std::set<std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(machine_.root() / "C")) {
      contents.insert(entry.path().lexically_relative(machine_.root()).string());
    }
    return contents;
  }

  // No handle open, no block allocated, and every fault rule given failed its call.
  static void ExpectNothingLeft(const RunOutcome& run, const std::string& what) {
    EXPECT_NE(run.accounting.find("unfired_faults 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("open_handles 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("live_local_blocks 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("live_heap_blocks 0\n"), std::string::npos) << what << "\n" << run.accounting;
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
  void TearDown() override { fs::remove_all(scratch_); }

 public:
  ConfigurationRunTest() { fs::create_directories(scratch_); }
};

TEST_F(ConfigurationRunTest, RejectedSwitchesEndTheRunBeforeAnythingIsTouched) {
  const std::string cases[] = {" --cleanup", " --TARSEL-FRAME", " --tarsel-frame", " \"--cleanup\"",
                               " --pellora-unpack --tarsel-frame", " --system-level --Cleanup --pellora-silent"};
  const std::set<std::string> before = DriveContents();
  for (const std::string& arguments : cases) {
    const RunOutcome run = Start(arguments);
    EXPECT_EQ(run.exit_status, kRejectedSwitch) << arguments << "\n" << run.output;
    EXPECT_EQ(DriveContents(), before) << arguments;
    EXPECT_EQ(run.trace.find("CreateDirectoryW("), std::string::npos) << arguments;
    EXPECT_EQ(run.trace.find("CreateProcessW("), std::string::npos) << arguments;
    EXPECT_EQ(run.trace.find("CreateFileW("), std::string::npos) << arguments;
    EXPECT_NE(run.trace.find("ExitProcess(118)"), std::string::npos) << arguments;
    ExpectNothingLeft(run, arguments);
  }
}

TEST_F(ConfigurationRunTest, TheArgumentVectorIsReleasedAfterEveryRun) {
  const std::string cases[] = {"", " --cleanup", " --system-level --cleanup=1 \"a b\"", " --pellora-silent"};
  for (const std::string& arguments : cases) {
    const RunOutcome run = Start(arguments);
    EXPECT_NE(run.exit_status, kConfigurationFailed) << arguments << "\n" << run.output;
    const std::string block = TraceField(run.trace, "CommandLineToArgvW(", ") -> ", " ");
    ASSERT_FALSE(block.empty()) << arguments << "\n" << run.trace;
    EXPECT_NE(run.trace.find("LocalFree(" + block + ") -> null"), std::string::npos) << arguments;
    ExpectNothingLeft(run, arguments);
  }
}

TEST_F(ConfigurationRunTest, ARunWithoutRejectedSwitchesGoesOnPastTheConfiguration) {
  for (const std::string arguments : {"", " --cleanup=1", " -cleanup", " --system-level"}) {
    const RunOutcome run = Start(arguments);
    EXPECT_NE(run.exit_status, kRejectedSwitch) << arguments;
    EXPECT_NE(run.exit_status, kConfigurationFailed) << arguments;
    EXPECT_NE(run.exit_status, 125) << arguments << "\n" << run.output;
  }
}

TEST_F(ConfigurationRunTest, AFailedSplitEndsTheRunWithTheConfigurationCode) {
  for (const char* fault : {"CommandLineToArgvW:1:8", "LocalAlloc:1:14"}) {
    const RunOutcome run = Start(" --cleanup", {"--fault", fault});
    EXPECT_EQ(run.exit_status, kConfigurationFailed) << fault << "\n" << run.output;
    ExpectNothingLeft(run, fault);
  }
}

TEST_F(ConfigurationRunTest, TheStubReadsWhatWinsimRegStoredAndItsOwnResource) {
  const auto set = RunHostCommand({(BuildDirectory() / "winsim").string(), "reg", "set", "--root",
                                   machine_.root().string(),
                                   "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora",
                                   "TarselInstallerCleanup", "--string-unterminated", "0"});
  ASSERT_EQ(set.exit_status, 0) << set.output;
  const RunOutcome run = Start(" --cleanup");
  EXPECT_EQ(run.exit_status, kRejectedSwitch);
  // Another process stored the value; the stub's query finds its two bytes.
  // The query offers the four bytes of a two-unit buffer and gets the two bytes stored.
  const std::string query = TraceField(run.trace, "RegQueryValueExW(", "\"TarselInstallerCleanup\", ", "\n");
  const std::string expected = ", 4) -> ERROR_SUCCESS type 1 size 2";
  EXPECT_TRUE(query.size() > expected.size() && query.ends_with(expected))
      << run.trace;
  EXPECT_NE(run.trace.find("SizeofResource("), std::string::npos) << run.trace;
  EXPECT_NE(run.trace.find(") -> 16\n"), std::string::npos) << "the previous version's 16 bytes\n" << run.trace;
  ExpectNothingLeft(run, "policy set");
}

TEST_F(ConfigurationRunTest, TheReleaseImageServesAsAnImageWithoutPayload) {
  const fs::path release = BuildDirectory() / "release" / "installer.exe";
  if (!fs::exists(release)) GTEST_SKIP() << "this build makes no release image";
  Install(ReadHostFile(release.string()));
  const RunOutcome rejected = Start(" --TARSEL-FRAME");
  EXPECT_EQ(rejected.exit_status, kRejectedSwitch) << rejected.output;
  ExpectNothingLeft(rejected, "release image");
  const RunOutcome plain = Start("");
  EXPECT_NE(plain.exit_status, kConfigurationFailed) << plain.output;
  ExpectNothingLeft(plain, "release image");
}

}  // namespace
