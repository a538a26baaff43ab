// Text that the freestanding stand-ins write and read: a bounded byte buffer for the
// record (UTF-8, control units, DEL and '%' written as %XX, as standin_record.h reads it),
// numbers, and the value of a quoted switch on a command line.
#pragma once
#include "platform/types.h"

namespace freestanding_standins {

// Bytes appended in order; an append that does not fit marks the text as overflowed
// instead of cutting it short, and the writer then writes nothing.
class RecordText {
 public:
  void Append(const char* text);
  void AppendHex32(DWORD value);  // "0x" and eight upper-case digits
  void AppendDecimal(DWORD value);
  // UTF-16 as UTF-8 with %XX escapes; a lone surrogate becomes U+FFFD.
  void AppendEncoded(const char16_t* text, SIZE_T units);
  const char* bytes() const { return bytes_; }
  DWORD size() const { return size_; }
  bool overflowed() const { return overflowed_; }

 private:
  void AppendByte(BYTE byte);
  void AppendEscapedByte(BYTE byte);
  static constexpr DWORD kCapacity = 96 * 1024;
  char bytes_[kCapacity] = {};
  DWORD size_ = 0;
  bool overflowed_ = false;
};

SIZE_T Length(const char16_t* text);

// A decimal or "0x" hexadecimal number filling all of `text`; false for anything else.
bool ParseNumber(const char16_t* text, DWORD* value);

// The value of the first `--name="value"` on `command_line` (name without dashes), copied
// into `value` with its terminator; false when absent, unterminated or longer than capacity.
bool QuotedSwitchValue(const char16_t* command_line, const char16_t* name, char16_t* value, SIZE_T capacity);

}  // namespace freestanding_standins
