// Puts the built stand-in programs on a test machine and reads back what they recorded.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_machine.h"
#include "tools/standins/standin_record.h"

namespace testing_support {

// The host path of a built stand-in ("setup_standin", "installed_setup_standin").
std::filesystem::path StandInProgram(const std::string& name);
// Copies a stand-in to a Windows path of the machine, as the Windows program it plays.
void InstallStandIn(const TestMachine& machine, const std::u16string& windows_path, const std::string& name);
// Sets a machine.conf key for the programs that run on the machine from now on.
void SetMachineSetting(const TestMachine& machine, const std::string& key, const std::string& value);
std::vector<standins::StandInRun> RecordedRuns(const TestMachine& machine);

}  // namespace testing_support
