// LoadLibraryExW and GetProcAddress. No real library is loaded: the only one the
// simulation has is its built-in stand-in for the cabinet library, found as cabinet.dll
// in the system directory. The process keeps a loaded library until it ends, and the
// accounting lists it.
#include <filesystem>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_library.h"
#include "sim/cabinet/cabinet_library.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "sim/kernel32/environment.h"

using namespace sim;

namespace {

constexpr char16_t kCabinetLibrary[] = u"cabinet.dll";

// A full path in one spelling: "\\?\" dropped, '/' as '\', separators collapsed, "." and
// ".." resolved, and ".dll" added to a last name without an extension.
std::u16string NormalisePath(std::u16string_view path) {
  if (path.substr(0, 4) == u"\\\\?\\") path.remove_prefix(4);
  std::vector<std::u16string> parts;
  std::u16string current;
  auto flush = [&] {
    if (current == u"..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (!current.empty() && current != u".") {
      parts.push_back(current);
    }
    current.clear();
  };
  for (char16_t unit : path) {
    if (unit == u'\\' || unit == u'/') {
      flush();
    } else {
      current += unit;
    }
  }
  flush();
  std::u16string joined;
  for (const auto& part : parts) joined += (joined.empty() ? u"" : u"\\") + part;
  // A trailing '.' means "no extension"; otherwise a name without one gets ".dll".
  const size_t name_start = joined.rfind(u'\\') == std::u16string::npos ? 0 : joined.rfind(u'\\') + 1;
  if (!joined.empty() && joined.back() == u'.') {
    joined.pop_back();
  } else if (joined.find(u'.', name_start) == std::u16string::npos) {
    joined += u".dll";
  }
  return joined;
}

bool IsFullPath(std::u16string_view path) {
  return path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/');
}

bool IsBareName(std::u16string_view path) { return path.find_first_of(u"\\/:") == std::u16string_view::npos; }

}  // namespace

// Choices where the documentation is silent or the simulation is narrower than Windows:
// a bare name is looked for only in the system directory; a relative path with folders
// is not searched and fails with ERROR_MOD_NOT_FOUND; flags other than 0 and
// LOAD_WITH_ALTERED_SEARCH_PATH fail with ERROR_INVALID_PARAMETER; an existing file other
// than the stand-in cannot be loaded here and fails with ERROR_BAD_EXE_FORMAT.
extern "C" HMODULE LoadLibraryExW(LPCWSTR file_name, HANDLE file, DWORD flags) {
  Process& process = CurrentProcess();
  TraceLine trace("LoadLibraryExW");
  trace.Arg(Quoted(file_name)).Arg(Pointer(file)).Arg(Hex(flags));
  const CallFailure<HMODULE> fail(trace, nullptr, "null");
  if (file_name == nullptr || file != nullptr || (flags & ~LOAD_WITH_ALTERED_SEARCH_PATH) != 0) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (auto fault = process.TakeFault("LoadLibraryExW")) return fail(*fault);
  std::u16string_view name = View(file_name);
  if (name.substr(0, 4) == u"\\\\?\\") name.remove_prefix(4);
  std::u16string path;
  if (IsBareName(name) && !name.empty()) {
    path = NormalisePath(SystemDirectoryFile(name));
  } else if (IsFullPath(name)) {
    path = NormalisePath(name);
  } else {
    return fail(ERROR_MOD_NOT_FOUND);
  }
  if (EqualNoCase(path, SystemDirectoryFile(kCabinetLibrary))) {
    const HMODULE module = cabinet::LibraryModule();
    process.RecordModuleLoad(module, path);
    trace.Result(Pointer(module));
    return module;
  }
  const HostPath host = process.machine().Resolve(path);
  std::error_code error;
  if (!host.ok() || !std::filesystem::is_regular_file(host.path, error)) return fail(ERROR_MOD_NOT_FOUND);
  return fail(ERROR_BAD_EXE_FORMAT);
}

// An ordinal (a "name" below 0x10000) is not exported by the stand-in: ERROR_PROC_NOT_FOUND.
// A module handle that is no loaded module fails with ERROR_MOD_NOT_FOUND (undocumented).
extern "C" FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
  Process& process = CurrentProcess();
  TraceLine trace("GetProcAddress");
  const bool ordinal = (reinterpret_cast<ULONG_PTR>(proc_name) >> 16) == 0;
  trace.Arg(Pointer(module))
      .Arg(ordinal ? "#" + Decimal(reinterpret_cast<ULONG_PTR>(proc_name)) : "\"" + std::string(proc_name) + "\"");
  const CallFailure<FARPROC> fail(trace, nullptr, "null");
  if (auto fault = process.TakeFault("GetProcAddress")) return fail(*fault);
  bool loaded = false;
  for (const auto& entry : process.Snapshot().loaded_modules) loaded = loaded || entry.module == module;
  // A null module is the program's own image, which exports nothing.
  if (module != nullptr && module != process.module() && !loaded) return fail(ERROR_MOD_NOT_FOUND);
  const FARPROC function = module == cabinet::LibraryModule() && !ordinal ? cabinet::FindExport(proc_name) : nullptr;
  if (function == nullptr) return fail(ERROR_PROC_NOT_FOUND);
  trace.Result(Pointer(reinterpret_cast<const void*>(function)));
  return function;
}
