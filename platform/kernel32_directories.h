// kernel32: creating directories.
#pragma once
#include "platform/security_attributes.h"
#include "platform/types.h"

extern "C" {
// Creates only the last component. Fails with ERROR_ALREADY_EXISTS when the name is taken
// (by a directory or a file) and ERROR_PATH_NOT_FOUND when a parent is missing. Null
// attributes give the directory the default security inherited from its parent; a
// descriptor only takes effect on a volume that keeps access-control lists.
PLATFORM_IMPORT BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
}
