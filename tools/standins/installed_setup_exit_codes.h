// The exit codes of the installed setup stand-in, one set for its host and freestanding
// builds, so that the tests read the same outcome from either (README.md beside this file).
#pragma once
#include "platform/types.h"

namespace installed_setup_exit_codes {

constexpr DWORD kPatched = 0;
constexpr DWORD kBadUsage = 2;
constexpr DWORD kUnreadable = 3;
constexpr DWORD kPatchMismatch = 4;
constexpr DWORD kWriteFailed = 5;

}  // namespace installed_setup_exit_codes
