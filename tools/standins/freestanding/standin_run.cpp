#include "tools/standins/freestanding/standin_run.h"

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_environment.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "tools/standins/freestanding/standin_text.h"

namespace freestanding_standins {

bool EnvironmentText(const char16_t* variable, char16_t* value, DWORD capacity) {
  const DWORD units = ExpandEnvironmentStringsW(variable, value, capacity);
  // The count includes the terminator; 0 is a failure and a larger count did not fit.
  if (units == 0 || units > capacity) return false;
  SIZE_T i = 0;
  while (variable[i] != u'\0' && variable[i] == value[i]) ++i;
  return variable[i] != u'\0' || value[i] != u'\0';
}

bool EnvironmentNumber(const char16_t* variable, DWORD* value) {
  char16_t text[32];
  return EnvironmentText(variable, text, 32) && ParseNumber(text, value);
}

bool ReadWholeFile(const char16_t* path, FileBytes* bytes) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == InvalidHandleValue()) return false;
  LONG high = 0;
  const DWORD size = SetFilePointer(file, 0, &high, FILE_END);
  bool read = size != INVALID_SET_FILE_POINTER && high == 0 && SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0;
  BYTE* data = read ? static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size + 1)) : nullptr;
  DWORD done = 0;
  read = data != nullptr && ReadFile(file, data, size, &done, nullptr) && done == size;
  CloseHandle(file);
  if (!read) {
    if (data != nullptr) HeapFree(GetProcessHeap(), 0, data);
    return false;
  }
  bytes->data = data;
  bytes->size = size;
  return true;
}

void FreeBytes(FileBytes* bytes) {
  if (bytes->data != nullptr) HeapFree(GetProcessHeap(), 0, bytes->data);
  *bytes = FileBytes{};
}

bool WriteWholeFile(const char16_t* path, const BYTE* data, DWORD size) {
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == InvalidHandleValue()) return false;
  DWORD done = 0;
  const bool written = WriteFile(file, data, size, &done, nullptr) && done == size;
  CloseHandle(file);
  return written;
}

namespace {

constexpr DWORD kPathCapacity = 1024;
// Too large for a frame; constant-initialized, so no constructor runs before the entry.
constinit RecordText text;

// Appends in one write to a file opened for appending only, so that the blocks of the
// two programs never interleave.
void AppendToRecord(const RecordText& text) {
  char16_t path[kPathCapacity];
  if (!EnvironmentText(kRecordVariable, path, kPathCapacity)) {
    for (SIZE_T i = 0; i <= Length(kDefaultRecordPath); ++i) path[i] = kDefaultRecordPath[i];
  }
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == InvalidHandleValue()) return;
  DWORD done = 0;
  WriteFile(file, text.bytes(), text.size(), &done, nullptr);
  CloseHandle(file);
}

}  // namespace

void FinishRun(const RunDescription& run) {
  const char16_t* command_line = GetCommandLineW();
  char16_t module[kPathCapacity];
  DWORD module_units = GetModuleFileNameW(nullptr, module, kPathCapacity);
  if (module_units >= kPathCapacity) module_units = 0;  // cut short: recorded as empty
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);

  text.Append("run ");
  text.Append(run.program);
  text.Append("\ncommand_line ");
  text.AppendEncoded(command_line, Length(command_line));
  text.Append("\nmodule ");
  text.AppendEncoded(module, module_units);
  text.Append("\nstartup_flags ");
  text.AppendHex32(startup.dwFlags);
  text.Append("\nshow_window ");
  text.AppendDecimal(startup.wShowWindow);
  text.Append("\n");
  if (run.archive != nullptr) {
    text.Append("archive ");
    text.AppendEncoded(run.archive, Length(run.archive));
    text.Append("\n");
  }
  text.Append("outcome ");
  text.Append(run.outcome);
  text.Append("\nexit_code ");
  text.AppendHex32(run.exit_code);
  text.Append("\nend\n");
  if (!text.overflowed()) AppendToRecord(text);
  ExitProcess(run.exit_code);
}

}  // namespace freestanding_standins
