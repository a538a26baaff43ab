// The call trace: one line per platform call with its arguments and result, appended to
// a file that every process of the run shares ("[pid] Name(arg, ...) -> result").
#pragma once
#include <string>
#include <string_view>

#include "platform/types.h"

namespace sim {

class TraceLine {
 public:
  // Also counts the call in the current process, which numbers calls for fault rules.
  // `function` is the function's own name as a literal: tests find the traced
  // functions by it.
  explicit TraceLine(std::string_view function);
  TraceLine& Arg(std::string_view value);
  // Writes the line, if tracing is on; `error` is shown when non-zero.
  void Result(std::string_view value, DWORD error = 0);

 private:
  std::string text_;
  bool first_argument_ = true;
};

// Argument formatters.
std::string Quoted(LPCWSTR text);           // "C:\\a b" with control units escaped; null
std::string Quoted(std::u16string_view text);
std::string Hex(ULONGLONG value);           // 0x1f
std::string Pointer(const void* pointer);   // 0x... or null
std::string Decimal(ULONGLONG value);

void OpenTrace(const std::string& path);
void CloseTrace();
bool TraceEnabled();

}  // namespace sim
