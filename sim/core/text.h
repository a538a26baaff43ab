// UTF-16 and UTF-8 at the simulation's edges: Windows text inside, Linux text outside.
#pragma once
#include <string>
#include <string_view>

#include "platform/types.h"

namespace sim {

// Unpaired surrogates and ill-formed UTF-8 sequences become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

// One code point at a time, for conversions that must also tell whether the input was
// valid. An ill-formed UTF-8 sequence decodes as U+FFFD over its longest valid prefix (at
// least one byte), the Unicode practice; an unpaired surrogate decodes as U+FFFD.
// `*length` receives the units used; `*invalid` is set when U+FFFD replaced input.
char32_t DecodeUtf8At(std::string_view text, size_t i, size_t* length, bool* invalid);
char32_t DecodeUtf16At(std::u16string_view text, size_t i, size_t* length, bool* invalid);
void AppendUtf8(std::string& out, char32_t code_point);
void AppendUtf16(std::u16string& out, char32_t code_point);

// The terminated text behind a Windows string pointer; null reads as empty.
std::u16string_view View(LPCWSTR text);

// Windows' case-insensitive comparison of names (NTFS and registry): simple upper-casing
// of each unit, enough for the names this machine holds.
char16_t UpcaseUnit(char16_t unit);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim
