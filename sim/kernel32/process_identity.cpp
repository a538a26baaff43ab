// The program's own identity and end: command line, module, exit, working set.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

HANDLE CurrentProcessPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

void WriteExitCode(int fd, UINT exit_code) {
  if (fd < 0) return;
  const BYTE bytes[4] = {static_cast<BYTE>(exit_code), static_cast<BYTE>(exit_code >> 8),
                         static_cast<BYTE>(exit_code >> 16), static_cast<BYTE>(exit_code >> 24)};
  [[maybe_unused]] ssize_t written = ::write(fd, bytes, sizeof bytes);
  ::close(fd);
}

}  // namespace

extern "C" LPWSTR GetCommandLineW() {
  LPWSTR line = CurrentProcess().command_line();
  TraceLine("GetCommandLineW").Result(Quoted(line));
  return line;
}

extern "C" HMODULE GetModuleHandleW(LPCWSTR module_name) {
  Process& process = CurrentProcess();
  TraceLine trace("GetModuleHandleW");
  trace.Arg(Quoted(module_name));
  const CallFailure<HMODULE> fail(trace, nullptr, "null");
  if (auto fault = process.TakeFault("GetModuleHandleW")) return fail(*fault);
  // Only the program's own module is known by this call.
  if (module_name != nullptr) return fail(ERROR_MOD_NOT_FOUND);
  trace.Result(Pointer(process.module()));
  return process.module();
}

extern "C" DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  Process& process = CurrentProcess();
  TraceLine trace("GetModuleFileNameW");
  trace.Arg(Pointer(module)).Arg(Decimal(size));
  if (auto fault = process.TakeFault("GetModuleFileNameW")) {
    SetLastErrorValue(*fault);
    trace.Result("0", *fault);
    return 0;
  }
  if (module != nullptr && module != process.module()) {
    SetLastErrorValue(ERROR_MOD_NOT_FOUND);
    trace.Result("0", ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::u16string& name = process.options().image;
  if (name.size() < size) {
    std::copy(name.begin(), name.end(), file_name);
    file_name[name.size()] = 0;
    trace.Result(Decimal(name.size()) + " " + Quoted(file_name));
    return static_cast<DWORD>(name.size());
  }
  // Cut short: size - 1 units and a terminator, the result is the buffer's size.
  if (size > 0) {
    std::copy_n(name.begin(), size - 1, file_name);
    file_name[size - 1] = 0;
  }
  SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
  trace.Result(Decimal(size), ERROR_INSUFFICIENT_BUFFER);
  return size;
}

extern "C" HANDLE GetCurrentProcess() { return CurrentProcessPseudoHandle(); }

extern "C" BOOL SetProcessWorkingSetSize(HANDLE process_handle, SIZE_T minimum, SIZE_T maximum) {
  Process& process = CurrentProcess();
  TraceLine trace("SetProcessWorkingSetSize");
  trace.Arg(Pointer(process_handle)).Arg(Hex(minimum)).Arg(Hex(maximum));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = process.TakeFault("SetProcessWorkingSetSize")) return fail(*fault);
  if (process_handle != CurrentProcessPseudoHandle()) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    trace.Result("FALSE", ERROR_INVALID_HANDLE);
    return FALSE;
  }
  process.RecordWorkingSetTrim();
  trace.Result("TRUE");
  return TRUE;
}

extern "C" void ExitProcess(UINT exit_code) {
  Process& process = CurrentProcess();
  TraceLine("ExitProcess").Arg(Decimal(exit_code)).Result("(process ends)");
  if (!process.options().accounting_file.empty()) {
    std::ofstream(process.options().accounting_file, std::ios::trunc) << process.AccountingReport();
  }
  // Said where a person running the program sees it, and in the report above for tests.
  for (const auto& rule : process.UnfiredFaults()) {
    std::fprintf(stderr, "winsim: fault rule %s never fired\n", FaultRuleText(rule).c_str());
  }
  // The parent sees the end only once the handles are closed and the image is free.
  process.ReleaseAtExit();
  WriteExitCode(process.options().exit_fd, exit_code);
  ::_exit(static_cast<int>(exit_code & 0xFF));
}
