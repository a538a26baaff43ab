// Renaming, which the stub never does but its neighbours may: MoveFileExW for the
// simulated programs that tests run as other Windows programs. The stub's own platform
// declarations (platform/) leave it out on purpose.
#pragma once
#include "platform/types.h"

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1u;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8u;

extern "C" BOOL MoveFileExW(LPCWSTR existing_file_name, LPCWSTR new_file_name, DWORD flags);
