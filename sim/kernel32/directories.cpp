// CreateDirectoryW. A descriptor given on a volume that keeps access-control lists is
// kept with the directory (file_metadata.h) and enforced on the host: a protected DACL
// that admits only administrators, the system and the token's owner gives host mode 0700,
// set by mkdir itself so that the directory never exists with a wider mode. Programs here
// are not long-path aware, so a directory path longer than 248 units is refused.
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "platform/errors.h"
#include "platform/kernel32_directories.h"
#include "platform/kernel32_volumes.h"
#include "sim/advapi32/security_descriptor.h"
#include "sim/advapi32/token.h"
#include "sim/core/call_failure.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "sim/kernel32/volumes.h"

using namespace sim;

namespace {

constexpr mode_t kPrivateMode = 0700;
// MAX_PATH (260) less room for an 8.3 file name (12): the longest directory path that a
// process not opted into long paths may create.
constexpr size_t kDirectoryPathLimit = 248;

// Longer than the limit: refused with ERROR_FILENAME_EXCED_RANGE, as Windows is observed
// to refuse it (the documentation states the limit, not the code). The path is counted as
// qualified, a trailing separator left out since it names the same directory (a choice);
// the "\\?\" prefix is documented to lift the limit.
bool ExceedsDirectoryPathLimit(std::u16string_view path) {
  if (path.substr(0, 4) == u"\\\\?\\") return false;
  if (path.size() > 3 && (path.back() == u'\\' || path.back() == u'/')) path.remove_suffix(1);
  return path.size() > kDirectoryPathLimit;
}

// The host's umask narrows this as it narrows any mkdir.
constexpr mode_t kDefaultMode = 0777;

DWORD WindowsErrorOf(int host_error) {
  switch (host_error) {
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOENT: case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    default: return ERROR_ACCESS_DENIED;  // EACCES, EPERM and whatever else refuses us
  }
}

std::string DescribeAttributes(const SECURITY_ATTRIBUTES* attributes) {
  if (attributes == nullptr) return "null";
  return "{" + Decimal(attributes->nLength) + ", " + Pointer(attributes->lpSecurityDescriptor) + ", " +
         Decimal(attributes->bInheritHandle) + "}";
}

// Whether the descriptor kept with `directory`, if any, lets this process add a
// subdirectory to it. Objects without a kept descriptor stand open, as the host's own
// permissions then decide.
bool MayAddSubdirectory(Process& process, const std::filesystem::path& directory) {
  const auto kept = ReadSecurityDescriptor(directory);
  if (!kept) return true;
  const SddlResult parsed = ParseSddl(ToUtf16(*kept));
  if (!parsed.descriptor) return false;
  return GrantsAccess(*parsed.descriptor, TokenSids(process.machine()), kFileAddSubdirectory);
}

}  // namespace

extern "C" BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
  Process& process = CurrentProcess();
  TraceLine trace("CreateDirectoryW");
  trace.Arg(Quoted(path)).Arg(DescribeAttributes(attributes));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (path == nullptr) return fail(ERROR_PATH_NOT_FOUND);
  if (auto fault = process.TakeFault("CreateDirectoryW")) return fail(*fault);
  const std::u16string full = QualifiedPath(process, View(path));
  if (ExceedsDirectoryPathLimit(full)) return fail(ERROR_FILENAME_EXCED_RANGE);
  const HostPath host = process.machine().Resolve(full);
  if (!host.ok()) return fail(host.error);

  std::optional<SecurityDescriptor> descriptor;
  if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
    descriptor = FromSelfRelative(static_cast<const BYTE*>(attributes->lpSecurityDescriptor));
    if (!descriptor) return fail(ERROR_INVALID_SECURITY_DESCR);
  }

  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(host.path, error))) return fail(ERROR_ALREADY_EXISTS);
  const std::filesystem::path parent = host.path.parent_path();
  // Only the last component is created; a missing parent, or a file in its place, is a
  // path that cannot be found.
  if (!std::filesystem::is_directory(parent, error)) return fail(ERROR_PATH_NOT_FOUND);
  if (!MayAddSubdirectory(process, parent)) return fail(ERROR_ACCESS_DENIED);

  // Descriptors take effect only where the volume keeps them (not on FAT).
  const auto volume = DriveVolume(process.machine(), DriveOf(full));
  if (!volume || (volume->flags & FILE_PERSISTENT_ACLS) == 0) descriptor.reset();
  mode_t mode = kDefaultMode;
  if (descriptor) {
    std::vector<Sid> trustees = {AdministratorsSid(), LocalSystemSid()};
    if (auto owner = TokenOwnerSid(process.machine())) trustees.push_back(*owner);
    if (AdmitsOnly(*descriptor, trustees)) mode = kPrivateMode;
  }
  if (::mkdir(host.path.c_str(), mode) != 0) return fail(WindowsErrorOf(errno));
  // The descriptor applied is kept exactly as given: a parent's inheritable entries are
  // not merged into an unprotected one (the simulation keeps no inheritance).
  if (descriptor && !WriteSecurityDescriptor(host.path, ToSddl(*descriptor))) {
    const int host_error = errno;
    ::rmdir(host.path.c_str());
    return fail(host_error == ENOTSUP ? ERROR_NOT_SUPPORTED : WindowsErrorOf(host_error));
  }
  trace.Result(descriptor ? "TRUE " + ToSddl(*descriptor) : "TRUE");
  return TRUE;
}
