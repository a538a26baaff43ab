#include "tools/standins/standin_program.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/kernel32_core.h"
#include "platform/kernel32_processes.h"
#include "sim/core/process.h"

namespace standins {

StandInRun DescribeThisRun(const std::string& program) {
  const sim::ProcessOptions& options = sim::CurrentProcess().options();
  StandInRun run;
  run.program = program;
  run.command_line = GetCommandLineW();
  WCHAR module[1024];
  const DWORD length = GetModuleFileNameW(nullptr, module, 1024);
  run.module.assign(module, length < 1024 ? length : 0);
  run.current_directory = options.current_directory;
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  run.startup_flags = startup.dwFlags;
  run.show_window = startup.wShowWindow;
  // Windows has no query for these; the simulation keeps them with the process.
  run.creation_flags = options.creation_flags;
  return run;
}

std::optional<DWORD> NumberSetting(const sim::Machine& machine, const char* key) {
  auto text = machine.Setting(key);
  if (!text || text->empty()) return std::nullopt;
  return static_cast<DWORD>(std::strtoul(text->c_str(), nullptr, 0));
}

std::optional<std::string> ReadMachineFile(const sim::Machine& machine, const std::u16string& path) {
  const sim::HostPath host = machine.Resolve(path);
  if (!host.ok()) return std::nullopt;
  std::ifstream in(host.path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteMachineFile(const sim::Machine& machine, const std::u16string& path, const std::string& bytes) {
  const sim::HostPath host = machine.Resolve(path);
  if (!host.ok()) return false;
  std::ofstream out(host.path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

void FinishRun(StandInRun& run, std::string outcome, DWORD exit_code) {
  run.outcome = std::move(outcome);
  run.exit_code = exit_code;
  AppendRun(sim::CurrentProcess().machine(), run);
  ExitProcess(exit_code);
}

}  // namespace standins
