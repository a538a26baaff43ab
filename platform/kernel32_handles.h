// kernel32: closing and duplicating handles of any kind.
#pragma once
#include "platform/types.h"

constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x00000001;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x00000002;

extern "C" {
PLATFORM_IMPORT BOOL CloseHandle(HANDLE object);
PLATFORM_IMPORT BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process,
                                     HANDLE* target, DWORD desired_access, BOOL inherit,
                                     DWORD options);
}
