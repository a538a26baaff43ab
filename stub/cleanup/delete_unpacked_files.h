// End-of-run removal of what the run unpacked. Nothing is reported: a deletion that does
// not succeed within its attempts leaves the object in place.
#pragma once
#include "stub/support/fixed_string.h"
#include "stub/support/scoped_handle.h"

// Either path may be empty; the work directory ends with a backslash and goes last. The
// run's hold on the work directory (if any) is closed just before the directory is
// deleted, since the hold refuses deletion to every open, the stub's own included.
void DeleteUnpackedFiles(const PathString& archive_path, const PathString& setup_path,
                         const PathString& work_directory, ScopedHandle& work_directory_hold);
