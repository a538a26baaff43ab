// Writes the archive and setup resources of the image into the work directory.
#pragma once
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// On success all four outputs are set and both files exist. On failure the paths hold
// whatever had been set so far, for the cleanup to work from.
ExitResult UnpackPayload(HMODULE module, const PathString& work_directory, PathString& archive_path,
                         TypeString& archive_tag, PathString& setup_path, TypeString& setup_tag);
