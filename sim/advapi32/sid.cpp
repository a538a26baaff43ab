#include "sim/advapi32/sid.h"

#include <cstdio>

#include "sim/core/text.h"

namespace sim {

namespace {

struct Alias {
  const char16_t* name;
  const char16_t* sid;
};

// The SDDL aliases of well-known SIDs that do not depend on a domain.
constexpr Alias kAliases[] = {
    {u"WD", u"S-1-1-0"},       {u"CO", u"S-1-3-0"},       {u"CG", u"S-1-3-1"},
    {u"OW", u"S-1-3-4"},       {u"NU", u"S-1-5-2"},       {u"IU", u"S-1-5-4"},
    {u"SU", u"S-1-5-6"},       {u"AN", u"S-1-5-7"},       {u"PS", u"S-1-5-10"},
    {u"AU", u"S-1-5-11"},      {u"RC", u"S-1-5-12"},      {u"SY", u"S-1-5-18"},
    {u"LS", u"S-1-5-19"},      {u"NS", u"S-1-5-20"},      {u"BA", u"S-1-5-32-544"},
    {u"BU", u"S-1-5-32-545"},  {u"BG", u"S-1-5-32-546"},  {u"PU", u"S-1-5-32-547"},
    {u"BO", u"S-1-5-32-551"},
};

// A run of decimal digits (or "0x" and hex digits when `hex_allowed`) up to `limit`.
std::optional<uint64_t> ParseNumber(std::u16string_view text, uint64_t limit, bool hex_allowed) {
  if (text.empty()) return std::nullopt;
  unsigned base = 10;
  if (hex_allowed && text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  for (char16_t unit : text) {
    unsigned digit;
    if (unit >= u'0' && unit <= u'9') {
      digit = unit - u'0';
    } else if (base == 16 && unit >= u'a' && unit <= u'f') {
      digit = unit - u'a' + 10;
    } else if (base == 16 && unit >= u'A' && unit <= u'F') {
      digit = unit - u'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (limit - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

}  // namespace

std::optional<Sid> ParseSidText(std::u16string_view text, size_t max_sub) {
  if (text.size() < 2 || (text[0] != u'S' && text[0] != u's') || text[1] != u'-') return std::nullopt;
  std::vector<std::u16string_view> parts;
  size_t start = 2;
  while (true) {
    const size_t dash = text.find(u'-', start);
    parts.push_back(text.substr(start, dash == std::u16string_view::npos ? dash : dash - start));
    if (dash == std::u16string_view::npos) break;
    start = dash + 1;
  }
  if (parts.size() < 2 || parts.size() - 2 > max_sub) return std::nullopt;
  const auto revision = ParseNumber(parts[0], 255, false);
  const auto authority = ParseNumber(parts[1], 0xFFFFFFFFFFFFull, true);
  if (!revision || *revision != 1 || !authority) return std::nullopt;
  Sid sid;
  sid.authority = *authority;
  for (size_t i = 2; i < parts.size(); ++i) {
    const auto sub = ParseNumber(parts[i], 0xFFFFFFFFull, false);
    if (!sub) return std::nullopt;
    sid.sub_authorities.push_back(static_cast<uint32_t>(*sub));
  }
  return sid;
}

std::u16string SidText(const Sid& sid) {
  std::string text = "S-" + std::to_string(sid.revision) + "-";
  if (sid.authority >= (1ull << 32)) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "0x%012llX", static_cast<unsigned long long>(sid.authority));
    text += hex;
  } else {
    text += std::to_string(sid.authority);
  }
  for (uint32_t sub : sid.sub_authorities) text += "-" + std::to_string(sub);
  return ToUtf16(text);
}

std::vector<BYTE> SidBytes(const Sid& sid) {
  std::vector<BYTE> bytes = {sid.revision, static_cast<BYTE>(sid.sub_authorities.size())};
  for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<BYTE>(sid.authority >> shift));
  for (uint32_t sub : sid.sub_authorities) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(sub >> shift));
  }
  return bytes;
}

std::optional<Sid> SidFromBytes(const BYTE* bytes) {
  if (bytes == nullptr || bytes[0] != 1) return std::nullopt;
  Sid sid;
  sid.revision = bytes[0];
  for (int i = 0; i < 6; ++i) sid.authority = sid.authority << 8 | bytes[2 + i];
  for (size_t i = 0; i < bytes[1]; ++i) {
    const BYTE* sub = bytes + 8 + 4 * i;
    sid.sub_authorities.push_back(static_cast<uint32_t>(sub[0]) | static_cast<uint32_t>(sub[1]) << 8 |
                                  static_cast<uint32_t>(sub[2]) << 16 | static_cast<uint32_t>(sub[3]) << 24);
  }
  return sid;
}

std::optional<Sid> SidFromAlias(std::u16string_view alias) {
  for (const Alias& entry : kAliases) {
    if (alias == entry.name) return ParseSidText(entry.sid);
  }
  return std::nullopt;
}

std::string SddlSidText(const Sid& sid) {
  for (const Alias& entry : kAliases) {
    if (ParseSidText(entry.sid) == sid) return ToUtf8(entry.name);
  }
  return ToUtf8(SidText(sid));
}

Sid AdministratorsSid() { return *ParseSidText(u"S-1-5-32-544"); }
Sid LocalSystemSid() { return *ParseSidText(u"S-1-5-18"); }

}  // namespace sim
