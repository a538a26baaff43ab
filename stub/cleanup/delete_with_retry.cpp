#include "stub/cleanup/delete_with_retry.h"

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "stub/support/fixed_string.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Backup semantics opens a directory too; the reparse-point flag opens a link itself.
constexpr DWORD kOpenFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

enum class PassOutcome {
  kAgainAtOnce,  // progress was made: the next pass is not counted
  kRepeat,       // counted; pause, then try again
  kDone,         // the path names nothing
  kGiveUp,
};

HANDLE OpenForDeletion(LPCWSTR path, DWORD access) {
  return CreateFileW(path, access, kShareAll, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
}

// Returns 0 when the deletion request was accepted, else the error of the failed step.
DWORD RequestDeletion(LPCWSTR path) {
  const HANDLE file = OpenForDeletion(path, DELETE);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  DWORD error = ERROR_SUCCESS;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    error = GetLastError();
  }
  CloseHandle(file);
  return error;
}

// True when a read-only attribute was found and cleared.
bool ClearReadOnly(LPCWSTR path) {
  const HANDLE file = OpenForDeletion(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof info);
  bool cleared = false;
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // Every other field goes back as read.
    info.FileAttributes &= ~FILE_ATTRIBUTE_READONLY;
    cleared = SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != FALSE;
  }
  CloseHandle(file);
  return cleared;
}

PassOutcome DeletionPass(LPCWSTR path) {
  const DWORD error = RequestDeletion(path);
  switch (error) {
    case ERROR_SUCCESS:
      return PassOutcome::kAgainAtOnce;  // the next open shows whether it is gone
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PassOutcome::kDone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_DIR_NOT_EMPTY:
      return PassOutcome::kRepeat;
    case ERROR_ACCESS_DENIED:
      return ClearReadOnly(path) ? PassOutcome::kAgainAtOnce : PassOutcome::kRepeat;
    default:
      return PassOutcome::kGiveUp;
  }
}

}  // namespace

void DeleteWithRetry(LPCWSTR path) {
  DWORD attempt = 1;
  for (;;) {
    switch (DeletionPass(path)) {
      case PassOutcome::kAgainAtOnce:
        continue;
      case PassOutcome::kDone:
      case PassOutcome::kGiveUp:
        return;
      case PassOutcome::kRepeat:
        if (attempt == kDeleteAttempts) return;
        ++attempt;
        Sleep(kDeletePauseMs);
        continue;
    }
  }
}
