// Starting one child program and waiting for it, and passing the user's arguments on.
// Neither allocates: both work in the caller's buffers and in records on the stack.
#pragma once
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// Starts `executable_path` (never searched for) with `command_line`, waits without a time
// limit and returns {the child's exit code, 0}. A start that fails with ERROR_FILE_NOT_FOUND
// or ERROR_PATH_NOT_FOUND gives the matching code with the attribute word of the path; any
// other start failure {launch_failed_code, error}; a failed wait or exit-code read
// {kWaitFailed, error}. Under silent_mode the child is told to start hidden.
ExitResult RunAndWait(const PathString& executable_path, CommandString& command_line,
                      DWORD file_not_found_code, DWORD path_not_found_code, DWORD launch_failed_code);

// Appends what followed the program name on `raw_command_line`, verbatim, with one space
// put in front when the tail does not begin with a space or TAB. A tail that does not fit
// is dropped without a report.
void AppendUserArguments(LPCWSTR raw_command_line, CommandString& command_line);
