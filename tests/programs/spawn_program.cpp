// A simulated program for tests of fault rules across processes: it asks for its own
// module name, then runs C:\child.exe once, waits for it and ends with the child's exit
// code (or 1 when the child could not be run).
#include "platform/kernel32_core.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"

extern "C" void ProgramEntry() {
  WCHAR module_name[260];
  GetModuleFileNameW(nullptr, module_name, 260);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  WCHAR command_line[] = u"\"C:\\child.exe\"";
  if (!CreateProcessW(u"C:\\child.exe", command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
    ExitProcess(1);
  }
  DWORD exit_code = 1;
  WaitForSingleObject(child.hProcess, INFINITE);
  GetExitCodeProcess(child.hProcess, &exit_code);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  ExitProcess(exit_code);
}
