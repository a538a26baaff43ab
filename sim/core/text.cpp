#include "sim/core/text.h"

#include <cwctype>

namespace sim {

char32_t DecodeUtf8At(std::string_view text, size_t i, size_t* length, bool* invalid) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  *length = 1;
  if (lead < 0x80) return lead;
  size_t needed;
  char32_t c;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2, c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3, c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    *invalid = true;
    return 0xFFFD;
  }
  for (size_t k = 1; k <= needed; ++k) {
    const bool in_range = i + k < text.size() && byte(k) >= (k == 1 ? low : 0x80) && byte(k) <= (k == 1 ? high : 0xBF);
    if (!in_range) {
      *invalid = true;
      return 0xFFFD;
    }
    c = (c << 6) | (byte(k) & 0x3F);
    *length = k + 1;
  }
  return c;
}

char32_t DecodeUtf16At(std::u16string_view text, size_t i, size_t* length, bool* invalid) {
  const char32_t c = text[i];
  *length = 1;
  if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
    *length = 2;
    return 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
  }
  if (c >= 0xD800 && c <= 0xDFFF) {
    *invalid = true;
    return 0xFFFD;
  }
  return c;
}

void AppendUtf8(std::string& out, char32_t c) {
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

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c >= 0x10000) {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<char16_t>(c);
  }
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  bool invalid = false;
  for (size_t i = 0, length = 0; i < text.size(); i += length) AppendUtf8(out, DecodeUtf16At(text, i, &length, &invalid));
  return out;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  bool invalid = false;
  for (size_t i = 0, length = 0; i < text.size(); i += length) AppendUtf16(out, DecodeUtf8At(text, i, &length, &invalid));
  return out;
}

std::u16string_view View(LPCWSTR text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

char16_t UpcaseUnit(char16_t unit) {
  if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? unit - 0x20 : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  return static_cast<char16_t>(std::towupper(static_cast<wint_t>(unit)));
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpcaseUnit(a[i]) != UpcaseUnit(b[i])) return false;
  }
  return true;
}

}  // namespace sim
