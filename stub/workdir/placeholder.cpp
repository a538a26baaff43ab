// PLACEHOLDER until the work-directory step is built: it fails with its own failure code.
#include "stub/workdir/work_directory.h"

ExitResult CreateWorkDirectory(HMODULE, PathString&) { return {kWorkDirectoryFailed, 0}; }
