// shell32: splitting a command line into arguments.
#pragma once
#include "platform/types.h"

extern "C" {

// The pointer array and the strings are one LocalAlloc block, released by one LocalFree.
// Null on failure, with the last error set. An empty line gives the executable's path.
PLATFORM_IMPORT LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* argument_count);

}  // extern "C"
