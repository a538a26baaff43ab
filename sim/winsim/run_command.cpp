// winsim run: start one simulated program and wait for it.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/core/child_process.h"
#include "sim/core/fault_catalog.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/winsim/commands.h"

namespace {

// winsim's own failures, as env(1) and timeout(1) report theirs.
constexpr int kWinsimFailed = 125;

int Fail(const std::string& message) {
  std::fprintf(stderr, "winsim run: %s\n", message.c_str());
  return kWinsimFailed;
}

}  // namespace

int RunCommand(const std::vector<std::string>& arguments) {
  sim::ProcessOptions options;
  options.root = sim::DefaultMachineRoot();
  options.image = u"C:\\program.exe";
  bool command_line_given = false;
  bool print_exit_code = false;
  std::string program;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&]() -> const std::string* {
      return i + 1 < arguments.size() ? &arguments[++i] : nullptr;
    };
    const std::string* text = nullptr;
    if (option == "--virtual-sleep") {
      options.virtual_sleep = true;
    } else if (option == "--print-exit-code") {
      print_exit_code = true;
    } else if (option.rfind("--", 0) == 0 && option != "--") {
      if ((text = value()) == nullptr) return Fail("option " + option + " needs a value");
      if (option == "--root") {
        options.root = *text;
      } else if (option == "--image") {
        options.image = sim::ToUtf16(*text);
      } else if (option == "--command-line") {
        options.command_line = sim::ToUtf16(*text);
        command_line_given = true;
      } else if (option == "--current-directory") {
        options.current_directory = sim::ToUtf16(*text);
      } else if (option == "--trace") {
        options.trace_file = std::filesystem::absolute(*text).string();
      } else if (option == "--accounting") {
        options.accounting_file = std::filesystem::absolute(*text).string();
      } else if (option == "--fault") {
        auto rule = sim::ParseFaultRule(*text);
        if (!rule) return Fail("bad fault rule '" + *text + "' (want [child-K/]NAME:N:ERROR)");
        if (const std::string problem = sim::FaultRuleProblem(sim::RuleFunction(*rule)); !problem.empty()) {
          return Fail("fault rule '" + *text + "': " + problem);
        }
        options.faults.push_back(*rule);
      } else if (option == "--random") {
        auto bytes = sim::ParseHexBytes(*text);
        if (!bytes) return Fail("bad random bytes '" + *text + "' (want hexadecimal digits, two per byte)");
        options.random_bytes.insert(options.random_bytes.end(), bytes->begin(), bytes->end());
      } else {
        return Fail("unknown option " + option);
      }
    } else {
      if (option == "--" && i + 1 < arguments.size()) ++i;
      program = arguments[i];
      if (i + 1 != arguments.size()) return Fail("nothing may follow the program");
    }
  }
  if (program.empty()) return Fail("no program given");
  if (!command_line_given) options.command_line = u"\"" + options.image + u"\"";
  options.root = std::filesystem::absolute(options.root);
  std::filesystem::create_directories(options.root / "C");

  sim::ChildProcess child;
  std::string error;
  if (!child.Start(std::filesystem::absolute(program).string(), options, error)) {
    return Fail("cannot start " + program + ": " + error);
  }
  const std::optional<DWORD> exit_code = child.Wait();
  if (!exit_code) {
    const int status = child.host_status();
    if (WIFSIGNALED(status)) return Fail(program + " was killed by signal " + std::to_string(WTERMSIG(status)));
    return Fail(program + " ended without ExitProcess (host status " +
                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status) + ")");
  }
  if (print_exit_code) std::printf("exit code: %u (0x%08X)\n", *exit_code, *exit_code);
  return static_cast<int>(*exit_code & 0xFF);
}
