// The directory that receives the payload: a new, randomly named, access-controlled
// directory beside the executable, or the executable's own directory in unpack-only mode.
#pragma once
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// On success `work_directory` names an existing directory and ends with a backslash.
ExitResult CreateWorkDirectory(HMODULE module, PathString& work_directory);
