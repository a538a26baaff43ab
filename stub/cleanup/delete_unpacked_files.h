// End-of-run removal of what the run unpacked. Nothing is reported: a deletion that does
// not succeed within its attempts leaves the object in place.
#pragma once
#include "stub/support/fixed_string.h"

// Either path may be empty; the work directory ends with a backslash and goes last.
void DeleteUnpackedFiles(const PathString& archive_path, const PathString& setup_path,
                         const PathString& work_directory);
