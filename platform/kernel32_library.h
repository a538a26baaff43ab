// kernel32: loading a library at run time and finding its entry points.
#pragma once
#include "platform/types.h"

// With an absolute path: the library's own dependencies are searched from its folder.
constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x00000008;

extern "C" {
// `file` must be null. Null and the last error on failure.
PLATFORM_IMPORT HMODULE LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags);
// The name is ANSI and must match the export exactly. Null and the last error on failure.
PLATFORM_IMPORT FARPROC GetProcAddress(HMODULE module, const char* proc_name);
}
