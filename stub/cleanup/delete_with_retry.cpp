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
  kRequested,    // the deletion was requested: from now on the passes only look
  kAgainAtOnce,  // progress was made: the next pass is not counted
  kRepeat,       // counted; pause, then try again
  kDone,         // the path names nothing, or no longer names what was asked for
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
      return PassOutcome::kRequested;
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

// A pass after the deletion was requested. It never opens the name for deletion again:
// once the object goes, another program may create a new one under the same name (a
// second installer that drew the same work-directory name), and that one is not ours.
// Windows refuses every open of a name whose deletion is pending, attribute reads
// included, with ERROR_ACCESS_DENIED, until the last handle to it closes; then the name
// is gone. A name that reads as an ordinary object is no longer the one we marked.
PassOutcome ConfirmationPass(LPCWSTR path) {
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return PassOutcome::kDone;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return PassOutcome::kDone;
    case ERROR_ACCESS_DENIED:
      return PassOutcome::kRepeat;  // still pending: another handle is open
    default:
      return PassOutcome::kGiveUp;
  }
}

}  // namespace

void DeleteWithRetry(LPCWSTR path) {
  DWORD attempt = 1;
  bool requested = false;
  for (;;) {
    switch (requested ? ConfirmationPass(path) : DeletionPass(path)) {
      case PassOutcome::kRequested:
        requested = true;  // the next pass, at once and not counted, shows whether it is gone
        continue;
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
