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
#include "sim/core/process.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

struct Conversion {
  std::u16string utf16;
  std::string utf8;
  bool invalid = false;  // some input was replaced by U+FFFD
};

// Decodes one sequence at `i`: the code point, or U+FFFD for the longest prefix of a
// valid sequence (at least one byte), with `*length` bytes used.
char32_t DecodeUtf8(const unsigned char* s, size_t size, size_t i, size_t* length, bool* invalid) {
  const unsigned char lead = s[i];
  *length = 1;
  if (lead < 0x80) return lead;
  size_t needed;
  char32_t c;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2, c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3, c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *invalid = true;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= needed; ++k) {
    const bool in_range = i + k < size && s[i + k] >= (k == 1 ? low : 0x80) && s[i + k] <= (k == 1 ? high : 0xBF);
    if (!in_range) {
      *invalid = true;
      return 0xFFFD;
    }
    c = (c << 6) | (s[i + k] & 0x3F);
    *length = k + 1;
  }
  return c;
}

Conversion FromUtf8(const char* source, size_t size) {
  Conversion result;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  for (size_t i = 0, length = 0; i < size; i += length) {
    const char32_t c = DecodeUtf8(bytes, size, i, &length, &result.invalid);
    if (c >= 0x10000) {
      result.utf16 += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      result.utf16 += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      result.utf16 += static_cast<char16_t>(c);
    }
  }
  return result;
}

Conversion FromUtf16(LPCWSTR source, size_t size) {
  Conversion result;
  for (size_t i = 0; i < size; ++i) {
    char32_t c = source[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && source[i + 1] >= 0xDC00 && source[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (source[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
      result.invalid = true;
    }
    std::string& out = result.utf8;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return result;
}

int Fail(TraceLine& trace, DWORD error) {
  SetLastErrorValue(error);
  trace.Result("0", error);
  return 0;
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
  if (auto fault = process.TakeFault("MultiByteToWideChar")) return Fail(trace, *fault);
  if (const DWORD error = CheckArguments(code_page, flags, MB_ERR_INVALID_CHARS, source, source_bytes, destination,
                                         destination_units)) {
    return Fail(trace, error);
  }
  // With -1 the terminator is part of the input and so of the output.
  const size_t size = source_bytes == -1 ? std::char_traits<char>::length(source) + 1 : static_cast<size_t>(source_bytes);
  const Conversion converted = FromUtf8(source, size);
  if (converted.invalid && (flags & MB_ERR_INVALID_CHARS) != 0) return Fail(trace, ERROR_NO_UNICODE_TRANSLATION);
  const int needed = static_cast<int>(converted.utf16.size());
  if (destination_units == 0) {
    trace.Result(Decimal(needed) + " (size)");
    return needed;
  }
  if (needed > destination_units) return Fail(trace, ERROR_INSUFFICIENT_BUFFER);
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
  if (auto fault = process.TakeFault("WideCharToMultiByte")) return Fail(trace, *fault);
  if (const DWORD error = CheckArguments(code_page, flags, WC_ERR_INVALID_CHARS, source, source_units, destination,
                                         destination_bytes)) {
    return Fail(trace, error);
  }
  // UTF-8 has no default character.
  if (default_char != nullptr || used_default_char != nullptr) return Fail(trace, ERROR_INVALID_PARAMETER);
  const size_t size = source_units == -1 ? std::char_traits<char16_t>::length(source) + 1 : static_cast<size_t>(source_units);
  const Conversion converted = FromUtf16(source, size);
  if (converted.invalid && (flags & WC_ERR_INVALID_CHARS) != 0) return Fail(trace, ERROR_NO_UNICODE_TRANSLATION);
  const int needed = static_cast<int>(converted.utf8.size());
  if (destination_bytes == 0) {
    trace.Result(Decimal(needed) + " (size)");
    return needed;
  }
  if (needed > destination_bytes) return Fail(trace, ERROR_INSUFFICIENT_BUFFER);
  std::copy(converted.utf8.begin(), converted.utf8.end(), destination);
  trace.Result(Decimal(needed));
  return needed;
}
