#include "sim/core/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "sim/core/process.h"
#include "sim/core/text.h"

namespace sim {

namespace {

int trace_fd = -1;

}  // namespace

void OpenTrace(const std::string& path) {
  CloseTrace();
  if (!path.empty()) trace_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void CloseTrace() {
  if (trace_fd >= 0) ::close(trace_fd);
  trace_fd = -1;
}

bool TraceEnabled() { return trace_fd >= 0; }

TraceLine::TraceLine(std::string_view function) {
  // Counted whether or not the trace is written: fault rules number the calls by it.
  CurrentProcess().CountCall(function);
  if (!TraceEnabled()) return;
  text_ = "[" + std::to_string(::getpid()) + "] ";
  text_ += function;
  text_ += "(";
}

TraceLine& TraceLine::Arg(std::string_view value) {
  if (!TraceEnabled()) return *this;
  if (!first_argument_) text_ += ", ";
  text_ += value;
  first_argument_ = false;
  return *this;
}

void TraceLine::Result(std::string_view value, DWORD error) {
  if (!TraceEnabled()) return;
  text_ += ") -> ";
  text_ += value;
  if (error != 0) text_ += " [error " + std::to_string(error) + "]";
  text_ += "\n";
  // One write per line, so that the lines of several processes never interleave.
  [[maybe_unused]] ssize_t written = ::write(trace_fd, text_.data(), text_.size());
}

std::string Quoted(std::u16string_view text) {
  std::string out = "\"";
  for (char c : ToUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Quoted(LPCWSTR text) { return text == nullptr ? "null" : Quoted(View(text)); }

std::string Hex(ULONGLONG value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", value);
  return buffer;
}

std::string Pointer(const void* pointer) {
  return pointer == nullptr ? "null" : Hex(reinterpret_cast<ULONG_PTR>(pointer));
}

std::string Decimal(ULONGLONG value) { return std::to_string(value); }

}  // namespace sim
