// The directory that receives the payload: a new, randomly named, access-controlled
// directory beside the executable, or the executable's own directory in unpack-only mode.
#pragma once
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"
#include "stub/support/scoped_handle.h"

constexpr int kDirectoryAttempts = 10;

// On success `work_directory` names an existing directory and ends with a backslash; in
// a normal run `hold` then holds the new directory open (HoldWorkDirectory), and in an
// unpack-only run holds nothing. Failures: {109, 0} for an unusable module path or ten
// failed creations, {109, error} when the new directory cannot be held (it is then
// removed), {108, 0} when the base directory leaves no room for the name, {117, error}
// when the descriptor cannot be built.
ExitResult CreateWorkDirectory(HMODULE module, PathString& work_directory, ScopedHandle& hold);

// Opens `directory` so that, while `hold` keeps it, nobody can rename or delete it:
// listing access (a right that takes part in sharing) and share mode read and write but
// not delete, which refuses every later open asking for DELETE, the right that renaming
// and deleting need. False with the open's error as the last error.
bool HoldWorkDirectory(const PathString& directory, ScopedHandle& hold);

// Creates "<base>TS_XXXXX.tmp" under a name drawn from the system's random source, with
// the protected descriptor where the volume keeps access-control lists. `base` ends with
// a backslash. On success `output` is the new directory with its trailing backslash; after
// ten failed attempts it holds the last name tried, without it.
bool CreateUniqueDirectory(const PathString& base, PathString& output, ExitResult& result);

// True with a descriptor (release it with LocalFree), or true with none when the volume
// of `base` does not keep access-control lists or cannot be asked. False on failure,
// with the failing call's error as the last error.
bool BuildWorkDirectorySecurity(const PathString& base, PSECURITY_DESCRIPTOR& descriptor);

// The SID that the process token names as default owner of new objects, as text that
// the caller releases with LocalFree.
bool GetTokenOwnerSidString(LPWSTR& text);
