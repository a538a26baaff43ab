// A small ARM64 Windows program that starts one child exactly as a test asks and reports
// the child's whole 32-bit exit code: a host process status keeps only 8 bits.
//
//   exit_code_parent.exe JOB
// JOB names a UTF-8 text file of two lines: the application path, and the raw command
// line with control characters and '%' written as %XX. The parent writes JOB.exit:
// "exit_code 0x%08X" after the child ended, or "create_failed <error>".
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "platform/kernel32_text_conversion.h"
#include "tools/standins/freestanding/standin_run.h"
#include "tools/standins/freestanding/standin_text.h"

using namespace freestanding_standins;

namespace {

constexpr int kLineCapacity = 32768;
char16_t application[kLineCapacity];
char16_t command_line[kLineCapacity];
char16_t result_path[kLineCapacity];

int HexDigit(BYTE c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One line of the job (from `*at` to the next LF), %XX decoded in place, as UTF-16.
bool NextLine(BYTE* bytes, DWORD size, DWORD* at, char16_t* line) {
  DWORD out = *at, i = *at;
  BYTE* start = bytes + *at;
  for (; i < size && bytes[i] != '\n'; ++i) {
    if (bytes[i] == '%' && i + 2 < size && HexDigit(bytes[i + 1]) >= 0 && HexDigit(bytes[i + 2]) >= 0) {
      bytes[out++] = static_cast<BYTE>(HexDigit(bytes[i + 1]) << 4 | HexDigit(bytes[i + 2]));
      i += 2;
    } else {
      bytes[out++] = bytes[i];
    }
  }
  const int bytes_in_line = static_cast<int>(out - *at);
  *at = i + 1;
  if (bytes_in_line == 0) {
    line[0] = u'\0';
    return true;
  }
  const int units = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(start), bytes_in_line, line,
                                        kLineCapacity - 1);
  if (units <= 0) return false;
  line[units] = u'\0';
  return true;
}

// The parent's own argument: everything after its program name and the spaces after it.
const char16_t* OwnArgument() {
  const char16_t* at = GetCommandLineW();
  if (*at == u'"') {
    for (++at; *at != u'\0' && *at != u'"'; ++at) {}
    if (*at == u'"') ++at;
  } else {
    while (*at != u'\0' && *at != u' ' && *at != u'\t') ++at;
  }
  while (*at == u' ' || *at == u'\t') ++at;
  return at;
}

constinit RecordText text;  // too large for a frame

void WriteResult(const char* key, DWORD value, bool hex) {
  text.Append(key);
  text.Append(" ");
  if (hex) {
    text.AppendHex32(value);
  } else {
    text.AppendDecimal(value);
  }
  text.Append("\n");
  WriteWholeFile(result_path, reinterpret_cast<const BYTE*>(text.bytes()), text.size());
}

}  // namespace

extern "C" [[noreturn]] void ExitCodeParentEntry() {
  const char16_t* job = OwnArgument();
  const SIZE_T job_units = Length(job);
  if (job_units == 0 || job_units + 6 > static_cast<SIZE_T>(kLineCapacity)) ExitProcess(2);
  FileBytes bytes;
  if (!ReadWholeFile(job, &bytes)) ExitProcess(3);
  DWORD at = 0;
  const bool parsed = NextLine(bytes.data, bytes.size, &at, application) &&
                      NextLine(bytes.data, bytes.size, &at, command_line);
  FreeBytes(&bytes);
  if (!parsed) ExitProcess(4);
  for (SIZE_T i = 0; i < job_units; ++i) result_path[i] = job[i];
  const char16_t kSuffix[] = u".exit";
  for (SIZE_T i = 0; i < 6; ++i) result_path[job_units + i] = kSuffix[i];

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    WriteResult("create_failed", GetLastError(), false);
    ExitProcess(0);
  }
  CloseHandle(process.hThread);
  DWORD exit_code = 0;
  const bool ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  if (!ended) ExitProcess(5);
  WriteResult("exit_code", exit_code, true);
  ExitProcess(0);
}
