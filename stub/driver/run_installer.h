// The whole run: configuration, work directory, unpacking, patching, setup, cleanup.
#pragma once
#include "stub/driver/exit_result.h"

// The first failing step decides the result; otherwise it is setup's own exit code.
ExitResult RunInstaller(HMODULE module);
