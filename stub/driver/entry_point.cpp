// The image's entry point: no runtime start-up code runs before it.
#include "platform/kernel32_core.h"
#include "stub/driver/run_installer.h"

extern "C" [[noreturn]] void InstallerEntry() {
  const ExitResult result = RunInstaller(GetModuleHandleW(nullptr));
  ExitProcess(result.exit_code);
}
