// kernel32: the volume that holds a path and what its file system keeps.
#pragma once
#include "platform/types.h"

// File-system flags reported by GetVolumeInformationW.
constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x00000001;
constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x00000002;
constexpr DWORD FILE_UNICODE_ON_DISK = 0x00000004;
constexpr DWORD FILE_PERSISTENT_ACLS = 0x00000008;  // the volume keeps and enforces ACLs
constexpr DWORD FILE_SUPPORTS_REPARSE_POINTS = 0x00000080;

extern "C" {
// The root of the volume holding `file_name`, with its trailing backslash ("C:\").
// `length` counts units, terminator included.
PLATFORM_IMPORT BOOL GetVolumePathNameW(LPCWSTR file_name, LPWSTR volume_path, DWORD length);

// `root` must be a volume root with its trailing backslash. Every output may be null
// (its size is then ignored); the call succeeds only if everything asked for was stored.
PLATFORM_IMPORT BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size,
                                           LPDWORD serial_number, LPDWORD maximum_component_length,
                                           LPDWORD file_system_flags, LPWSTR file_system_name,
                                           DWORD file_system_name_size);
}
