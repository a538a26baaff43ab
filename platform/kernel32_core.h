// kernel32: process identity, last error, memory, sleep and exit.
#pragma once
#include "platform/types.h"

constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;

extern "C" {

PLATFORM_IMPORT DWORD GetLastError();
PLATFORM_IMPORT void SetLastError(DWORD error);

// The string belongs to the system; it lives as long as the process.
PLATFORM_IMPORT LPWSTR GetCommandLineW();

// A null name gives the executable's module: its load address, the handle that the
// resource functions accept.
PLATFORM_IMPORT HMODULE GetModuleHandleW(LPCWSTR module_name);

// `size` counts units. When the name does not fit, size - 1 units and a terminator are
// stored, the result is `size` and the last error is ERROR_INSUFFICIENT_BUFFER.
PLATFORM_IMPORT DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

[[noreturn]] PLATFORM_IMPORT void ExitProcess(UINT exit_code);

// A pseudo-handle, (HANDLE)-1, that needs no closing.
PLATFORM_IMPORT HANDLE GetCurrentProcess();

// Both sizes (SIZE_T)-1 ask the system to trim the working set as far as it can.
PLATFORM_IMPORT BOOL SetProcessWorkingSetSize(HANDLE process, SIZE_T minimum, SIZE_T maximum);

PLATFORM_IMPORT void Sleep(DWORD milliseconds);

PLATFORM_IMPORT HANDLE GetProcessHeap();
// A failed HeapAlloc returns null without setting the last error.
PLATFORM_IMPORT LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
PLATFORM_IMPORT BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
PLATFORM_IMPORT HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Null on success; the block itself on failure.
PLATFORM_IMPORT HLOCAL LocalFree(HLOCAL block);

}  // extern "C"
