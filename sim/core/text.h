// UTF-16 and UTF-8 at the simulation's edges: Windows text inside, Linux text outside.
#pragma once
#include <string>
#include <string_view>

#include "platform/types.h"

namespace sim {

// Unpaired surrogates become U+FFFD; invalid UTF-8 bytes become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view text);

// The terminated text behind a Windows string pointer; null reads as empty.
std::u16string_view View(LPCWSTR text);

// Windows' case-insensitive comparison of names (NTFS and registry): simple upper-casing
// of each unit, enough for the names this machine holds.
char16_t UpcaseUnit(char16_t unit);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace sim
