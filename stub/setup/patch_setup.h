// Rebuilds the setup program from a patch by running the installed setup program.
#pragma once
#include "stub/config/configuration.h"
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// exit_code 0 means the rebuilt setup program now stands at `new_setup_path`.
ExitResult PatchSetup(const Configuration& configuration, const PathString& patch_path,
                      const PathString& new_setup_path);
