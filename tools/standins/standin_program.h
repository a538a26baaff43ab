// What both stand-in programs do alike: describe how they were started, read and write
// files of their machine, and end by recording the run.
#pragma once
#include <optional>
#include <string>

#include "platform/types.h"
#include "sim/core/machine.h"
#include "tools/standins/standin_record.h"

namespace standins {

// Command line, module, current directory and how the parent started this process.
StandInRun DescribeThisRun(const std::string& program);

// A number from machine.conf ("0x" allowed), if set.
std::optional<DWORD> NumberSetting(const sim::Machine& machine, const char* key);

std::optional<std::string> ReadMachineFile(const sim::Machine& machine, const std::u16string& path);
bool WriteMachineFile(const sim::Machine& machine, const std::u16string& path, const std::string& bytes);

// Records the run with its outcome and exit code, then ends the process with that code.
[[noreturn]] void FinishRun(StandInRun& run, std::string outcome, DWORD exit_code);

}  // namespace standins
