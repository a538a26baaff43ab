// MultiByteToWideChar and WideCharToMultiByte for UTF-8, the only code page simulated:
// any other fails with ERROR_INVALID_PARAMETER.
//
// Where the documentation is silent: a too-small output fails without storing anything;
// a length of 0 or below -1 fails with ERROR_INVALID_PARAMETER; an invalid UTF-8
// sequence becomes one U+FFFD per maximal ill-formed subpart (the Unicode practice), and
// an unpaired surrogate becomes U+FFFD (EF BF BD).
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_text_conversion.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

struct Conversion {
  std::u16string utf16;
  std::string utf8;
  bool invalid = false;  // some input was replaced by U+FFFD
};

Conversion FromUtf8(const char* source, size_t size) {
  Conversion result;
  const std::string_view text(source, size);
  for (size_t i = 0, length = 0; i < size; i += length) {
    AppendUtf16(result.utf16, DecodeUtf8At(text, i, &length, &result.invalid));
  }
  return result;
}

Conversion FromUtf16(LPCWSTR source, size_t size) {
  Conversion result;
  const std::u16string_view text(source, size);
  for (size_t i = 0, length = 0; i < size; i += length) {
    AppendUtf8(result.utf8, DecodeUtf16At(text, i, &length, &result.invalid));
  }
  return result;
}

// The shared checks of both directions; 0 when they pass, else the error.
DWORD CheckArguments(UINT code_page, DWORD flags, DWORD allowed_flag, const void* source, int source_size,
                     const void* destination, int destination_size) {
  if (code_page != CP_UTF8) return ERROR_INVALID_PARAMETER;
  if ((flags & ~allowed_flag) != 0) return ERROR_INVALID_FLAGS;
  if (source == nullptr || source_size == 0 || source_size < -1 || destination_size < 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (destination_size > 0 && (destination == nullptr || destination == source)) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // namespace

extern "C" int MultiByteToWideChar(UINT code_page, DWORD flags, const char* source, int source_bytes,
                                   LPWSTR destination, int destination_units) {
  Process& process = CurrentProcess();
  TraceLine trace("MultiByteToWideChar");
  trace.Arg(Decimal(code_page)).Arg(Hex(flags)).Arg(std::to_string(source_bytes))
      .Arg(std::to_string(destination_units));
  const CallFailure<int> fail(trace, 0, "0");
  if (auto fault = process.TakeFault("MultiByteToWideChar")) return fail(*fault);
  if (const DWORD error = CheckArguments(code_page, flags, MB_ERR_INVALID_CHARS, source, source_bytes, destination,
                                         destination_units)) {
    return fail(error);
  }
  // With -1 the terminator is part of the input and so of the output.
  const size_t size = source_bytes == -1 ? std::char_traits<char>::length(source) + 1 : static_cast<size_t>(source_bytes);
  const Conversion converted = FromUtf8(source, size);
  if (converted.invalid && (flags & MB_ERR_INVALID_CHARS) != 0) return fail(ERROR_NO_UNICODE_TRANSLATION);
  const int needed = static_cast<int>(converted.utf16.size());
  if (destination_units == 0) {
    trace.Result(Decimal(needed) + " (size)");
    return needed;
  }
  if (needed > destination_units) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(converted.utf16.begin(), converted.utf16.end(), destination);
  trace.Result(Decimal(needed));
  return needed;
}

extern "C" int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_units, char* destination,
                                   int destination_bytes, const char* default_char, BOOL* used_default_char) {
  Process& process = CurrentProcess();
  TraceLine trace("WideCharToMultiByte");
  trace.Arg(Decimal(code_page)).Arg(Hex(flags)).Arg(std::to_string(source_units))
      .Arg(std::to_string(destination_bytes));
  const CallFailure<int> fail(trace, 0, "0");
  if (auto fault = process.TakeFault("WideCharToMultiByte")) return fail(*fault);
  if (const DWORD error = CheckArguments(code_page, flags, WC_ERR_INVALID_CHARS, source, source_units, destination,
                                         destination_bytes)) {
    return fail(error);
  }
  // UTF-8 has no default character.
  if (default_char != nullptr || used_default_char != nullptr) return fail(ERROR_INVALID_PARAMETER);
  const size_t size = source_units == -1 ? std::char_traits<char16_t>::length(source) + 1 : static_cast<size_t>(source_units);
  const Conversion converted = FromUtf16(source, size);
  if (converted.invalid && (flags & WC_ERR_INVALID_CHARS) != 0) return fail(ERROR_NO_UNICODE_TRANSLATION);
  const int needed = static_cast<int>(converted.utf8.size());
  if (destination_bytes == 0) {
    trace.Result(Decimal(needed) + " (size)");
    return needed;
  }
  if (needed > destination_bytes) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(converted.utf8.begin(), converted.utf8.end(), destination);
  trace.Result(Decimal(needed));
  return needed;
}
