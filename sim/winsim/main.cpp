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
      --fault NAME:N:ERROR   fail the Nth call (or "all") of NAME with ERROR; NAME must be
                             a function that can fail (else exit 125); a rule that never
                             fired is named on stderr and in the accounting at exit
      --fault child-K/NAME:N:ERROR   the same in the Kth child the program starts
                             ("child-*/": every child; steps nest: child-1/child-2/...)
      --random HEX           bytes that RtlGenRandom hands out first, in order
                             (e.g. 3FA9C207), then the host's random source
      --print-exit-code      print the program's full 32-bit exit code
    winsim's own exit status is the program's exit code (its low 8 bits, as the host keeps).

  reg set [options] KEY [NAME DATA]    create KEY (and its parents), or set its value NAME
  reg show [options] [KEY [NAME]]      print keys, values, types and raw bytes
  reg delete [options] KEY [NAME]      delete KEY with everything below it, or one value
      KEY is HKEY_CURRENT_USER\... or HKEY_LOCAL_MACHINE\... (HKCU, HKLM); NAME "" is
      the default value
      --root DIR             machine root (as for run)
      --view 64|32           registry view (default 64); 32 is what KEY_WOW64_32KEY opens
      DATA, exactly one of:
      --string TEXT          UTF-16 text and its terminator (REG_SZ)
      --string-unterminated TEXT   UTF-16 text without terminator (REG_SZ)
      --dword N / --qword N  little-endian number (REG_DWORD / REG_QWORD)
      --hex BYTES            raw bytes of any length, e.g. "30 00 31" (REG_BINARY)
      --type TYPE            store under this type instead: sz, expand_sz, binary, dword,
                             multi_sz, qword, none or any number
    exit status: 0 done, 1 no such key or value, 2 bad usage.
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
  if (command == "reg") return RegCommand(arguments);
  std::fprintf(stderr, "winsim: unknown command '%s'\n%s", command.c_str(), kUsage);
  return 2;
}
