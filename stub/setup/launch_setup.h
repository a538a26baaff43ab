// Runs the setup program with the archive, the previous version and the user's arguments.
#pragma once
#include "stub/config/configuration.h"
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// Setup's own exit code with extra code 0 when it ran, else a failure code.
ExitResult LaunchSetup(const Configuration& configuration, const PathString& archive_path,
                       const PathString& setup_path, bool compressed_archive);
