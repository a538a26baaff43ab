// The record that the stand-ins for the setup program and the installed setup program
// append to, one block per run, in a file of the machine that outlives every work
// directory. Tests read it back to see what each child was given.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "sim/core/machine.h"

namespace standins {

// machine.conf keys (values are Windows paths or numbers, "0x" allowed).
constexpr const char* kRecordSetting = "standin.record";                   // default below
constexpr const char* kSetupExitCodeSetting = "standin.setup.exit_code";    // default 0
constexpr const char* kSetupWaitForSetting = "standin.setup.wait_for";      // a file to wait for
constexpr const char* kInstalledExitCodeSetting = "standin.installed.exit_code";  // forced, no patching
constexpr const char* kInstalledWriteSetting = "standin.installed.write";   // "no": exit 0, write nothing
constexpr const char16_t kDefaultRecordPath[] = u"C:\\StandIns\\runs.txt";

struct StandInRun {
  std::string program;              // "setup" or "installed-setup"
  std::u16string command_line;      // raw, exactly as GetCommandLineW gave it
  std::u16string module;            // GetModuleFileNameW
  std::u16string current_directory;
  DWORD startup_flags = 0;          // GetStartupInfoW's dwFlags
  WORD show_window = 0;             // and wShowWindow
  DWORD creation_flags = 0;         // as CreateProcessW was given them
  std::u16string archive;           // setup: the path of its archive switch, if any
  // setup: every file beside the archive, by name, with its size in bytes, sorted.
  std::vector<std::pair<std::u16string, uint64_t>> beside;
  std::string outcome;              // what the program did, e.g. "patched", "forced"
  DWORD exit_code = 0;
};

std::u16string RecordPath(const sim::Machine& machine);
// Appends the run in one write, so that runs of several processes never interleave.
bool AppendRun(const sim::Machine& machine, const StandInRun& run);
// Every run recorded on the machine at `root`, oldest first; empty when there is none.
std::vector<StandInRun> ReadRuns(const std::filesystem::path& root);
// The runs in a record's text (as the freestanding stand-ins write it on any Windows too).
std::vector<StandInRun> ParseRuns(const std::string& text);

// Text in the record: UTF-8, with control units, DEL and '%' written as %XX.
std::string EncodeText(std::u16string_view text);
std::u16string DecodeText(std::string_view text);

// The value of `--name="value"` on a command line, the first occurrence; empty if none.
std::u16string QuotedSwitchValue(std::u16string_view command_line, std::u16string_view name);

}  // namespace standins
