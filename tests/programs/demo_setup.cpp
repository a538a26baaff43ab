// The demo's setup program stand-in: it shows the command line it was given and ends
// with exit code 0, as a successful setup does.
#include <cstdio>

#include "platform/kernel32_core.h"
#include "sim/core/text.h"

extern "C" void ProgramEntry() {
  std::printf("setup.exe ran with: %s\n", sim::ToUtf8(GetCommandLineW()).c_str());
  std::fflush(stdout);
  ExitProcess(0);
}
