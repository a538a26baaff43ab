#include "stub/support/scoped_handle.h"

#include "platform/kernel32_core.h"
#include "platform/kernel32_handles.h"

ScopedHandle::ScopedHandle() : handle(INVALID_HANDLE_VALUE) {}

void ScopedHandle::Close() {
  if (handle == INVALID_HANDLE_VALUE) return;
  // Let go of the handle before closing it, so the owner never holds a closed one; keep
  // the error that a caller may still be reporting.
  const HANDLE old_handle = handle;
  handle = INVALID_HANDLE_VALUE;
  const DWORD error = GetLastError();
  CloseHandle(old_handle);
  SetLastError(error);
}

bool ScopedHandle::IsValid() const { return handle != INVALID_HANDLE_VALUE; }
