// main() of a simulated program: set up the process from the environment winsim gave it,
// then enter the program's own Windows entry point, named by WINSIM_ENTRY at build time.
#include "platform/kernel32_core.h"
#include "sim/core/process.h"

#ifndef WINSIM_ENTRY
#error "WINSIM_ENTRY must name the program's entry point"
#endif

extern "C" void WINSIM_ENTRY();

int main() {
  sim::StartProcess(sim::ProcessOptions::FromEnvironment());
  WINSIM_ENTRY();
  // A Windows entry point that returns ends its process with exit code 0.
  ExitProcess(0);
}
