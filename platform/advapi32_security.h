// advapi32: the process token and its default owner, SIDs as text, and security
// descriptors from Security Descriptor Definition Language (SDDL) text.
#pragma once
#include "platform/types.h"

constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD SDDL_REVISION_1 = 1;

enum TOKEN_INFORMATION_CLASS : int {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
};
static_assert(sizeof(TOKEN_INFORMATION_CLASS) == 4);

// The SID that the token gives as owner to the objects it creates. GetTokenInformation
// stores the SID itself in the same buffer, after this record.
struct TOKEN_OWNER {
  PSID Owner;
};
static_assert(sizeof(TOKEN_OWNER) == 8);
static_assert(__builtin_offsetof(TOKEN_OWNER, Owner) == 0);

extern "C" {
// Close the token with CloseHandle.
PLATFORM_IMPORT BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);

// Size protocol: with no buffer (and a length of 0) the call fails with
// ERROR_INSUFFICIENT_BUFFER and stores the bytes needed in *return_length.
PLATFORM_IMPORT BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS information_class,
                                         LPVOID information, DWORD length, DWORD* return_length);

// "S-1-5-21-...": the text is allocated by the system; release it with LocalFree.
PLATFORM_IMPORT BOOL ConvertSidToStringSidW(PSID sid, LPWSTR* text);

// A self-relative descriptor allocated by the system; release it with LocalFree. `size`
// may be null.
PLATFORM_IMPORT BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR text, DWORD revision, PSECURITY_DESCRIPTOR* descriptor, ULONG* size);
}
