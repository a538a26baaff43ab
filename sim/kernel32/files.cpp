// Opening, reading, writing, seeking and flushing files. Handles are synchronous: no
// overlapped I/O is simulated. Choices where the documentation is silent:
// - opening a directory without FILE_FLAG_BACKUP_SEMANTICS, or with a disposition that
//   would create or truncate it, fails with ERROR_ACCESS_DENIED;
// - FILE_FLAG_OPEN_REPARSE_POINT with CREATE_ALWAYS, which the documentation forbids,
//   fails with ERROR_INVALID_PARAMETER; so do TRUNCATE_EXISTING without write access and
//   a position beyond 32 bits asked for without a high part;
// - FILE_FLAG_OVERLAPPED and FILE_FLAG_DELETE_ON_CLOSE are not simulated: ERROR_NOT_SUPPORTED;
// - ReadFile and WriteFile on a directory or link handle fail with ERROR_INVALID_FUNCTION,
//   and without the right access with ERROR_ACCESS_DENIED;
// - a write is whole or fails: when the host cannot take all of it, the file is cut back
//   to its old size, the pointer stays and the count is 0;
// - share modes hold across every simulated process of the machine (sim/core/share_table.h).
//   A running program's image counts as open for reading and executing with read and
//   delete sharing, as Windows' loader opens it: a write open of it, or a disposition that
//   truncates it, is a sharing violation (32); its deletion is refused with
//   ERROR_ACCESS_DENIED (files_information.cpp), the code Windows gives for a running .exe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/errors.h"
#include "platform/kernel32_files.h"
#include "sim/core/call_failure.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "sim/kernel32/files_table.h"
#include "sim/kernel32/volumes.h"

using namespace sim;
namespace fs = std::filesystem;

namespace {

constexpr DWORD kWriteClass = FILE_WRITE_DATA | FILE_APPEND_DATA;
// Attributes a caller may give a file; the rest are the system's.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | 0x1000u /* OFFLINE */ |
                                      0x2000u /* NOT_CONTENT_INDEXED */;
constexpr DWORD kKnownFlags = 0xFFF00000u;

struct OpenRequest {
  DWORD access;  // generic rights expanded
  DWORD share;
  DWORD disposition;
  DWORD flags;
  bool reparse() const { return (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0; }
  bool backup() const { return (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0; }
  DWORD attributes() const { return flags & kSettableAttributes; }
};

// A handle on success; else the Windows error. On success `error` is the last error that
// CreateFileW leaves (0 or ERROR_ALREADY_EXISTS).
struct OpenResult {
  HANDLE handle = nullptr;
  DWORD error = 0;
};

DWORD MissingError(const fs::path& path) {
  struct stat status {};
  const bool parent_is_directory = ::stat(path.parent_path().c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  return parent_is_directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// Metadata-only opens, directories and links hold an O_PATH descriptor; data opens a real one.
int HostOpenFlags(const OpenRequest& request, bool metadata_only) {
  int flags = O_CLOEXEC;
  if (request.reparse()) flags |= O_NOFOLLOW;
  if (metadata_only) return flags | O_PATH;
  return flags | ((request.access & kWriteClass) != 0 ? O_RDWR : O_RDONLY);
}

bool WantsData(DWORD access) { return (access & (FILE_READ_DATA | FILE_EXECUTE | kWriteClass)) != 0; }

HANDLE Insert(Process& process, ShareTable& table, std::shared_ptr<FileNode> node, int fd,
              const OpenRequest& request) {
  auto object = std::make_shared<FileObject>(std::move(node), fd, request.access, request.share, table);
  return process.handles().Insert(object, request.access);
}

OpenResult OpenExisting(Process& process, const fs::path& path, const struct stat& status, const OpenRequest& request) {
  const bool is_directory = S_ISDIR(status.st_mode);
  const bool is_link = S_ISLNK(status.st_mode);  // only when the link itself is opened
  const DWORD disposition = request.disposition;
  const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  if (disposition == CREATE_NEW) return {nullptr, ERROR_FILE_EXISTS};
  if (is_directory && (!request.backup() || truncates)) return {nullptr, ERROR_ACCESS_DENIED};
  if (disposition == TRUNCATE_EXISTING && (request.access & FILE_WRITE_DATA) == 0) {
    return {nullptr, ERROR_INVALID_PARAMETER};
  }
  // The check and the record of this open are one step for every process of the machine.
  ShareTable table(process.machine().root());
  const FileKey key{status.st_dev, status.st_ino};
  // A name whose deletion is pending refuses every open until its last handle closes.
  if (table.IsDeletePending(key)) return {nullptr, ERROR_ACCESS_DENIED};

  // A followed link stands for its target: that is the name a deletion removes.
  std::error_code ignored;
  const fs::path node_path = request.reparse() ? path : fs::canonical(path, ignored);
  const DWORD attributes = ReadFileAttributes(node_path).value_or(0);
  if (!is_directory && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      ((request.access & kWriteClass) != 0 || truncates)) {
    return {nullptr, ERROR_ACCESS_DENIED};
  }
  // Replacing a hidden or system file needs those attributes asked for again.
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if (disposition == CREATE_ALWAYS && (attributes & kept & ~request.attributes()) != 0) {
    return {nullptr, ERROR_ACCESS_DENIED};
  }
  if (!table.SharingAllows(key, request.access, request.share)) return {nullptr, ERROR_SHARING_VIOLATION};
  // A running program's image is mapped, and a mapped image cannot be cut short or
  // replaced: Windows refuses with a sharing violation, as it refuses a write open.
  if (truncates && table.IsRunningImage(key)) return {nullptr, ERROR_SHARING_VIOLATION};

  const bool metadata_only = is_directory || is_link || (!WantsData(request.access) && !truncates);
  const int fd = ::open(node_path.c_str(), HostOpenFlags(request, metadata_only));
  if (fd < 0) return {nullptr, ErrorFromErrno(errno)};
  if (truncates && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    return {nullptr, ErrorFromErrno(error)};
  }
  if (disposition == CREATE_ALWAYS) {
    const DWORD stored = attributes == FILE_ATTRIBUTE_NORMAL ? 0 : attributes;
    WriteFileAttributes(node_path, stored | request.attributes() | FILE_ATTRIBUTE_ARCHIVE);
  }
  auto node = NodeFor(process.machine().root(), key, node_path);
  node->is_directory = is_directory;
  node->is_link = is_link;
  const bool existed_error = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  return {Insert(process, table, std::move(node), fd, request), existed_error ? ERROR_ALREADY_EXISTS : 0};
}

OpenResult CreateNew(Process& process, const fs::path& path, const OpenRequest& request) {
  struct stat parent {};
  if (::stat(path.parent_path().c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
    return {nullptr, ERROR_PATH_NOT_FOUND};
  }
  ShareTable table(process.machine().root());
  // A directory on its way out takes no new entries.
  if (IsDeletePending(table, path.parent_path())) return {nullptr, ERROR_ACCESS_DENIED};
  const int fd = ::open(path.c_str(), HostOpenFlags(request, false) | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return {nullptr, ErrorFromErrno(errno)};
  WriteFileAttributes(path, request.attributes() | FILE_ATTRIBUTE_ARCHIVE);
  struct stat status {};
  ::fstat(fd, &status);
  auto node = NodeFor(process.machine().root(), {status.st_dev, status.st_ino}, path);
  return {Insert(process, table, std::move(node), fd, request), 0};
}

OpenResult Open(Process& process, std::u16string_view name, const OpenRequest& request) {
  if (request.disposition < CREATE_NEW || request.disposition > TRUNCATE_EXISTING ||
      (request.share & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) != 0 ||
      (request.reparse() && request.disposition == CREATE_ALWAYS)) {
    return {nullptr, ERROR_INVALID_PARAMETER};
  }
  if ((request.flags & (FILE_FLAG_OVERLAPPED | FILE_FLAG_DELETE_ON_CLOSE)) != 0) return {nullptr, ERROR_NOT_SUPPORTED};
  if (name.empty()) return {nullptr, ERROR_PATH_NOT_FOUND};
  // A rooted path ("\dir") is on the current directory's drive.
  const HostPath host = process.machine().Resolve(QualifiedPath(process, name));
  if (!host.ok()) return {nullptr, host.error};

  // Held across the lookup too, so that two processes creating one name agree on which
  // of them created it.
  ShareTable table(process.machine().root());
  struct stat status {};
  const int found = request.reparse() ? ::lstat(host.path.c_str(), &status) : ::stat(host.path.c_str(), &status);
  if (found == 0) return OpenExisting(process, host.path, status, request);
  if (errno == ENOTDIR) return {nullptr, ERROR_PATH_NOT_FOUND};
  if (errno != ENOENT) return {nullptr, ErrorFromErrno(errno)};
  if (request.disposition == OPEN_EXISTING || request.disposition == TRUNCATE_EXISTING) {
    return {nullptr, MissingError(host.path)};
  }
  return CreateNew(process, host.path, request);
}

bool IsDataFile(FileObject& object) { return !object.node().is_directory && !object.node().is_link; }

}  // namespace

extern "C" HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode, SECURITY_ATTRIBUTES*,
                              DWORD creation_disposition, DWORD flags_and_attributes, HANDLE) {
  Process& process = CurrentProcess();
  TraceLine trace("CreateFileW");
  trace.Arg(Quoted(file_name)).Arg(Hex(desired_access)).Arg(Hex(share_mode)).Arg(Decimal(creation_disposition));
  trace.Arg(Hex(flags_and_attributes));
  OpenResult result;
  if (auto fault = process.TakeFault("CreateFileW")) {
    result.error = *fault;
  } else {
    const OpenRequest request{ExpandGenericFileAccess(desired_access), share_mode, creation_disposition,
                              flags_and_attributes & (kKnownFlags | kSettableAttributes | FILE_ATTRIBUTE_NORMAL)};
    result = Open(process, View(file_name), request);
  }
  SetLastErrorValue(result.error);
  if (result.handle == nullptr) {
    trace.Result("INVALID_HANDLE_VALUE", result.error);
    return INVALID_HANDLE_VALUE;
  }
  trace.Result(Pointer(result.handle), result.error);
  return result.handle;
}

extern "C" BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read, OVERLAPPED* overlapped) {
  Process& process = CurrentProcess();
  TraceLine trace("ReadFile");
  trace.Arg(Pointer(file)).Arg(Decimal(bytes_to_read));
  if (bytes_read != nullptr) *bytes_read = 0;
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
  if (bytes_read == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!IsDataFile(*handle.object)) return fail(ERROR_INVALID_FUNCTION);
  if ((handle.access & FILE_READ_DATA) == 0) return fail(ERROR_ACCESS_DENIED);
  if (auto fault = process.TakeFault("ReadFile")) return fail(*fault);
  auto* bytes = static_cast<char*>(buffer);
  DWORD total = 0;
  while (total < bytes_to_read) {
    const ssize_t got = ::pread(handle.object->fd(), bytes + total, bytes_to_read - total,
                                static_cast<off_t>(handle.object->position + total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(errno == EISDIR ? ERROR_INVALID_FUNCTION : ERROR_READ_FAULT);
    if (got == 0) break;  // end of file: what there is
    total += static_cast<DWORD>(got);
  }
  handle.object->position += total;
  *bytes_read = total;
  trace.Result("TRUE " + Decimal(total));
  return TRUE;
}

extern "C" BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
                          OVERLAPPED* overlapped) {
  Process& process = CurrentProcess();
  TraceLine trace("WriteFile");
  trace.Arg(Pointer(file)).Arg(Decimal(bytes_to_write));
  if (bytes_written != nullptr) *bytes_written = 0;
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if (overlapped != nullptr) return fail(ERROR_NOT_SUPPORTED);
  if (bytes_written == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (!IsDataFile(*handle.object)) return fail(ERROR_INVALID_FUNCTION);
  if ((handle.access & kWriteClass) == 0) return fail(ERROR_ACCESS_DENIED);
  if (auto fault = process.TakeFault("WriteFile")) return fail(*fault);

  FileObject& object = *handle.object;
  struct stat status {};
  if (::fstat(object.fd(), &status) != 0) return fail(ERROR_WRITE_FAULT);
  const off_t old_size = status.st_size;
  // A handle with append access only writes at the end, wherever its pointer stands.
  const bool append_only = (handle.access & FILE_WRITE_DATA) == 0;
  const ULONGLONG start = append_only ? static_cast<ULONGLONG>(old_size) : object.position;
  const auto* bytes = static_cast<const char*>(buffer);
  DWORD total = 0;
  while (total < bytes_to_write) {
    const ssize_t put = ::pwrite(object.fd(), bytes + total, bytes_to_write - total, static_cast<off_t>(start + total));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const DWORD error = put < 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
      if (static_cast<off_t>(start + total) > old_size) {
        [[maybe_unused]] const int cut = ::ftruncate(object.fd(), old_size);
      }
      return fail(error);
    }
    total += static_cast<DWORD>(put);
  }
  object.position = start + total;
  *bytes_written = total;
  trace.Result("TRUE " + Decimal(total));
  return TRUE;
}

extern "C" DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD move_method) {
  TraceLine trace("SetFilePointer");
  trace.Arg(Pointer(file)).Arg(Decimal(static_cast<ULONGLONG>(static_cast<LONGLONG>(distance))));
  trace.Arg(distance_high == nullptr ? "null" : Decimal(static_cast<ULONGLONG>(static_cast<LONGLONG>(*distance_high))));
  trace.Arg(Decimal(move_method));
  const CallFailure<DWORD> fail(trace, INVALID_SET_FILE_POINTER, "INVALID_SET_FILE_POINTER");
  if (auto fault = CurrentProcess().TakeFault("SetFilePointer")) return fail(*fault);
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if (!IsDataFile(*handle.object)) return fail(ERROR_INVALID_FUNCTION);
  const LONGLONG move = distance_high == nullptr
                            ? static_cast<LONGLONG>(distance)
                            : static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*distance_high)) << 32) |
                                                    static_cast<DWORD>(distance));
  LONGLONG origin = 0;
  switch (move_method) {
    case FILE_BEGIN: origin = 0; break;
    case FILE_CURRENT: origin = static_cast<LONGLONG>(handle.object->position); break;
    case FILE_END: {
      struct stat status {};
      if (::fstat(handle.object->fd(), &status) != 0) return fail(ERROR_INVALID_HANDLE);
      origin = status.st_size;
      break;
    }
    default: return fail(ERROR_INVALID_PARAMETER);
  }
  const LONGLONG target = origin + move;
  if (target < 0) return fail(ERROR_NEGATIVE_SEEK);
  if (distance_high == nullptr && target > 0xFFFFFFFELL) return fail(ERROR_INVALID_PARAMETER);
  handle.object->position = static_cast<ULONGLONG>(target);
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(static_cast<ULONGLONG>(target) >> 32);
  // With a high part, 0xFFFFFFFF can be a valid low half: the caller tells by the last error.
  SetLastErrorValue(ERROR_SUCCESS);
  const DWORD low = static_cast<DWORD>(static_cast<ULONGLONG>(target));
  trace.Result(Decimal(low));
  return low;
}

extern "C" BOOL FlushFileBuffers(HANDLE file) {
  Process& process = CurrentProcess();
  TraceLine trace("FlushFileBuffers");
  trace.Arg(Pointer(file));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  const FileHandle handle = LookUpFileHandle(file);
  if (!handle) return fail(ERROR_INVALID_HANDLE);
  if ((handle.access & kWriteClass) == 0 || !IsDataFile(*handle.object)) return fail(ERROR_ACCESS_DENIED);
  if (auto fault = process.TakeFault("FlushFileBuffers")) return fail(*fault);
  if (::fsync(handle.object->fd()) != 0) return fail(ErrorFromErrno(errno));
  trace.Result("TRUE");
  return TRUE;
}
