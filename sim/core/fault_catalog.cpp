#include "sim/core/fault_catalog.h"

#include "platform/errors.h"
#include "platform/fdi.h"

namespace sim {

namespace {

// Not used elsewhere in the simulation: the quota errors of SetProcessWorkingSetSize and
// DuplicateHandle.
constexpr DWORD kNoSystemResources = 1450;   // ERROR_NO_SYSTEM_RESOURCES
constexpr DWORD kWorkingSetQuota = 1453;     // ERROR_WORKING_SET_QUOTA

}  // namespace

const std::vector<FailableFunction>& FailableFunctions() {
  static const auto* functions = new std::vector<FailableFunction>{
      {"CloseHandle", "FALSE", {ERROR_INVALID_HANDLE}},
      {"CommandLineToArgvW", "null", {ERROR_NOT_ENOUGH_MEMORY}},
      {"ConvertSidToStringSidW", "FALSE", {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_SID}},
      {"ConvertStringSecurityDescriptorToSecurityDescriptorW", "FALSE", {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_ACL}},
      {"CreateDirectoryW", "FALSE", {ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND}},
      {"CreateFileW", "INVALID_HANDLE_VALUE",
       {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND, ERROR_DISK_FULL}},
      {"CreateProcessW", "FALSE", {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED}},
      {"DosDateTimeToFileTime", "FALSE", {ERROR_INVALID_PARAMETER}},
      {"DuplicateHandle", "FALSE", {kNoSystemResources}},
      {"EnumResourceNamesW", "FALSE", {ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}},
      {"ExpandEnvironmentStringsW", "0", {ERROR_NOT_ENOUGH_MEMORY}},
      // FDIERROR codes, reported in the caller's ERF record.
      {"FDICopy", "FALSE", {FDIERROR_CORRUPT_CABINET, FDIERROR_TARGET_FILE}},
      {"FDICreate", "null", {FDIERROR_ALLOC_FAIL}},
      // No error is reported; a refused destruction keeps the context.
      {"FDIDestroy", "FALSE", {0}},
      {"FindResourceW", "null", {ERROR_RESOURCE_NAME_NOT_FOUND}},
      {"FlushFileBuffers", "FALSE", {ERROR_DISK_FULL}},
      {"GetExitCodeProcess", "FALSE", {ERROR_ACCESS_DENIED}},
      {"GetFileAttributesW", "INVALID_FILE_ATTRIBUTES", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
      {"GetFileInformationByHandleEx", "FALSE", {ERROR_ACCESS_DENIED}},
      {"GetModuleFileNameW", "0", {ERROR_NOT_ENOUGH_MEMORY}},
      {"GetModuleHandleW", "null", {ERROR_MOD_NOT_FOUND}},
      {"GetProcAddress", "null", {ERROR_PROC_NOT_FOUND}},
      {"GetSystemDirectoryW", "0", {ERROR_NOT_ENOUGH_MEMORY}},
      {"GetTokenInformation", "FALSE", {ERROR_ACCESS_DENIED}},
      {"GetVolumeInformationW", "FALSE", {ERROR_ACCESS_DENIED}},
      {"GetVolumePathNameW", "FALSE", {ERROR_PATH_NOT_FOUND}},
      // HeapAlloc leaves the last error alone; the error is not used.
      {"HeapAlloc", "null", {ERROR_NOT_ENOUGH_MEMORY}},
      {"HeapFree", "FALSE", {ERROR_INVALID_PARAMETER}},
      {"LoadLibraryExW", "null", {ERROR_MOD_NOT_FOUND}},
      {"LoadResource", "null", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      {"LocalAlloc", "null", {ERROR_NOT_ENOUGH_MEMORY}},
      {"LocalFileTimeToFileTime", "FALSE", {ERROR_INVALID_PARAMETER}},
      // LocalFree returns the block it could not release.
      {"LocalFree", "the block", {ERROR_INVALID_HANDLE}},
      {"LockResource", "null", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      {"MoveFileExW", "FALSE", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}},
      {"MultiByteToWideChar", "0", {ERROR_NO_UNICODE_TRANSLATION}},
      {"OpenProcessToken", "FALSE", {ERROR_ACCESS_DENIED}},
      {"ReadFile", "FALSE", {ERROR_READ_FAULT}},
      // Registry functions return the error as their status.
      {"RegCloseKey", "the error", {ERROR_INVALID_HANDLE}},
      {"RegOpenKeyExW", "the error", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
      {"RegQueryValueExW", "the error", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA}},
      {"SetFileInformationByHandle", "FALSE", {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DIR_NOT_EMPTY}},
      {"SetFilePointer", "INVALID_SET_FILE_POINTER", {ERROR_NEGATIVE_SEEK}},
      {"SetProcessWorkingSetSize", "FALSE", {kWorkingSetQuota}},
      {"SizeofResource", "0", {ERROR_RESOURCE_DATA_NOT_FOUND}},
      // RtlGenRandom reports failure as FALSE only.
      {"SystemFunction036", "FALSE", {ERROR_NOT_ENOUGH_MEMORY}},
      {"WaitForSingleObject", "WAIT_FAILED", {ERROR_INVALID_HANDLE}},
      {"WideCharToMultiByte", "0", {ERROR_NO_UNICODE_TRANSLATION}},
      {"WriteFile", "FALSE", {ERROR_DISK_FULL}},
  };
  return *functions;
}

const std::vector<UnfailableFunction>& UnfailableFunctions() {
  static const auto* functions = new std::vector<UnfailableFunction>{
      {"ExitProcess", "it does not return"},
      {"GetCommandLineW", "Windows documents only the pointer to the command line as its result"},
      {"GetStartupInfoW", "it returns nothing"},
      {"Sleep", "it returns nothing"},
      {"lstrcmpW", "Windows documents no failure value for a comparison"},
      {"lstrcmpiW", "Windows documents no failure value for a comparison"},
  };
  return *functions;
}

const FailableFunction* FindFailable(std::string_view name) {
  for (const auto& function : FailableFunctions()) {
    if (function.name == name) return &function;
  }
  return nullptr;
}

std::string FaultRuleProblem(std::string_view function) {
  if (FindFailable(function) != nullptr) return "";
  for (const auto& unfailable : UnfailableFunctions()) {
    if (unfailable.name == function) {
      return std::string(function) + " cannot be failed: " + std::string(unfailable.reason);
    }
  }
  return "no simulated function " + std::string(function) + " can be failed";
}

}  // namespace sim
