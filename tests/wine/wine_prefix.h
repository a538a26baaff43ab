// A Wine prefix as a second Windows for the tests: files are put into its drive C from the
// host side, registry values are set with Wine's own `reg add` (/reg:32 for the 32-bit
// view), and a program is started through exit_code_parent.exe, an ARM64 program that
// starts it with an exact raw command line and reports its whole 32-bit exit code.
// tools/wine/wine-prefix.sh makes the prefix and its status file.
#pragma once
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"
#include "tests/e2e/installation_scenarios.h"

namespace wine {

class Prefix {
 public:
  // `directory` holds "prefix" and "status" (wine-prefix.sh start makes them).
  explicit Prefix(std::filesystem::path directory);

  // Empty when Wine can run here; otherwise why not (the tests' reason to skip).
  std::string Unavailable() const;

  // The host path of a Windows path on drive C; existing names are matched without regard
  // to case, as Windows does, and the missing parents are made.
  std::filesystem::path HostPath(const std::u16string& windows_path) const;

  struct Request {
    std::u16string application;   // the program to start
    std::u16string command_line;  // its raw command line, exactly
    std::vector<scenarios::RegistryValue> registry;  // set before the start
    std::map<std::string, std::string> environment;  // for the program and its children
  };
  struct Outcome {
    std::optional<DWORD> exit_code;  // the child's, all 32 bits
    std::string failure;             // why there is none (the parent's report or Wine's output)
  };
  // Clears the values the previous run set, sets the request's, and runs the program.
  Outcome Run(const Request& request) const;

 private:
  std::filesystem::path directory_;
  std::filesystem::path drive_c_;
};

// The prefix of this build directory (build/host/wine).
const Prefix& BuildPrefix();

}  // namespace wine
