// kernel32: the resources of a loaded image. A resource is named by a type and a name,
// each either an integer identifier (MakeIntResource) or a terminated string; "#258"
// stands for the identifier 258.
#pragma once
#include "platform/types.h"

constexpr WORD RT_ICON = 3;
constexpr WORD RT_RCDATA = 10;
constexpr WORD RT_GROUP_ICON = 14;
constexpr WORD RT_VERSION = 16;
constexpr WORD RT_MANIFEST = 24;

// The name is an identifier (MakeIntResource) or a string valid only during the call.
using ENUMRESNAMEPROCW = BOOL (*)(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter);

extern "C" {

// A callback that returns FALSE stops the enumeration: the result is then FALSE with
// ERROR_RESOURCE_ENUM_USER_STOP. A missing type gives ERROR_RESOURCE_TYPE_NOT_FOUND.
PLATFORM_IMPORT BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback,
                                        LONG_PTR parameter);
// Name before type.
PLATFORM_IMPORT HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
// Bytes, or 0 with the last error set.
PLATFORM_IMPORT DWORD SizeofResource(HMODULE module, HRSRC resource);
PLATFORM_IMPORT HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The first byte of the data, valid while the module stays loaded; read-only.
PLATFORM_IMPORT LPVOID LockResource(HGLOBAL resource);

}  // extern "C"
