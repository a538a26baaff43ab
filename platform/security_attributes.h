// SECURITY_ATTRIBUTES: the security descriptor and handle inheritance given to a call
// that creates an object (a directory, a file, a process).
#pragma once
#include "platform/types.h"

struct SECURITY_ATTRIBUTES {
  DWORD nLength;                 // sizeof(SECURITY_ATTRIBUTES), in bytes
  LPVOID lpSecurityDescriptor;   // null: the default security of the new object
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(__builtin_offsetof(SECURITY_ATTRIBUTES, nLength) == 0);
static_assert(__builtin_offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) == 8);
static_assert(__builtin_offsetof(SECURITY_ATTRIBUTES, bInheritHandle) == 16);
