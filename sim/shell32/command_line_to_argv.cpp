// CommandLineToArgvW: Windows' splitting of a command line into arguments.
//
// The program name (argument 0) ends at the first space or tab, or, when the line starts
// with a double quote, at the next double quote; backslashes are plain characters in it.
// A line that starts with white space thus has an empty program name. Later arguments
// are separated by spaces and tabs outside quotes; 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part; 2n+1 backslashes before a
// quote give n backslashes and a literal quote; other backslashes are literal.
// Choices where the documentation is silent (the C runtime's documented rules):
// - Inside a quoted part a doubled quote gives one literal quote and the part goes on.
// - An unterminated quote runs to the end of the line.
// - Text right after the program name's closing quote starts the next argument.
// - A null line or a null count is refused with ERROR_INVALID_PARAMETER.
// The vector ends with a null entry after the last argument.
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/shell32.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

bool IsBlank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

std::u16string ProgramName(std::u16string_view line, size_t& at) {
  std::u16string name;
  if (!line.empty() && line[0] == u'"') {
    const size_t close = line.find(u'"', 1);
    name = line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1);
    at = close == std::u16string_view::npos ? line.size() : close + 1;
    return name;
  }
  at = 0;
  while (at < line.size() && !IsBlank(line[at])) name += line[at++];
  return name;
}

std::u16string NextArgument(std::u16string_view line, size_t& at) {
  std::u16string argument;
  bool quoted = false;
  while (at < line.size()) {
    const char16_t unit = line[at];
    if (unit == u'\\') {
      size_t backslashes = 0;
      while (at < line.size() && line[at] == u'\\') {
        ++backslashes;
        ++at;
      }
      if (at < line.size() && line[at] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          argument += u'"';
          ++at;
        }
      } else {
        argument.append(backslashes, u'\\');
      }
    } else if (unit == u'"') {
      if (quoted && at + 1 < line.size() && line[at + 1] == u'"') {
        argument += u'"';
        at += 2;
      } else {
        quoted = !quoted;
        ++at;
      }
    } else if (IsBlank(unit) && !quoted) {
      break;
    } else {
      argument += unit;
      ++at;
    }
  }
  return argument;
}

std::vector<std::u16string> Split(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  size_t at = 0;
  arguments.push_back(ProgramName(line, at));
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at >= line.size()) break;
    arguments.push_back(NextArgument(line, at));
  }
  return arguments;
}

std::u16string ExecutablePath() {
  WCHAR path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return std::u16string(path, length);
}

}  // namespace

extern "C" LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* argument_count) {
  Process& process = CurrentProcess();
  TraceLine trace("CommandLineToArgvW");
  trace.Arg(Quoted(command_line));
  const CallFailure<LPWSTR*> fail(trace, nullptr, "null");
  if (command_line == nullptr || argument_count == nullptr) return fail(ERROR_INVALID_PARAMETER);
  if (auto fault = process.TakeFault("CommandLineToArgvW")) return fail(*fault);

  const std::vector<std::u16string> arguments =
      command_line[0] == 0 ? std::vector<std::u16string>{ExecutablePath()} : Split(View(command_line));
  // One block: the pointer array (null-terminated), then every string with its terminator.
  size_t bytes = (arguments.size() + 1) * sizeof(LPWSTR);
  for (const auto& argument : arguments) bytes += (argument.size() + 1) * sizeof(WCHAR);
  auto* block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, bytes));
  if (block == nullptr) return fail(LastError());
  auto** vector = reinterpret_cast<LPWSTR*>(block);
  auto* text = reinterpret_cast<WCHAR*>(block + (arguments.size() + 1) * sizeof(LPWSTR));
  for (size_t i = 0; i < arguments.size(); ++i) {
    vector[i] = text;
    std::memcpy(text, arguments[i].data(), arguments[i].size() * sizeof(WCHAR));
    text[arguments[i].size()] = 0;
    text += arguments[i].size() + 1;
  }
  vector[arguments.size()] = nullptr;
  *argument_count = static_cast<int>(arguments.size());
  std::string shown;
  for (const auto& argument : arguments) shown += " " + Quoted(argument);
  trace.Result(Pointer(block) + " argc " + Decimal(arguments.size()) + shown);
  return vector;
}
