// kernel32: where the system's own libraries live.
#pragma once
#include "platform/types.h"

extern "C" {
// The system directory, without a trailing backslash unless it is a root. On success the
// units stored, terminator not counted (less than `size`). When `size` is too small the
// size needed, terminator included, and nothing usable is stored. 0 and the last error on
// failure. Nobody but the system chooses it: no environment variable moves it.
PLATFORM_IMPORT UINT GetSystemDirectoryW(LPWSTR buffer, UINT size);
}
