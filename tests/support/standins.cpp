#include "tests/support/standins.h"

#include "sim/core/machine.h"

namespace testing_support {

std::filesystem::path StandInProgram(const std::string& name) {
  return BuildDirectory() / "tools" / "standins" / name;
}

void InstallStandIn(const TestMachine& machine, const std::u16string& windows_path, const std::string& name) {
  std::filesystem::copy_file(StandInProgram(name), machine.HostPath(windows_path),
                             std::filesystem::copy_options::overwrite_existing);
}

void SetMachineSetting(const TestMachine& machine, const std::string& key, const std::string& value) {
  sim::Machine(machine.root()).SetSetting(key, value);
}

std::vector<standins::StandInRun> RecordedRuns(const TestMachine& machine) {
  return standins::ReadRuns(machine.root());
}

}  // namespace testing_support
