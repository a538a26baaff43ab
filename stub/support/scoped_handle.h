// The scoped owner of one kernel handle that the stub keeps open for a while (a file or a
// directory), closed exactly once: by Close, or when the owner goes out of scope.
#pragma once
#include "platform/types.h"

struct ScopedHandle {
  ScopedHandle();
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  // Closes the held handle, if any; the close call's result is ignored and the last
  // error is left as it was.
  void Close();
  bool IsValid() const;

  HANDLE handle;  // INVALID_HANDLE_VALUE whenever none is held
};
