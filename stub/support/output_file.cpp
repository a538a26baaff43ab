#include "stub/support/output_file.h"

#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"

OutputFile::OutputFile() : handle(INVALID_HANDLE_VALUE) {}

bool OutputFile::Open(LPCWSTR file_path) {
  Close();
  if (!path.Assign(file_path)) return false;
  handle = CreateFileW(path.Data(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    path.Clear();
    return false;
  }
  return true;
}

void OutputFile::Close() {
  if (handle != INVALID_HANDLE_VALUE) {
    // The record lets go of the handle before closing it, so it never holds a closed one.
    const HANDLE old_handle = handle;
    handle = INVALID_HANDLE_VALUE;
    CloseHandle(old_handle);
  }
  path.Clear();
}

bool OutputFile::IsValid() const { return handle != INVALID_HANDLE_VALUE; }

bool OutputFile::MarkForDeletion() {
  if (!IsValid()) return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

HANDLE OutputFile::Duplicate() {
  if (!IsValid()) return INVALID_HANDLE_VALUE;
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  const HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, handle, self, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return duplicate;
}
