// Environment variables, ExpandEnvironmentStringsW and GetSystemDirectoryW.
#include "sim/kernel32/environment.h"

#include <algorithm>

#include "platform/errors.h"
#include "platform/kernel32_environment.h"
#include "platform/kernel32_system_directory.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

namespace sim {

namespace {

struct DefaultVariable {
  const char* name;
  const char16_t* value;
};
constexpr DefaultVariable kDefaults[] = {
    {"WINDIR", u"C:\\Windows"},
    {"SYSTEMROOT", u"C:\\Windows"},
    {"SYSTEMDRIVE", u"C:"},
};

// An unknown reference is copied as it stands, both percent signs included, and the scan
// goes on after its closing '%' ("%NOSUCH%WINDIR%" gives "%NOSUCH%WINDIR%"); the
// documentation does not say what that closing sign may start. A '%' without a partner,
// and "%%", are copied too.
std::u16string Expand(std::u16string_view source) {
  std::u16string out;
  size_t i = 0;
  while (i < source.size()) {
    const size_t close = source[i] == u'%' ? source.find(u'%', i + 1) : std::u16string_view::npos;
    if (close == std::u16string_view::npos) {
      out += source[i++];
      continue;
    }
    const std::u16string_view name = source.substr(i + 1, close - i - 1);
    auto value = name.empty() ? std::nullopt : EnvironmentValue(name);
    out += value ? std::u16string_view(*value) : source.substr(i, close - i + 1);
    i = close + 1;
  }
  return out;
}

}  // namespace

std::optional<std::u16string> EnvironmentValue(std::u16string_view name) {
  std::string key(ToUtf8(name));
  std::transform(key.begin(), key.end(), key.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  if (auto setting = CurrentProcess().machine().Setting("environment." + key)) {
    if (setting->empty()) return std::nullopt;
    return ToUtf16(*setting);
  }
  for (const DefaultVariable& variable : kDefaults) {
    if (key == variable.name) return std::u16string(variable.value);
  }
  return std::nullopt;
}

std::u16string SystemDirectory() {
  if (auto setting = CurrentProcess().machine().Setting("system_directory")) return ToUtf16(*setting);
  return u"C:\\Windows\\System32";
}

std::u16string SystemDirectoryFile(std::u16string_view name) {
  std::u16string path = SystemDirectory();
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path + std::u16string(name);
}

}  // namespace sim

using namespace sim;

extern "C" DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size) {
  Process& process = CurrentProcess();
  TraceLine trace("ExpandEnvironmentStringsW");
  trace.Arg(Quoted(source)).Arg(Decimal(size));
  if (auto fault = process.TakeFault("ExpandEnvironmentStringsW")) {
    SetLastErrorValue(*fault);
    trace.Result("0", *fault);
    return 0;
  }
  if (source == nullptr || (destination == nullptr && size != 0) ||
      (destination != nullptr && static_cast<LPCWSTR>(destination) == source)) {
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    trace.Result("0", ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string expanded = Expand(View(source));
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  // Too small: the size needed is returned and, as chosen here, nothing is stored and the
  // last error is left alone (the documentation says neither).
  if (needed > size) {
    trace.Result(Decimal(needed) + " (too small)");
    return needed;
  }
  std::copy(expanded.begin(), expanded.end(), destination);
  destination[expanded.size()] = 0;
  trace.Result(Decimal(needed) + " " + Quoted(destination));
  return needed;
}

// A null buffer with size 0 asks for the size; a null buffer with any other size fails
// with ERROR_INVALID_PARAMETER (a choice: the documentation does not say). Too small: the
// size needed, nothing stored, the last error left alone, as ExpandEnvironmentStringsW.
extern "C" UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  Process& process = CurrentProcess();
  TraceLine trace("GetSystemDirectoryW");
  trace.Arg(Pointer(buffer)).Arg(Decimal(size));
  const CallFailure<UINT> fail(trace, 0, "0");
  if (auto fault = process.TakeFault("GetSystemDirectoryW")) return fail(*fault);
  if (buffer == nullptr && size != 0) return fail(ERROR_INVALID_PARAMETER);
  const std::u16string directory = SystemDirectory();
  const UINT length = static_cast<UINT>(directory.size());
  if (length + 1 > size) {
    trace.Result(Decimal(length + 1) + " (too small)");
    return length + 1;
  }
  std::copy(directory.begin(), directory.end(), buffer);
  buffer[length] = 0;
  trace.Result(Decimal(length) + " " + Quoted(buffer));
  return length;
}
