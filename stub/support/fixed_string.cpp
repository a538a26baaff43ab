#include "stub/support/fixed_string.h"

namespace {

WCHAR FoldAscii(WCHAR unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<WCHAR>(unit | 0x20) : unit;
}

// Whether `needle` matches `text` from its start; the end of the text fails the match
// at its terminator, so nothing past it is read.
bool MatchesAt(LPCWSTR text, LPCWSTR needle) {
  for (Count k = 0; needle[k] != 0; ++k) {
    if (FoldAscii(text[k]) != FoldAscii(needle[k])) return false;
  }
  return true;
}

}  // namespace

Count Length(LPCWSTR text, Count capacity) {
  if (text == nullptr || capacity < 2) return 0;
  for (Count i = 0; i + 1 < capacity; ++i) {
    if (text[i] == 0) return i;
  }
  return capacity - 1;
}

bool Assign(LPWSTR destination, Count capacity, LPCWSTR source) {
  if (destination == nullptr || capacity == 0) return false;
  for (Count i = 0; i < capacity; ++i) {
    destination[i] = source[i];
    if (destination[i] == 0) return true;
  }
  destination[0] = 0;
  return false;
}

bool Append(LPWSTR destination, Count capacity, LPCWSTR source) {
  const Count length = Length(destination, capacity);
  if (destination == nullptr || capacity == 0) return false;
  for (Count i = 0; length + i < capacity; ++i) {
    destination[length + i] = source[i];
    if (source[i] == 0) return true;
  }
  destination[length] = 0;
  return false;
}

bool StartsWithNoCase(LPCWSTR text, LPCWSTR prefix) {
  if (text == nullptr || prefix == nullptr) return false;
  return MatchesAt(text, prefix);
}

LPCWSTR FindNoCase(LPCWSTR text, LPCWSTR needle) {
  if (needle == nullptr || needle[0] == 0) return text;
  for (LPCWSTR start = text; *start != 0; ++start) {
    if (MatchesAt(start, needle)) return start;
  }
  return nullptr;
}

LPCWSTR FileNamePosition(LPCWSTR path, Count count) {
  for (Count i = count; i > 0; --i) {
    if (path[i - 1] == u'\\') return path + i;
  }
  return path;
}

bool HexEncode(const BYTE* bytes, Count count, LPWSTR destination, Count capacity) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  if (capacity <= 2 * count) return false;
  destination[2 * count] = 0;
  for (Count i = 0; i < count; ++i) {
    destination[2 * i] = kDigits[bytes[i] >> 4];
    destination[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return true;
}

void* FillBytes(void* destination, int value, Count count) {
  auto* bytes = static_cast<volatile BYTE*>(destination);
  for (Count i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(value);
  return destination;
}
