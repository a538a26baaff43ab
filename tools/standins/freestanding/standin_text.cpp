#include "tools/standins/freestanding/standin_text.h"

namespace freestanding_standins {

void RecordText::AppendByte(BYTE byte) {
  if (size_ == kCapacity) {
    overflowed_ = true;
    return;
  }
  bytes_[size_++] = static_cast<char>(byte);
}

void RecordText::AppendEscapedByte(BYTE byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  if (byte >= 0x20 && byte != 0x7F && byte != '%') {
    AppendByte(byte);
    return;
  }
  AppendByte('%');
  AppendByte(static_cast<BYTE>(kDigits[byte >> 4]));
  AppendByte(static_cast<BYTE>(kDigits[byte & 0xF]));
}

void RecordText::Append(const char* text) {
  for (; *text != '\0'; ++text) AppendByte(static_cast<BYTE>(*text));
}

void RecordText::AppendHex32(DWORD value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  Append("0x");
  for (int shift = 28; shift >= 0; shift -= 4) AppendByte(static_cast<BYTE>(kDigits[(value >> shift) & 0xF]));
}

void RecordText::AppendDecimal(DWORD value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) AppendByte(static_cast<BYTE>(digits[--count]));
}

void RecordText::AppendEncoded(const char16_t* text, SIZE_T units) {
  for (SIZE_T i = 0; i < units; ++i) {
    DWORD code = text[i];
    const bool high = code >= 0xD800 && code <= 0xDBFF;
    const bool low = code >= 0xDC00 && code <= 0xDFFF;
    if (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (high || low) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      AppendEscapedByte(static_cast<BYTE>(code));
    } else if (code < 0x800) {
      AppendByte(static_cast<BYTE>(0xC0 | code >> 6));
      AppendByte(static_cast<BYTE>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      AppendByte(static_cast<BYTE>(0xE0 | code >> 12));
      AppendByte(static_cast<BYTE>(0x80 | ((code >> 6) & 0x3F)));
      AppendByte(static_cast<BYTE>(0x80 | (code & 0x3F)));
    } else {
      AppendByte(static_cast<BYTE>(0xF0 | code >> 18));
      AppendByte(static_cast<BYTE>(0x80 | ((code >> 12) & 0x3F)));
      AppendByte(static_cast<BYTE>(0x80 | ((code >> 6) & 0x3F)));
      AppendByte(static_cast<BYTE>(0x80 | (code & 0x3F)));
    }
  }
}

SIZE_T Length(const char16_t* text) {
  SIZE_T length = 0;
  while (text[length] != u'\0') ++length;
  return length;
}

bool ParseNumber(const char16_t* text, DWORD* value) {
  DWORD base = 10;
  if (text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text += 2;
  }
  if (*text == u'\0') return false;
  unsigned long long number = 0;
  for (; *text != u'\0'; ++text) {
    DWORD digit = 0;
    if (*text >= u'0' && *text <= u'9') {
      digit = static_cast<DWORD>(*text - u'0');
    } else if (base == 16 && *text >= u'a' && *text <= u'f') {
      digit = static_cast<DWORD>(*text - u'a' + 10);
    } else if (base == 16 && *text >= u'A' && *text <= u'F') {
      digit = static_cast<DWORD>(*text - u'A' + 10);
    } else {
      return false;
    }
    if (digit >= base) return false;
    number = number * base + digit;
    if (number > 0xFFFFFFFFull) return false;
  }
  *value = static_cast<DWORD>(number);
  return true;
}

namespace {

bool StartsWith(const char16_t* text, const char16_t* prefix) {
  for (; *prefix != u'\0'; ++text, ++prefix) {
    if (*text != *prefix) return false;
  }
  return true;
}

}  // namespace

bool QuotedSwitchValue(const char16_t* command_line, const char16_t* name, char16_t* value, SIZE_T capacity) {
  for (const char16_t* at = command_line; *at != u'\0'; ++at) {
    if (at[0] != u'-' || at[1] != u'-' || !StartsWith(at + 2, name)) continue;
    const char16_t* rest = at + 2 + Length(name);
    if (rest[0] != u'=' || rest[1] != u'"') continue;
    rest += 2;
    SIZE_T length = 0;
    while (rest[length] != u'\0' && rest[length] != u'"') ++length;
    if (rest[length] != u'"' || length + 1 > capacity) return false;
    for (SIZE_T i = 0; i < length; ++i) value[i] = rest[i];
    value[length] = u'\0';
    return true;
  }
  return false;
}

}  // namespace freestanding_standins
