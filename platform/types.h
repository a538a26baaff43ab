// Windows base types as 64-bit Windows (LLP64) lays them out, written for both builds:
// the release image (aarch64-pc-windows-msvc) and the host build on Linux (LP64), where
// `long` is 64 bits and `wchar_t` 32, so neither is used here.
#pragma once

using BYTE = unsigned char;
using BOOLEAN = unsigned char;
using WORD = unsigned short;
using DWORD = unsigned int;
using UINT = unsigned int;
using ULONG = unsigned int;
using LONG = int;
using INT = int;
using BOOL = int;
using LONGLONG = long long;
using ULONGLONG = unsigned long long;
using DWORD64 = unsigned long long;
using SIZE_T = decltype(sizeof(0));
using ULONG_PTR = SIZE_T;
using LONG_PTR = decltype(static_cast<char*>(nullptr) - static_cast<char*>(nullptr));

using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

using HANDLE = void*;
using HMODULE = struct HINSTANCE__*;
using HLOCAL = void*;
using HGLOBAL = void*;
using HRSRC = struct HRSRC__*;
using HKEY = struct HKEY__*;
using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
using FARPROC = LONG_PTR (*)();

static_assert(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4);
static_assert(sizeof(LONG) == 4 && sizeof(BOOL) == 4 && sizeof(ULONGLONG) == 8);
static_assert(sizeof(SIZE_T) == 8 && sizeof(LONG_PTR) == 8 && sizeof(HANDLE) == 8);
static_assert(sizeof(WCHAR) == 2);

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// INVALID_HANDLE_VALUE is (HANDLE)-1; a function cannot make it a constexpr pointer.
inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
#define INVALID_HANDLE_VALUE (InvalidHandleValue())

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// MAKEINTRESOURCE: an integer identifier travels in the low 16 bits of a name pointer.
inline LPCWSTR MakeIntResource(WORD id) { return reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(id)); }
inline bool IsIntResource(LPCWSTR name) { return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0; }

#if defined(_WIN32)
#define PLATFORM_IMPORT __declspec(dllimport)
#else
#define PLATFORM_IMPORT
#endif
