#include "stub/driver/run_installer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim/core/text.h"
#include "stub/config/configuration.h"
#include "tests/stub/driver/recording_steps.h"
#include "tests/support/test_machine.h"

namespace {

const std::string kWd = "C:\\Setup\\TS_3FA9C.tmp\\";
const std::string kArchive = kWd + "PELLORA.PACKED.7Z";
const std::string kSetup = kWd + "setup.exe";
const std::string kPatch = kWd + "setup.patch";

std::string Delete(const std::string& archive, const std::string& setup) {
  return "Delete archive=" + archive + " setup=" + setup + " wd=" + kWd;
}
std::string Launch(const std::string& setup, bool compressed) {
  return "Launch archive=" + kArchive + " setup=" + setup + " compressed=" + (compressed ? "1" : "0");
}

struct Case {
  const char* name;
  std::function<void(Scenario&)> arrange;
  ExitResult expected;
  std::vector<std::string> calls;
  uint64_t trims;
};

void PatchScenario(Scenario& s) {
  s.setup_tag = u"B7";
  s.setup_path = u"C:\\Setup\\TS_3FA9C.tmp\\setup.patch";
}

const std::string kUnpack = "Unpack wd=" + kWd;
const std::string kPatchCall = "Patch patch=" + kPatch + " new=" + kSetup;

const Case kCases[] = {
    {"typical run", [](Scenario&) {}, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"}, 1},
    {"configuration fails", [](Scenario& s) { s.load_succeeds = false; s.load_error = 8; }, {101, 8},
     {"Load", "Reset"}, 0},
    {"rejected switch", [](Scenario& s) { s.rejected_switch = true; }, {118, 0}, {"Load", "Reset"}, 0},
    {"work directory path overflow", [](Scenario& s) { s.work_directory_result = {108, 0}; }, {108, 0},
     {"Load", "WorkDirectory", "Reset"}, 0},
    {"work directory fails", [](Scenario& s) { s.work_directory_result = {109, 0}; }, {109, 0},
     {"Load", "WorkDirectory", "Reset"}, 0},
    {"work directory descriptor fails", [](Scenario& s) { s.work_directory_result = {117, 1337}; },
     {117, 1337}, {"Load", "WorkDirectory", "Reset"}, 0},
    {"unpacking fails, cleanup enabled",
     [](Scenario& s) { s.unpack_result = {112, 2}; s.archive_path = u""; s.setup_path = u""; }, {112, 2},
     {"Load", "WorkDirectory", kUnpack, Delete("", ""), "Reset"}, 1},
    {"unpacking fails, cleanup disabled",
     [](Scenario& s) { s.unpack_result = {116, 5}; s.cleanup_enabled = false; }, {116, 5},
     {"Load", "WorkDirectory", kUnpack, "Reset"}, 1},
    {"setup exits with 3", [](Scenario& s) { s.launch_result = {3, 0}; }, {3, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"}, 1},
    {"setup exits with one of the stub's own codes", [](Scenario& s) { s.launch_result = {108, 0}; },
     {108, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"}, 1},
    {"launch fails", [](Scenario& s) { s.launch_result = {122, 0xFFFFFFFF}; }, {122, 0xFFFFFFFF},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"}, 1},
    {"cleanup disabled", [](Scenario& s) { s.cleanup_enabled = false; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), "Reset"}, 1},
    {"archive under BL", [](Scenario& s) { s.archive_tag = u"BL"; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, false), Delete(kArchive, kSetup), "Reset"}, 1},
    {"archive under BN", [](Scenario& s) { s.archive_tag = u"BN"; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, false), Delete(kArchive, kSetup), "Reset"}, 1},
    {"archive tag b7 is not B7", [](Scenario& s) { s.archive_tag = u"b7"; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, false), Delete(kArchive, kSetup), "Reset"}, 1},
    {"setup tag b7 is no patch", [](Scenario& s) { s.setup_tag = u"b7"; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"}, 1},
    {"patch succeeds", PatchScenario, {0, 0},
     {"Load", "WorkDirectory", kUnpack, kPatchCall, Launch(kSetup, true), Delete(kArchive, kSetup), "Reset"},
     1},
    {"patching program exits with 5",
     [](Scenario& s) { PatchScenario(s); s.patch_result = {5, 0}; }, {5, 0},
     {"Load", "WorkDirectory", kUnpack, kPatchCall, Delete(kArchive, ""), "Reset"}, 1},
    {"previous setup not found",
     [](Scenario& s) { PatchScenario(s); s.patch_result = {110, 2}; }, {110, 2},
     {"Load", "WorkDirectory", kUnpack, kPatchCall, Delete(kArchive, ""), "Reset"}, 1},
    {"patch not attempted after failed unpacking",
     [](Scenario& s) { PatchScenario(s); s.unpack_result = {115, 0}; }, {115, 0},
     {"Load", "WorkDirectory", kUnpack, Delete(kArchive, kPatch), "Reset"}, 1},
    {"unpack only", [](Scenario& s) { s.unpack_only = true; }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, "Reset"}, 0},
    {"unpack only with a failed unpack",
     [](Scenario& s) { s.unpack_only = true; s.unpack_result = {112, 13}; }, {112, 13},
     {"Load", "WorkDirectory", kUnpack, "Reset"}, 0},
    {"unpack only with a patch", [](Scenario& s) { s.unpack_only = true; PatchScenario(s); }, {0, 0},
     {"Load", "WorkDirectory", kUnpack, kPatchCall, "Reset"}, 0},
    {"unpack only with a failed patch",
     [](Scenario& s) { s.unpack_only = true; PatchScenario(s); s.patch_result = {111, 0}; }, {111, 0},
     {"Load", "WorkDirectory", kUnpack, kPatchCall, "Reset"}, 0},
};

// Cases print as their names in test listings.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class RunInstallerTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    machine_.Start();
    Recorded() = Recording{};
    unpack_only = false;
    silent_mode = false;
  }
  testing_support::TestMachine machine_;
};

TEST_P(RunInstallerTest, RunsTheStepsThatTheOutcomeCallsFor) {
  const Case& c = GetParam();
  c.arrange(Recorded().scenario);
  const ExitResult result = RunInstaller(nullptr);
  EXPECT_EQ(result.exit_code, c.expected.exit_code);
  EXPECT_EQ(result.extra_code, c.expected.extra_code);
  EXPECT_EQ(Recorded().calls, c.calls);
  EXPECT_EQ(sim::CurrentProcess().Snapshot().working_set_trims, c.trims);
  // The trim comes after the steps that prepare setup and before its start and the cleanup.
  for (size_t i = 0; i < Recorded().calls.size(); ++i) {
    const std::string& call = Recorded().calls[i];
    const bool after_trim = call.starts_with("Launch") || call.starts_with("Delete") || call == "Reset";
    EXPECT_EQ(Recorded().trims_before.at(i), after_trim ? c.trims : 0u) << call;
  }
}

INSTANTIATE_TEST_SUITE_P(OutcomeTable, RunInstallerTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// The new setup path is the work directory followed by "setup.exe": a work directory of
// 250 units makes it 259 units, which fits; 251 units does not, and the run stops at once
// with the archive and the patch left in place.
class NewSetupPathTest : public RunInstallerTest {};

TEST_F(NewSetupPathTest, FitsUpToTheLastUnitOfThePathCapacity) {
  const std::u16string wd = u"C:\\" + std::u16string(246, u'w') + u"\\";
  ASSERT_EQ(wd.size(), 250u);
  Scenario& s = Recorded().scenario;
  PatchScenario(s);
  s.work_directory = wd;
  EXPECT_EQ(RunInstaller(nullptr).exit_code, 0u);
  EXPECT_EQ(Recorded().calls.at(3), "Patch patch=" + kPatch + " new=" + sim::ToUtf8(wd) + "setup.exe");
}

TEST_F(NewSetupPathTest, OverflowEndsTheRunWithoutTrimLaunchOrCleanup) {
  const std::u16string wd = u"C:\\" + std::u16string(247, u'w') + u"\\";
  Scenario& s = Recorded().scenario;
  PatchScenario(s);
  s.work_directory = wd;
  const ExitResult result = RunInstaller(nullptr);
  EXPECT_EQ(result.exit_code, 108u);
  EXPECT_EQ(result.extra_code, 0u);
  EXPECT_EQ(Recorded().calls,
            (std::vector<std::string>{"Load", "WorkDirectory", "Unpack wd=" + sim::ToUtf8(wd), "Reset"}));
  EXPECT_EQ(sim::CurrentProcess().Snapshot().working_set_trims, 0u);
}

TEST_F(RunInstallerTest, TrimsTheWholeWorkingSet) {
  sim::ProcessOptions options;
  options.trace_file = (machine_.root() / "trace.txt").string();
  machine_.Start(options);
  RunInstaller(nullptr);
  sim::EndProcess();
  std::ifstream trace(machine_.root() / "trace.txt");
  const std::string text((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("SetProcessWorkingSetSize(0xffffffffffffffff, 0xffffffffffffffff, 0xffffffffffffffff) -> TRUE"),
            std::string::npos)
      << text;
}

}  // namespace
