#include "stub/payload/resource_writing.h"

#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "stub/support/output_file.h"

bool WriteResourceToFile(const ResourceView& view, LPCWSTR path) {
  OutputFile file;
  if (!file.Open(path)) return false;
  for (ULONGLONG offset = 0; offset < view.size;) {
    const ULONGLONG left = view.size - offset;
    const DWORD chunk = left < kWriteChunkBytes ? static_cast<DWORD>(left) : kWriteChunkBytes;
    // A synchronous write to a file is whole or fails, so the count it reports adds nothing.
    DWORD written = 0;
    if (!WriteFile(file.GetHandle(), view.data + offset, chunk, &written, nullptr)) {
      const DWORD error = GetLastError();
      file.MarkForDeletion();
      file.Close();
      SetLastError(error);
      return false;
    }
    offset += chunk;
  }
  file.Close();
  return true;
}
