// Stands in for the setup program that the stub carries, written against the platform
// alone so that it runs on any Windows: it records how it was started and ends with the
// exit code that PELLORA_SETUP_EXIT_CODE names (all 32 bits; default 0). With
// PELLORA_SETUP_RENAME_FOLDER set, it first tries to rename its archive's folder to the
// same name with ".moved" added, and records the outcome with the error of a refusal.
#include "platform/kernel32_core.h"
#include "tools/standins/freestanding/folder_rename.h"
#include "tools/standins/freestanding/standin_run.h"
#include "tools/standins/freestanding/standin_text.h"

using namespace freestanding_standins;

namespace {

constexpr char16_t kRenameFolderVariable[] = u"%PELLORA_SETUP_RENAME_FOLDER%";

// "renamed its folder", or "folder rename refused " and the error in decimal.
const char* RenameArchiveFolder(const char16_t* archive, char* outcome, SIZE_T capacity) {
  static constexpr SIZE_T kCapacity = 1024;
  char16_t folder[kCapacity];
  char16_t moved[kCapacity + 8];
  SIZE_T end = 0;
  for (SIZE_T at = 0; archive[at] != 0 && at < kCapacity - 1; ++at) {
    folder[at] = archive[at];
    if (archive[at] == u'\\') end = at;
  }
  folder[end] = 0;
  SIZE_T length = 0;
  for (; folder[length] != 0; ++length) moved[length] = folder[length];
  for (const char16_t* suffix = u".moved"; *suffix != 0; ++suffix) moved[length++] = *suffix;
  moved[length] = 0;
  if (MoveFileExW(folder, moved, 0)) return "renamed its folder";
  DWORD error = GetLastError();
  const char prefix[] = "folder rename refused ";
  SIZE_T used = 0;
  for (; prefix[used] != 0; ++used) outcome[used] = prefix[used];
  char digits[12];
  SIZE_T count = 0;
  do {
    digits[count++] = static_cast<char>('0' + error % 10);
    error /= 10;
  } while (error != 0);
  while (count > 0 && used < capacity - 1) outcome[used++] = digits[--count];
  outcome[used] = 0;
  return outcome;
}

}  // namespace

extern "C" [[noreturn]] void FreestandingSetupEntry() {
  static constexpr SIZE_T kCapacity = 1024;
  char16_t archive[kCapacity];
  RunDescription run;
  run.program = "setup";
  const char16_t* command_line = GetCommandLineW();
  if (QuotedSwitchValue(command_line, u"install-archive", archive, kCapacity) ||
      QuotedSwitchValue(command_line, u"uncompressed-archive", archive, kCapacity)) {
    run.archive = archive;
  }
  run.outcome = "ran";
  char16_t rename_setting[8];
  char outcome[48];
  if (run.archive != nullptr && EnvironmentText(kRenameFolderVariable, rename_setting, 8)) {
    run.outcome = RenameArchiveFolder(run.archive, outcome, sizeof outcome);
  }
  if (!EnvironmentNumber(kSetupExitCodeVariable, &run.exit_code)) run.exit_code = 0;
  FinishRun(run);
}
