// A simulated program for tests of winsim itself: it writes what it was given (its raw
// command line and module file name, as UTF-8 lines) to the host file named by
// REPORT_PROGRAM_OUTPUT, leaves REPORT_PROGRAM_LEAK_BLOCKS local blocks allocated, and
// ends with the exit code in REPORT_PROGRAM_EXIT_CODE.
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/kernel32_core.h"
#include "sim/core/text.h"

namespace {

unsigned long Number(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? 0 : std::strtoul(value, nullptr, 0);
}

}  // namespace

extern "C" void ProgramEntry() {
  WCHAR module_name[300];
  const DWORD length = GetModuleFileNameW(nullptr, module_name, 300);
  if (const char* output = std::getenv("REPORT_PROGRAM_OUTPUT")) {
    std::ofstream report(output, std::ios::binary);
    report << sim::ToUtf8(GetCommandLineW()) << "\n"
           << sim::ToUtf8(std::u16string_view(module_name, length)) << "\n";
  }
  for (unsigned long i = 0; i < Number("REPORT_PROGRAM_LEAK_BLOCKS"); ++i) LocalAlloc(LPTR, 16);
  Sleep(static_cast<DWORD>(Number("REPORT_PROGRAM_SLEEP_MS")));
  ExitProcess(static_cast<UINT>(Number("REPORT_PROGRAM_EXIT_CODE")));
}
