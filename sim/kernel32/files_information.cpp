// File information by handle (basic information, disposition) and attributes by name.
// Choices where the documentation is silent or the host cannot follow:
// - a buffer too small for its class fails with ERROR_BAD_LENGTH; classes other than
//   FileBasicInfo and FileDispositionInfo are not simulated (ERROR_INVALID_PARAMETER);
// - the host's birth time cannot be changed: a creation time that is set is kept in the
//   file's extended attributes and read back from there; a change time cannot be set on
//   the host either, and a value for it is accepted with no effect; -1 and -2 (suspend or resume automatic updates) are accepted and
//   also have no effect; values below -2 fail with ERROR_INVALID_PARAMETER;
// - a symbolic link cannot carry the simulation's attributes or creation time: setting
//   either on a link opened itself fails with ERROR_NOT_SUPPORTED;
// - the read-only attribute refuses deletion of directories too, as of files;
// - a running program's image refuses deletion with ERROR_ACCESS_DENIED;
// - GetFileAttributesW on a delete-pending name fails with ERROR_ACCESS_DENIED, as an
//   open of it does.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/kernel32_files.h"
#include "sim/core/call_failure.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "sim/kernel32/files_table.h"

using namespace sim;
namespace fs = std::filesystem;

namespace {

constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | 0x1000u | 0x2000u;

LONGLONG FileTimeOf(const statx_timestamp& time) {
  return kUnixEpochAsFileTime + time.tv_sec * 10000000LL + time.tv_nsec / 100;
}

timespec TimespecOf(LONGLONG file_time) {
  const LONGLONG since_epoch = file_time - kUnixEpochAsFileTime;
  LONGLONG seconds = since_epoch / 10000000LL;
  LONGLONG rest = since_epoch % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --seconds;
  }
  return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

bool ReadBasicInfo(FileObject& object, FILE_BASIC_INFO& info) {
  struct statx status {};
  const int flags = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW;
  if (::statx(object.fd(), "", flags, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) return false;
  // Without a birth time on the host, the data's last change stands in for creation.
  info.CreationTime = FileTimeOf((status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime : status.stx_mtime);
  if (!object.node().is_link) info.CreationTime = ReadCreationTime(object.node().path).value_or(info.CreationTime);
  info.LastAccessTime = FileTimeOf(status.stx_atime);
  info.LastWriteTime = FileTimeOf(status.stx_mtime);
  info.ChangeTime = FileTimeOf(status.stx_ctime);
  if (!object.node().is_link) info.ChangeTime = ReadChangeTime(object.node().path).value_or(info.ChangeTime);
  info.FileAttributes = ReadFileAttributes(object.node().path).value_or(FILE_ATTRIBUTE_NORMAL);
  return true;
}

DWORD WriteBasicInfo(FileObject& object, const FILE_BASIC_INFO& info) {
  const LONGLONG times[] = {info.CreationTime, info.LastAccessTime, info.LastWriteTime, info.ChangeTime};
  for (LONGLONG time : times) {
    if (time < -2) return ERROR_INVALID_PARAMETER;
  }
  FILE_BASIC_INFO current{};
  if (!ReadBasicInfo(object, current)) return ERROR_ACCESS_DENIED;
  const FileNode& node = object.node();
  DWORD attributes = info.FileAttributes & kSettableAttributes;
  if (info.FileAttributes != 0) {
    if (node.is_link && attributes != 0) return ERROR_NOT_SUPPORTED;
    if (!node.is_link && !WriteFileAttributes(node.path, attributes)) return ERROR_ACCESS_DENIED;
  }
  // Only times that differ from the current ones at Windows' resolution are written, so
  // that writing back what was read changes nothing.
  if (info.CreationTime > 0 && info.CreationTime != current.CreationTime) {
    if (node.is_link) return ERROR_NOT_SUPPORTED;
    if (!WriteCreationTime(node.path, info.CreationTime)) return ERROR_ACCESS_DENIED;
  }
  if (info.ChangeTime > 0 && info.ChangeTime != current.ChangeTime) {
    if (node.is_link) return ERROR_NOT_SUPPORTED;
    if (!WriteChangeTime(node.path, info.ChangeTime)) return ERROR_ACCESS_DENIED;
  }
  timespec host_times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  if (info.LastAccessTime > 0 && info.LastAccessTime != current.LastAccessTime) {
    host_times[0] = TimespecOf(info.LastAccessTime);
  }
  if (info.LastWriteTime > 0 && info.LastWriteTime != current.LastWriteTime) {
    host_times[1] = TimespecOf(info.LastWriteTime);
  }
  if (host_times[0].tv_nsec != UTIME_OMIT || host_times[1].tv_nsec != UTIME_OMIT) {
    if (::utimensat(AT_FDCWD, node.path.c_str(), host_times, node.is_link ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
      return ErrorFromErrno(errno);
    }
  }
  return ERROR_SUCCESS;
}

DWORD SetDisposition(FileObject& object, DWORD access, const FILE_DISPOSITION_INFO& info) {
  if ((access & DELETE) == 0) return ERROR_ACCESS_DENIED;
  FileNode& node = object.node();
  // The mark is the file's, seen by every process: set under the machine's table lock.
  ShareTable table(node.root);
  if (info.DeleteFile == 0) {
    table.SetDeletePending(node.key, false, node.path);
    return ERROR_SUCCESS;
  }
  if (!node.is_link) {
    const DWORD attributes = ReadFileAttributes(node.path).value_or(0);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
  }
  // A running program's image is mapped; Windows refuses to delete it (STATUS_CANNOT_DELETE,
  // ERROR_ACCESS_DENIED), though the open for deletion succeeds since the loader shares
  // deletion (that is what lets a running program be renamed).
  if (table.IsRunningImage(node.key)) return ERROR_ACCESS_DENIED;
  if (node.is_directory) {
    std::error_code error;
    if (!fs::is_empty(node.path, error) || error) return error ? ErrorFromErrno(error.value()) : ERROR_DIR_NOT_EMPTY;
  }
  table.SetDeletePending(node.key, true, node.path);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                           LPVOID information, DWORD buffer_size) {
  Process& process = CurrentProcess();
  TraceLine trace("SetFileInformationByHandle");
  trace.Arg(Pointer(file)).Arg(Decimal(static_cast<ULONGLONG>(information_class))).Arg(Decimal(buffer_size));
  auto finish = [&](DWORD error) {
    if (error != ERROR_SUCCESS) {
      SetLastErrorValue(error);
      trace.Result("FALSE", error);
      return FALSE;
    }
    trace.Result("TRUE");
    return TRUE;
  };
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return finish(ERROR_INVALID_HANDLE);
  if (information == nullptr) return finish(ERROR_INVALID_PARAMETER);
  if (information_class == FileDispositionInfo) {
    if (buffer_size < sizeof(FILE_DISPOSITION_INFO)) return finish(ERROR_BAD_LENGTH);
    if (auto fault = process.TakeFault("SetFileInformationByHandle")) return finish(*fault);
    FILE_DISPOSITION_INFO info;
    std::memcpy(&info, information, sizeof info);
    trace.Arg(info.DeleteFile != 0 ? "DeleteFile=TRUE" : "DeleteFile=FALSE");
    return finish(SetDisposition(*handle.object, handle.access, info));
  }
  if (information_class == FileBasicInfo) {
    if (buffer_size < sizeof(FILE_BASIC_INFO)) return finish(ERROR_BAD_LENGTH);
    if ((handle.access & FILE_WRITE_ATTRIBUTES) == 0) return finish(ERROR_ACCESS_DENIED);
    if (auto fault = process.TakeFault("SetFileInformationByHandle")) return finish(*fault);
    FILE_BASIC_INFO info;
    std::memcpy(&info, information, sizeof info);
    trace.Arg("FileAttributes=" + Hex(info.FileAttributes));
    // Times of 0 change nothing and are left out.
    const std::pair<const char*, LONGLONG> times[] = {{"CreationTime", info.CreationTime},
                                                      {"LastAccessTime", info.LastAccessTime},
                                                      {"LastWriteTime", info.LastWriteTime},
                                                      {"ChangeTime", info.ChangeTime}};
    for (const auto& [name, time] : times) {
      if (time != 0) trace.Arg(std::string(name) + "=" + std::to_string(time));
    }
    return finish(WriteBasicInfo(*handle.object, info));
  }
  return finish(ERROR_INVALID_PARAMETER);
}

extern "C" BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                             LPVOID information, DWORD buffer_size) {
  Process& process = CurrentProcess();
  TraceLine trace("GetFileInformationByHandleEx");
  trace.Arg(Pointer(file)).Arg(Decimal(static_cast<ULONGLONG>(information_class))).Arg(Decimal(buffer_size));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if (information_class != FileBasicInfo || information == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (buffer_size < sizeof(FILE_BASIC_INFO)) return fail(ERROR_BAD_LENGTH);
  if ((handle.access & FILE_READ_ATTRIBUTES) == 0) return fail(ERROR_ACCESS_DENIED);
  if (auto fault = process.TakeFault("GetFileInformationByHandleEx")) return fail(*fault);
  FILE_BASIC_INFO info{};
  if (!ReadBasicInfo(*handle.object, info)) return fail(ERROR_ACCESS_DENIED);
  std::memcpy(information, &info, sizeof info);
  trace.Result("TRUE FileAttributes=" + Hex(info.FileAttributes));
  return TRUE;
}

extern "C" DWORD GetFileAttributesW(LPCWSTR file_name) {
  Process& process = CurrentProcess();
  TraceLine trace("GetFileAttributesW");
  trace.Arg(Quoted(file_name));
  const CallFailure<DWORD> fail(trace, INVALID_FILE_ATTRIBUTES, "INVALID_FILE_ATTRIBUTES");
  if (auto fault = process.TakeFault("GetFileAttributesW")) return fail(*fault);
  const std::u16string_view name = View(file_name);
  if (name.empty()) return fail(ERROR_PATH_NOT_FOUND);
  const HostPath host = process.machine().Resolve(name);
  if (!host.ok()) return fail(host.error);
  // Taken before the lookup: reading the table completes deletions left by ended processes.
  ShareTable table(process.machine().root());
  struct stat status {};
  if (::lstat(host.path.c_str(), &status) != 0) {
    if (errno != ENOENT) return fail(errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    struct stat parent {};
    const bool parent_is_directory =
        ::stat(host.path.parent_path().c_str(), &parent) == 0 && S_ISDIR(parent.st_mode);
    return fail(parent_is_directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  if (IsDeletePending(table, host.path)) return fail(ERROR_ACCESS_DENIED);
  const DWORD attributes = ReadFileAttributes(host.path).value_or(FILE_ATTRIBUTE_NORMAL);
  trace.Result(Hex(attributes));
  return attributes;
}
