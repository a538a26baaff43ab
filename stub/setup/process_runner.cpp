#include "stub/setup/process_runner.h"

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "stub/config/configuration.h"

namespace {

ExitResult StartFailure(const PathString& executable_path, DWORD file_not_found_code,
                        DWORD path_not_found_code, DWORD launch_failed_code) {
  // The start's error first: reading the attributes sets an error of its own.
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(executable_path.Data());
  if (error == ERROR_FILE_NOT_FOUND) return {file_not_found_code, attributes};
  if (error == ERROR_PATH_NOT_FOUND) return {path_not_found_code, attributes};
  return {launch_failed_code, error};
}

// The child's exit code once it has ended; the process handle is the caller's to close.
ExitResult WaitForExit(HANDLE process) {
  DWORD exit_code = 0;
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process, &exit_code)) {
    return {kWaitFailed, GetLastError()};
  }
  return {exit_code, 0};
}

// Where the program name ends: just after its closing quote, or at the first NUL, space
// or TAB of an unquoted one (every other unit, CR and LF included, belongs to it). Null
// for a quoted name that is never closed.
LPCWSTR ProgramNameEnd(LPCWSTR raw_command_line) {
  LPCWSTR position = raw_command_line;
  if (*position == u'"') {
    ++position;
    while (*position != 0 && *position != u'"') ++position;
    return *position == 0 ? nullptr : position + 1;
  }
  while (*position != 0 && *position != u' ' && *position != u'\t') ++position;
  return position;
}

}  // namespace

ExitResult RunAndWait(const PathString& executable_path, CommandString& command_line,
                      DWORD file_not_found_code, DWORD path_not_found_code, DWORD launch_failed_code) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  if (silent_mode) {
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION child = {};
  if (!CreateProcessW(executable_path.Data(), command_line.Data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child)) {
    return StartFailure(executable_path, file_not_found_code, path_not_found_code,
                        launch_failed_code);
  }
  CloseHandle(child.hThread);
  const ExitResult result = WaitForExit(child.hProcess);
  CloseHandle(child.hProcess);
  return result;
}

void AppendUserArguments(LPCWSTR raw_command_line, CommandString& command_line) {
  if (raw_command_line == nullptr) return;
  const LPCWSTR tail = ProgramNameEnd(raw_command_line);
  if (tail == nullptr || *tail == 0) return;
  if (*tail != u' ' && *tail != u'\t' && !command_line.Append(u" ")) return;
  command_line.Append(tail);
}
