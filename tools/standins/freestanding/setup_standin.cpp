// Stands in for the setup program that the stub carries, written against the platform
// alone so that it runs on any Windows: it records how it was started and ends with the
// exit code that PELLORA_SETUP_EXIT_CODE names (all 32 bits; default 0).
#include "platform/kernel32_core.h"
#include "tools/standins/freestanding/standin_run.h"
#include "tools/standins/freestanding/standin_text.h"

using namespace freestanding_standins;

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
  if (!EnvironmentNumber(kSetupExitCodeVariable, &run.exit_code)) run.exit_code = 0;
  FinishRun(run);
}
