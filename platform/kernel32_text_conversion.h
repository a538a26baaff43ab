// kernel32: conversion between UTF-16 and a multi-byte code page (here UTF-8).
#pragma once
#include "platform/types.h"

constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

extern "C" {
// A source length of -1 means a terminated source whose terminator is converted too. An
// output size of 0 asks for the size needed. The result counts output units (bytes or
// UTF-16 units); 0 on failure with ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS,
// ERROR_INVALID_PARAMETER or ERROR_NO_UNICODE_TRANSLATION.
PLATFORM_IMPORT int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_bytes,
                                        LPWSTR destination, int destination_units);
// For CP_UTF8 both default-character arguments must be null.
PLATFORM_IMPORT int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_units,
                                        char* destination, int destination_bytes, const char* default_char,
                                        BOOL* used_default_char);
}
