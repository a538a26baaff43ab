// MoveFileExW within one drive, honouring what other processes hold. Windows renames
// through a DELETE open of the source, so an open of it anywhere on the machine without
// FILE_SHARE_DELETE refuses the rename with ERROR_SHARING_VIOLATION (a running program's
// image shares deletion, so it can be renamed). Choices where the documentation is silent,
// written down here and tested:
// - replacing a target that is open for reading, writing or deletion in any process (a
//   running image included), whose deletion is pending, or that is read-only, fails with
//   ERROR_ACCESS_DENIED: the target would have to be deleted, and a file system refuses
//   to supersede an open file;
// - MOVEFILE_REPLACE_EXISTING with a directory on either side fails with
//   ERROR_ACCESS_DENIED, as the documentation forbids it;
// - another drive fails with ERROR_NOT_SAME_DEVICE (17): copying is not simulated, so
//   MOVEFILE_COPY_ALLOWED and the delayed forms fail with ERROR_NOT_SUPPORTED;
// - a directory is renamed whatever files inside it are open: only its own opens count;
// - a symbolic link is renamed itself, never its target.
#include "sim/kernel32/moving.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "platform/errors.h"
#include "platform/kernel32_files.h"
#include "sim/core/call_failure.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/share_table.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "sim/kernel32/files_table.h"

using namespace sim;

namespace {

constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

char16_t DriveLetter(std::u16string_view path) {
  if (path.substr(0, 4) == u"\\\\?\\") path.remove_prefix(4);
  return path.empty() ? u'\0' : static_cast<char16_t>(std::toupper(path[0]));
}

bool IsOpenAnywhere(const ShareTable& table, FileKey key) {
  // Any open that reads, writes or deletes stands in the way of replacing the file,
  // whatever it shares.
  return !table.SharingAllows(key, DELETE | FILE_READ_DATA | FILE_WRITE_DATA, 0) ||
         table.IsRunningImage(key);
}

DWORD Move(Process& process, std::u16string_view from, std::u16string_view to, DWORD flags) {
  if ((flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) != 0) return ERROR_NOT_SUPPORTED;
  const HostPath source = process.machine().Resolve(from);
  if (!source.ok()) return source.error;
  const HostPath target = process.machine().Resolve(to);
  if (!target.ok()) return target.error;
  if (DriveLetter(from) != DriveLetter(to)) return kErrorNotSameDevice;

  ShareTable table(process.machine().root());
  struct stat status {};
  if (::lstat(source.path.c_str(), &status) != 0) {
    if (errno != ENOENT) return ERROR_PATH_NOT_FOUND;
    struct stat parent {};
    const bool parent_is_directory =
        ::stat(source.path.parent_path().c_str(), &parent) == 0 && S_ISDIR(parent.st_mode);
    return parent_is_directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  const FileKey key{status.st_dev, status.st_ino};
  if (table.IsDeletePending(key)) return ERROR_ACCESS_DENIED;
  if (!table.SharingAllows(key, DELETE, kShareAll)) return ERROR_SHARING_VIOLATION;

  struct stat parent {};
  if (::stat(target.path.parent_path().c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
    return ERROR_PATH_NOT_FOUND;
  }
  if (IsDeletePending(table, target.path.parent_path())) return ERROR_ACCESS_DENIED;
  struct stat existing {};
  if (::lstat(target.path.c_str(), &existing) == 0 &&
      !(existing.st_dev == status.st_dev && existing.st_ino == status.st_ino)) {
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return ERROR_ALREADY_EXISTS;
    if (S_ISDIR(existing.st_mode) || S_ISDIR(status.st_mode)) return ERROR_ACCESS_DENIED;
    const FileKey target_key{existing.st_dev, existing.st_ino};
    if (table.IsDeletePending(target_key) || IsOpenAnywhere(table, target_key)) return ERROR_ACCESS_DENIED;
    const bool read_only = !S_ISLNK(existing.st_mode) &&
                           (ReadFileAttributes(target.path).value_or(0) & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only) return ERROR_ACCESS_DENIED;
  }
  if (std::rename(source.path.c_str(), target.path.c_str()) != 0) return ErrorFromErrno(errno);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL MoveFileExW(LPCWSTR existing_file_name, LPCWSTR new_file_name, DWORD flags) {
  Process& process = CurrentProcess();
  TraceLine trace("MoveFileExW");
  trace.Arg(Quoted(existing_file_name)).Arg(Quoted(new_file_name)).Arg(Hex(flags));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (existing_file_name == nullptr || new_file_name == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (auto fault = process.TakeFault("MoveFileExW")) return fail(*fault);
  if (const DWORD error = Move(process, View(existing_file_name), View(new_file_name), flags); error != 0) {
    return fail(error);
  }
  trace.Result("TRUE");
  return TRUE;
}
