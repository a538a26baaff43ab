// advapi32: RtlGenRandom, bytes from the system's random source. advapi32 exports it
// only under the name SystemFunction036.
#pragma once
#include "platform/types.h"

extern "C" {
// TRUE when `length` bytes were stored.
PLATFORM_IMPORT BOOLEAN SystemFunction036(LPVOID buffer, ULONG length);
}

inline BOOLEAN RtlGenRandom(LPVOID buffer, ULONG length) { return SystemFunction036(buffer, length); }
