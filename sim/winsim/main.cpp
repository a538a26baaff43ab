// winsim: runs programs in the simulated Windows and looks after its machines.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/winsim/commands.h"

namespace {

constexpr const char* kUsage = R"(usage: winsim COMMAND [options]

commands:
  run [options] PROGRAM   run a simulated program (a host build linked with the simulation)
      --root DIR             machine root (default: $WINSIM_ROOT, else ~/.winsim/machine)
      --image WINPATH        the image the program stands for: its module and
                             GetModuleFileNameW (default C:\program.exe)
      --command-line TEXT    the raw command line, exactly (default: the image path, quoted)
      --current-directory WINPATH   (default C:\)
      --trace FILE           append one line per platform call to FILE (children too)
      --accounting FILE      write open handles, live blocks and pauses at exit to FILE;
                             the Nth child the program starts writes its own to FILE.child-N
      --virtual-sleep        count pauses instead of waiting
      --fault NAME:N:ERROR   fail the Nth call (or "all") of NAME with ERROR
      --random HEX           bytes that RtlGenRandom hands out first, in order
                             (e.g. 3FA9C207), then the host's random source
      --print-exit-code      print the program's full 32-bit exit code
    winsim's own exit status is the program's exit code (its low 8 bits, as the host keeps).
)";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string command = argv[1];
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  if (command == "run") return RunCommand(arguments);
  std::fprintf(stderr, "winsim: unknown command '%s'\n%s", command.c_str(), kUsage);
  return 2;
}
