// GetFileAttributesW: the attribute word of whatever exists at a path.
#include <filesystem>

#include "platform/errors.h"
#include "platform/kernel32_processes.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

extern "C" DWORD GetFileAttributesW(LPCWSTR file_name) {
  Process& process = CurrentProcess();
  TraceLine trace("GetFileAttributesW");
  trace.Arg(Quoted(file_name));
  auto fail = [&](DWORD error) {
    SetLastErrorValue(error);
    trace.Result("INVALID_FILE_ATTRIBUTES", error);
    return INVALID_FILE_ATTRIBUTES;
  };
  if (auto fault = process.TakeFault("GetFileAttributesW")) return fail(*fault);
  if (file_name == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const HostPath host = process.machine().Resolve(View(file_name));
  if (!host.ok()) return fail(host.error);
  if (auto attributes = ReadFileAttributes(host.path)) {
    trace.Result(Hex(*attributes));
    return *attributes;
  }
  // A missing folder on the way is a missing path; a missing last name a missing file.
  std::error_code error;
  return fail(std::filesystem::is_directory(host.path.parent_path(), error) ? ERROR_FILE_NOT_FOUND
                                                                             : ERROR_PATH_NOT_FOUND);
}
