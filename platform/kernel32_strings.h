// kernel32: string comparison. Both compare linguistically in the user's locale and
// return a negative, zero or positive value; the stub only tests for equality.
#pragma once
#include "platform/types.h"

extern "C" {
PLATFORM_IMPORT int lstrcmpW(LPCWSTR a, LPCWSTR b);
PLATFORM_IMPORT int lstrcmpiW(LPCWSTR a, LPCWSTR b);
}
