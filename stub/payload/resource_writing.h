// Writing one payload resource to a new file, straight from the mapped image.
#pragma once
#include "platform/types.h"
#include "stub/payload/resource_view.h"

// The largest amount handed to a single write.
constexpr DWORD kWriteChunkBytes = 8388608;

// Creates (or truncates) `path` and writes the view's bytes into it in chunks of at most
// kWriteChunkBytes. On false nothing stays behind and the thread's last error is the
// failing create or write call's.
bool WriteResourceToFile(const ResourceView& view, LPCWSTR path);
