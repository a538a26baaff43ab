// What both freestanding stand-ins do alike through the platform: read their settings from
// the environment (inherited from whoever started the installation, on either machine),
// read and write whole files, and end by appending their run to the record.
#pragma once
#include "platform/types.h"

namespace freestanding_standins {

// Environment names of the settings (numbers: decimal or "0x").
inline constexpr char16_t kRecordVariable[] = u"%PELLORA_STANDIN_RECORD%";        // default below
inline constexpr char16_t kSetupExitCodeVariable[] = u"%PELLORA_SETUP_EXIT_CODE%";  // default 0
inline constexpr char16_t kInstalledExitCodeVariable[] = u"%PELLORA_INSTALLED_EXIT_CODE%";  // forced
inline constexpr char16_t kInstalledWriteVariable[] = u"%PELLORA_INSTALLED_WRITE%";  // "no": write nothing
inline constexpr char16_t kDefaultRecordPath[] = u"C:\\StandIns\\runs.txt";

// The value of an environment variable written as "%NAME%" into `value`; false when unset
// (ExpandEnvironmentStringsW leaves an unknown name as it stands) or too long.
bool EnvironmentText(const char16_t* variable, char16_t* value, DWORD capacity);
bool EnvironmentNumber(const char16_t* variable, DWORD* value);

// A whole file in a block of the process heap, owned by the caller (FreeBytes).
struct FileBytes {
  BYTE* data = nullptr;
  DWORD size = 0;
};
bool ReadWholeFile(const char16_t* path, FileBytes* bytes);
void FreeBytes(FileBytes* bytes);
bool WriteWholeFile(const char16_t* path, const BYTE* data, DWORD size);

// What the process was started with and what it did; written as one record block.
struct RunDescription {
  const char* program = "";   // "setup" or "installed-setup"
  const char16_t* archive = nullptr;  // setup: the path of its archive switch, if any
  const char* outcome = "";
  DWORD exit_code = 0;
};

// Appends the block (command line, module, startup flags, outcome, exit code) to the
// record in one write, then ends the process with the exit code.
[[noreturn]] void FinishRun(const RunDescription& run);

}  // namespace freestanding_standins
