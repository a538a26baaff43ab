// Stands in for the setup program that the stub carries: it records what it was given
// (raw command line, how it was started, the files beside its archive) and ends with the
// exit code that machine.conf names. See README.md beside this file.
#include <time.h>

#include <algorithm>
#include <filesystem>

#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tools/standins/standin_program.h"

namespace {

using standins::StandInRun;

// Every file in the archive's folder, by name and size, sorted by name.
void ListBesideArchive(const sim::Machine& machine, StandInRun& run) {
  const sim::HostPath archive = machine.Resolve(run.archive);
  if (!archive.ok()) return;
  std::error_code error;
  for (std::filesystem::directory_iterator it(archive.path.parent_path(), error), end; !error && it != end;
       it.increment(error)) {
    const uint64_t size = it->is_regular_file() ? it->file_size() : 0;
    run.beside.emplace_back(sim::ToUtf16(it->path().filename().string()), size);
  }
  std::sort(run.beside.begin(), run.beside.end());
}

// Lets a test hold the program running until it creates the file.
void WaitForFile(const sim::Machine& machine) {
  const auto path = machine.Setting(standins::kSetupWaitForSetting);
  if (!path) return;
  const sim::HostPath host = machine.Resolve(sim::ToUtf16(*path));
  std::error_code error;
  while (host.ok() && !std::filesystem::exists(host.path, error)) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

extern "C" void SetupStandInEntry() {
  const sim::Machine& machine = sim::CurrentProcess().machine();
  StandInRun run = standins::DescribeThisRun("setup");
  run.archive = standins::QuotedSwitchValue(run.command_line, u"install-archive");
  if (run.archive.empty()) run.archive = standins::QuotedSwitchValue(run.command_line, u"uncompressed-archive");
  if (!run.archive.empty()) ListBesideArchive(machine, run);
  WaitForFile(machine);
  standins::FinishRun(run, "ran", standins::NumberSetting(machine, standins::kSetupExitCodeSetting).value_or(0));
}
