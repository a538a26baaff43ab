// main() of a simulated program: set up the process from the environment winsim gave it,
// then enter the program's own Windows entry point, named by WINSIM_ENTRY at build time.
#include "platform/kernel32_core.h"
#include "sim/core/process.h"

#include <cstdio>
#include <exception>

#ifndef WINSIM_ENTRY
#error "WINSIM_ENTRY must name the program's entry point"
#endif

extern "C" void WINSIM_ENTRY();

int main() {
  try {
    sim::StartProcess(sim::ProcessOptions::FromEnvironment());
  } catch (const std::exception& refused) {
    // Options that winsim or a parent would have refused: said as winsim says its own.
    std::fprintf(stderr, "winsim: %s\n", refused.what());
    return 125;
  }
  WINSIM_ENTRY();
  // A Windows entry point that returns ends its process with exit code 0.
  ExitProcess(0);
}
