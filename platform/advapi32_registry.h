// advapi32: reading the registry. Every function returns its status (a Windows error
// code, ERROR_SUCCESS on success) instead of setting the thread's last error.
#pragma once
#include "platform/types.h"

using LSTATUS = LONG;
using REGSAM = DWORD;

// The predefined root keys are the 32-bit values 0x80000001 and 0x80000002 sign-extended
// to pointer width; a reinterpret_cast cannot be constexpr, so they are functions.
inline HKEY PredefinedKey(LONG value) { return reinterpret_cast<HKEY>(static_cast<LONG_PTR>(value)); }
#define HKEY_CURRENT_USER (PredefinedKey(static_cast<LONG>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (PredefinedKey(static_cast<LONG>(0x80000002u)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
// The registry view: 64-bit keys or the 32-bit (redirected) keys, whatever the caller's
// own architecture. Both together are refused.
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;

constexpr DWORD REG_OPTION_OPEN_LINK = 0x0008;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

extern "C" {

// Never creates the key. A missing key gives ERROR_FILE_NOT_FOUND.
PLATFORM_IMPORT LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired,
                                      HKEY* result);

// `data_size` is the buffer's size in bytes on input and the value's size on output.
// Data larger than the buffer: ERROR_MORE_DATA with the size needed stored. Strings come
// back exactly as stored, with or without their terminator.
PLATFORM_IMPORT LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved,
                                         LPDWORD type, BYTE* data, LPDWORD data_size);

PLATFORM_IMPORT LSTATUS RegCloseKey(HKEY key);

}  // extern "C"
