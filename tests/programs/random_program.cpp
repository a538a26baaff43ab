// A simulated program for tests of the random source through winsim: it draws
// RANDOM_PROGRAM_BYTES bytes (default 8) with RtlGenRandom and writes them, as upper-case
// hexadecimal digits, to the host file named by REPORT_PROGRAM_OUTPUT.
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/advapi32_random.h"
#include "platform/kernel32_core.h"
#include "sim/core/process.h"

extern "C" void ProgramEntry() {
  const char* count_text = std::getenv("RANDOM_PROGRAM_BYTES");
  std::vector<BYTE> bytes(count_text != nullptr ? std::strtoul(count_text, nullptr, 10) : 8);
  const bool drawn = RtlGenRandom(bytes.data(), static_cast<ULONG>(bytes.size())) != 0;
  if (const char* output = std::getenv("REPORT_PROGRAM_OUTPUT")) {
    std::ofstream(output, std::ios::binary) << sim::HexBytes(bytes) << "\n";
  }
  ExitProcess(drawn ? 0 : 1);
}
