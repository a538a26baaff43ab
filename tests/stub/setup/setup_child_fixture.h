// A machine on which the stub's process runs in-process and the setup stand-in waits at
// C:\Programs\Pellora Setup\setup.exe to record what it is given.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "sim/core/process.h"
#include "stub/config/configuration.h"
#include "stub/support/fixed_string.h"
#include "tests/support/host_command.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"

namespace setup_tests {

constexpr char16_t kSetupPath[] = u"C:\\Programs\\Pellora Setup\\setup.exe";
constexpr char16_t kStubPath[] = u"C:\\Users\\Ann\\Downloads\\installer.exe";

class SetupChildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::InstallStandIn(machine_, kSetupPath, "setup_standin");
    sim::ProcessOptions options;
    options.image = kStubPath;
    options.command_line = std::u16string(u"\"") + kStubPath + u"\"";
    options.trace_file = (machine_.root() / "trace.txt").string();
    machine_.Start(options);
  }
  void TearDown() override { silent_mode = false; }

  // Restarts the stub's process with fault rules.
  void StartWithFaults(std::vector<sim::FaultRule> faults) {
    sim::ProcessOptions options;
    options.image = kStubPath;
    options.faults = std::move(faults);
    machine_.Start(options);
  }
  void SetExitCode(DWORD code) {
    testing_support::SetMachineSetting(machine_, standins::kSetupExitCodeSetting, std::to_string(code));
  }
  std::vector<standins::StandInRun> Runs() const { return testing_support::RecordedRuns(machine_); }
  std::string Trace() const { return testing_support::ReadHostFile((machine_.root() / "trace.txt").string()); }
  size_t OpenHandles() const { return sim::CurrentProcess().Snapshot().open_handles.size(); }

  testing_support::TestMachine machine_;
};

template <Count N>
void Fill(FixedString<N>& string, const std::u16string& text) {
  ASSERT_TRUE(string.Assign(text.c_str())) << text.size() << " units";
}

}  // namespace setup_tests
