// Finds the installed product's setup program through its uninstall command in the
// client-state key of the 32-bit registry view.
#pragma once
#include "stub/driver/exit_result.h"
#include "stub/support/fixed_string.h"

// Reads "UninstallString" below HKEY_LOCAL_MACHINE when `system_level` is set, else below
// HKEY_CURRENT_USER (never the other root), into `buffer` of `capacity` units. The value
// must contain `previous_version` (ASCII letters folded; null or empty accepts anything);
// a value enclosed as a whole in double quotes loses them. Results: {0, 0};
// {kClientStateUnavailable, registry status}; {kPreviousVersionMismatch, 0}. A capacity of
// 0 leaves no room for even a terminator: {kClientStateUnavailable, ERROR_MORE_DATA}, and
// the buffer is not written.
ExitResult FindPreviousSetup(bool system_level, LPCWSTR previous_version, LPWSTR buffer,
                             Count capacity);
