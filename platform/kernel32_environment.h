// kernel32: expanding %NAME% references of the process environment.
#pragma once
#include "platform/types.h"

extern "C" {
// The result counts units stored, terminator included. When `size` is too small the
// result is the size needed (terminator included), larger than `size`. 0 on failure.
PLATFORM_IMPORT DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size);
}
