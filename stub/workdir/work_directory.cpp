#include "stub/workdir/work_directory.h"

#include "platform/advapi32_random.h"
#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_directories.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_volumes.h"
#include "stub/cleanup/delete_with_retry.h"
#include "stub/config/configuration.h"

namespace {

constexpr Count kRandomBytes = 4;
constexpr Count kNameDigits = 5;
// "TS_" is already in place; the digits, ".tmp" and "\" follow, with the terminator.
constexpr Count kRoomAfterPrefix = 11;

// Protected (P) so that nothing flows in from the parent: administrators, the system and
// the owner get the directory; administrators, the system and each creator get what is
// made inside. The owner SID and ")" complete the last entry.
constexpr WCHAR kSecurityBeginning[] =
    u"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;";

// Releases a LocalAlloc block without disturbing the last error being reported.
void LocalFreeKeepingError(HLOCAL block) {
  const DWORD error = GetLastError();
  LocalFree(block);
  SetLastError(error);
}

void CloseKeepingError(HANDLE handle) {
  const DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

// Fills in the attempt's name at `start`: five digits of fresh random bytes and ".tmp".
void DrawName(PathString& output, Count start) {
  // RtlGenRandom's result is not examined; a failed draw gives zero bytes rather than
  // whatever an earlier draw left behind.
  BYTE bytes[kRandomBytes] = {0, 0, 0, 0};
  RtlGenRandom(bytes, kRandomBytes);
  HexEncode(bytes, kRandomBytes, output.units + start, kPathCapacity - start);
  output.units[start + kNameDigits] = 0;
  output.Append(u".tmp");
}

}  // namespace

ExitResult CreateWorkDirectory(HMODULE module, PathString& work_directory, ScopedHandle& hold) {
  PathString local_module_path;
  PathString& module_path = unpack_only ? work_directory : local_module_path;
  // A name that does not fit is cut short and reported with the buffer's full size.
  const DWORD length = GetModuleFileNameW(module, module_path.Data(), kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return {kWorkDirectoryFailed, 0};
  LPCWSTR name = FileNamePosition(module_path.Data(), length);
  if (name == module_path.Data()) return {kWorkDirectoryFailed, 0};
  module_path.units[name - module_path.Data()] = 0;
  if (unpack_only) return kSucceeded;

  ExitResult result = kSucceeded;
  if (!CreateUniqueDirectory(module_path, work_directory, result)) return result;
  // Every later step names the directory by its path; from here on that path cannot be
  // given to another directory. A directory that cannot be held is not used, and is
  // removed: this early exit runs no cleanup, and the run must leave nothing behind.
  if (!HoldWorkDirectory(work_directory, hold)) {
    const DWORD error = GetLastError();
    DeleteWithRetry(work_directory.Data());
    return {kWorkDirectoryFailed, error};
  }
  return kSucceeded;
}

bool HoldWorkDirectory(const PathString& directory, ScopedHandle& hold) {
  hold.Close();
  // Access without a data or delete right would not take part in sharing, and its share
  // mode would then refuse nobody.
  hold.handle = CreateFileW(directory.Data(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return hold.IsValid();
}

bool CreateUniqueDirectory(const PathString& base, PathString& output, ExitResult& result) {
  result = {kPathOverflow, 0};
  if (!output.Assign(base.Data()) || !output.Append(u"TS_")) return false;
  const Count start = output.Length();
  if (kPathCapacity - start < kRoomAfterPrefix) return false;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!BuildWorkDirectorySecurity(base, descriptor)) {
    result = {kWorkDirectoryAclFailed, GetLastError()};
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  LPSECURITY_ATTRIBUTES given = descriptor != nullptr ? &attributes : nullptr;

  // A name that exists already (another run, or a squatter) costs one attempt; so does
  // any other failure, since a fresh name is all an attempt can change.
  result = {kWorkDirectoryFailed, 0};
  for (int attempt = 0; attempt < kDirectoryAttempts; ++attempt) {
    DrawName(output, start);
    if (CreateDirectoryW(output.Data(), given)) {
      output.Append(u"\\");
      result = kSucceeded;
      break;
    }
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return result.Succeeded();
}

bool BuildWorkDirectorySecurity(const PathString& base, PSECURITY_DESCRIPTOR& descriptor) {
  descriptor = nullptr;
  // A volume that cannot be asked, or that keeps no access-control lists (FAT, exFAT),
  // gets the directory with its parent's default security.
  PathString volume_root;
  if (!GetVolumePathNameW(base.Data(), volume_root.Data(), kPathCapacity)) return true;
  DWORD flags = 0;
  if (!GetVolumeInformationW(volume_root.Data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return true;
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;

  LPWSTR owner = nullptr;
  if (!GetTokenOwnerSidString(owner)) return false;
  FixedString<kSddlCapacity> text;
  if (!text.Append(kSecurityBeginning) || !text.Append(owner) || !text.Append(u")")) {
    LocalFreeKeepingError(owner);
    return false;
  }
  const BOOL converted =
      ConvertStringSecurityDescriptorToSecurityDescriptorW(text.Data(), SDDL_REVISION_1, &descriptor, nullptr);
  LocalFreeKeepingError(owner);
  return converted != FALSE;
}

bool GetTokenOwnerSidString(LPWSTR& text) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;

  // The owner SID follows the TOKEN_OWNER record in the same buffer, so the size is
  // asked for first.
  DWORD size = 0;
  if (GetTokenInformation(token, TokenOwner, nullptr, 0, &size) || size == 0 ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    CloseKeepingError(token);
    return false;
  }
  HLOCAL buffer = LocalAlloc(LPTR, size);
  if (buffer == nullptr) {
    CloseKeepingError(token);
    return false;
  }
  if (!GetTokenInformation(token, TokenOwner, buffer, size, &size)) {
    LocalFreeKeepingError(buffer);
    CloseKeepingError(token);
    return false;
  }
  const bool converted = ConvertSidToStringSidW(static_cast<TOKEN_OWNER*>(buffer)->Owner, &text) != FALSE;
  LocalFreeKeepingError(buffer);
  CloseKeepingError(token);
  return converted;
}
