#include "sim/advapi32/security_descriptor.h"

#include <algorithm>
#include <cstdio>

#include "platform/errors.h"
#include "sim/core/text.h"

namespace sim {

namespace {

struct Code {
  const char16_t* name;
  DWORD value;
};

constexpr Code kAceTypes[] = {
    {u"A", kAccessAllowed}, {u"D", kAccessDenied},   {u"AU", kSystemAudit},
    {u"AL", kSystemAlarm},  {u"ML", kMandatoryLabel},
};
// Object entries carry GUIDs; with neither GUID given they are the plain entries.
constexpr Code kObjectAceTypes[] = {{u"OA", kAccessAllowed}, {u"OD", kAccessDenied}, {u"OU", kSystemAudit}};

constexpr Code kAceFlags[] = {
    {u"OI", kObjectInherit}, {u"CI", kContainerInherit}, {u"NP", kNoPropagateInherit},
    {u"IO", kInheritOnly},   {u"ID", kInherited},        {u"SA", 0x40},
    {u"FA", 0x80},
};

// Codes that stand for a whole mask; checked before the single-bit codes.
constexpr Code kCombinedRights[] = {
    {u"FA", kFileAllAccess}, {u"FR", 0x00120089}, {u"FW", 0x00120116}, {u"FX", 0x001200A0},
    {u"KA", 0x000F003F},     {u"KR", 0x00020019}, {u"KW", 0x00020006}, {u"KX", 0x00020019},
};
constexpr Code kSingleRights[] = {
    {u"GA", 0x10000000}, {u"GR", 0x80000000}, {u"GW", 0x40000000}, {u"GX", 0x20000000},
    {u"SD", 0x00010000}, {u"RC", 0x00020000}, {u"WD", 0x00040000}, {u"WO", 0x00080000},
    {u"CC", 0x00000001}, {u"DC", 0x00000002}, {u"LC", 0x00000004}, {u"SW", 0x00000008},
    {u"RP", 0x00000010}, {u"WP", 0x00000020}, {u"DT", 0x00000040}, {u"LO", 0x00000080},
    {u"CR", 0x00000100},
};

template <size_t N>
std::optional<DWORD> Lookup(const Code (&codes)[N], std::u16string_view name) {
  for (const Code& code : codes) {
    if (name == code.name) return code.value;
  }
  return std::nullopt;
}

// Concatenated two-letter codes ("OIIOCI"), or nullopt when one is unknown.
template <size_t N>
std::optional<DWORD> CodeSet(const Code (&codes)[N], std::u16string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  DWORD value = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto code = Lookup(codes, text.substr(i, 2));
    if (!code) return std::nullopt;
    value |= *code;
  }
  return value;
}

// "0x" hex, "0" octal or decimal, as a 32-bit mask.
std::optional<DWORD> NumericRights(std::u16string_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == u'0') {
    base = 8;
    text.remove_prefix(1);
  }
  unsigned long long value = 0;
  for (char16_t unit : text) {
    int digit = -1;
    if (unit >= u'0' && unit <= u'9') digit = unit - u'0';
    if (unit >= u'a' && unit <= u'f') digit = unit - u'a' + 10;
    if (unit >= u'A' && unit <= u'F') digit = unit - u'A' + 10;
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
    value = value * base + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<DWORD>(value);
}

std::optional<DWORD> ParseRights(std::u16string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] >= u'0' && text[0] <= u'9') return NumericRights(text);
  if (text.size() % 2 != 0) return std::nullopt;
  DWORD mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::u16string_view code = text.substr(i, 2);
    auto value = Lookup(kCombinedRights, code);
    if (!value) value = Lookup(kSingleRights, code);
    if (!value) return std::nullopt;
    mask |= *value;
  }
  return mask;
}

// A trustee: a two-letter alias, or an "S-1-..." literal. An unknown alias is an account
// that cannot be found (ERROR_NONE_MAPPED); a malformed literal is not a SID.
DWORD ParseTrustee(std::u16string_view text, Sid& sid) {
  if (text.size() >= 2 && (text[0] == u'S' || text[0] == u's') && text[1] == u'-') {
    auto parsed = ParseSidText(text);
    if (!parsed) return ERROR_INVALID_SID;
    sid = *parsed;
    return 0;
  }
  if (text.empty()) return ERROR_INVALID_PARAMETER;
  auto alias = SidFromAlias(text);
  if (!alias) return ERROR_NONE_MAPPED;
  sid = *alias;
  return 0;
}

std::vector<std::u16string_view> SplitFields(std::u16string_view text) {
  std::vector<std::u16string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t semicolon = text.find(u';', start);
    fields.push_back(text.substr(start, semicolon == std::u16string_view::npos ? semicolon : semicolon - start));
    if (semicolon == std::u16string_view::npos) return fields;
    start = semicolon + 1;
  }
}

// "(type;flags;rights;object guid;inherited object guid;trustee)".
DWORD ParseAce(std::u16string_view body, bool in_dacl, Ace& ace) {
  const auto fields = SplitFields(body);
  if (fields.size() != 6) return ERROR_INVALID_PARAMETER;
  auto type = Lookup(kAceTypes, fields[0]);
  if (!type) {
    type = Lookup(kObjectAceTypes, fields[0]);
    // Entries for particular object types (GUIDs given) are not simulated.
    if (type && (!fields[3].empty() || !fields[4].empty())) return ERROR_NOT_SUPPORTED;
  }
  if (!type) return ERROR_INVALID_PARAMETER;
  // Allow and deny entries belong in the DACL, audit, alarm and label entries in the SACL.
  const bool access_entry = *type == kAccessAllowed || *type == kAccessDenied;
  if (access_entry != in_dacl) return ERROR_INVALID_PARAMETER;
  if (!fields[3].empty() || !fields[4].empty()) return ERROR_INVALID_PARAMETER;
  const auto flags = CodeSet(kAceFlags, fields[1]);
  const auto rights = ParseRights(fields[2]);
  if (!flags || !rights) return ERROR_INVALID_PARAMETER;
  ace.type = static_cast<BYTE>(*type);
  ace.flags = static_cast<BYTE>(*flags);
  ace.mask = *rights;
  return ParseTrustee(fields[5], ace.sid);
}

bool IsSectionStart(std::u16string_view text, size_t i) {
  return i + 1 < text.size() && text[i + 1] == u':' &&
         (text[i] == u'O' || text[i] == u'G' || text[i] == u'D' || text[i] == u'S');
}

// Where the section that starts at `from` ends: at the next "X:" outside parentheses.
size_t SectionEnd(std::u16string_view text, size_t from) {
  int depth = 0;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == u'(') ++depth;
    if (text[i] == u')') --depth;
    if (depth == 0 && IsSectionStart(text, i)) return i;
  }
  return text.size();
}

// "P", "AI", "AR" or "NO_ACCESS_CONTROL", then the entries. Sets the list's control bits.
DWORD ParseAcl(std::u16string_view body, bool is_dacl, SecurityDescriptor& descriptor) {
  WORD& control = descriptor.control;
  std::optional<std::vector<Ace>>& list = is_dacl ? descriptor.dacl : descriptor.sacl;
  control |= is_dacl ? kDaclPresent : kSaclPresent;
  bool null_list = false;
  size_t i = 0;
  while (i < body.size() && body[i] != u'(') {
    const std::u16string_view rest = body.substr(i);
    if (rest.substr(0, 17) == u"NO_ACCESS_CONTROL") {
      null_list = true;
      i += 17;
    } else if (rest.substr(0, 2) == u"AI") {
      control |= is_dacl ? kDaclAutoInherited : kSaclAutoInherited;
      i += 2;
    } else if (rest.substr(0, 2) == u"AR") {
      control |= is_dacl ? kDaclAutoInheritRequired : kSaclAutoInheritRequired;
      i += 2;
    } else if (rest[0] == u'P') {
      control |= is_dacl ? kDaclProtected : kSaclProtected;
      i += 1;
    } else {
      return ERROR_INVALID_PARAMETER;
    }
  }
  std::vector<Ace> aces;
  while (i < body.size()) {
    if (body[i] != u'(') return ERROR_INVALID_PARAMETER;
    const size_t close = body.find(u')', i);
    if (close == std::u16string_view::npos) return ERROR_INVALID_PARAMETER;
    Ace ace;
    if (DWORD error = ParseAce(body.substr(i + 1, close - i - 1), is_dacl, ace)) return error;
    aces.push_back(ace);
    i = close + 1;
  }
  if (null_list && !aces.empty()) return ERROR_INVALID_PARAMETER;
  if (!null_list) list = std::move(aces);
  return 0;
}

// --- binary form ----------------------------------------------------------------------

void PutWord(std::vector<BYTE>& out, size_t at, WORD value) {
  out[at] = static_cast<BYTE>(value);
  out[at + 1] = static_cast<BYTE>(value >> 8);
}
void PutDword(std::vector<BYTE>& out, size_t at, DWORD value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(value >> (8 * i));
}
WORD GetWord(const BYTE* at) { return static_cast<WORD>(at[0] | at[1] << 8); }
DWORD GetDword(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 | static_cast<DWORD>(at[2]) << 16 |
         static_cast<DWORD>(at[3]) << 24;
}

constexpr BYTE kAclRevision = 2;
constexpr BYTE kAclRevisionObjects = 4;
constexpr size_t kHeaderSize = 20;

void AppendAcl(std::vector<BYTE>& out, const std::vector<Ace>& aces) {
  const size_t start = out.size();
  out.resize(start + 8, 0);
  for (const Ace& ace : aces) {
    const std::vector<BYTE> sid = SidBytes(ace.sid);
    const size_t at = out.size();
    out.resize(at + 8, 0);
    out[at] = ace.type;
    out[at + 1] = ace.flags;
    PutWord(out, at + 2, static_cast<WORD>(8 + sid.size()));
    PutDword(out, at + 4, ace.mask);
    out.insert(out.end(), sid.begin(), sid.end());
  }
  out[start] = kAclRevision;
  PutWord(out, start + 2, static_cast<WORD>(out.size() - start));
  PutWord(out, start + 4, static_cast<WORD>(aces.size()));
}

std::optional<std::vector<Ace>> ReadAcl(const BYTE* acl) {
  if (acl[0] != kAclRevision && acl[0] != kAclRevisionObjects) return std::nullopt;
  const WORD size = GetWord(acl + 2);
  const WORD count = GetWord(acl + 4);
  std::vector<Ace> aces;
  size_t at = 8;
  for (WORD i = 0; i < count; ++i) {
    if (at + 8 > size) return std::nullopt;
    const BYTE* entry = acl + at;
    const WORD entry_size = GetWord(entry + 2);
    const auto type = entry[0];
    if (type != kAccessAllowed && type != kAccessDenied && type != kSystemAudit && type != kSystemAlarm &&
        type != kMandatoryLabel) {
      return std::nullopt;
    }
    if (entry_size < 16 || entry_size % 4 != 0 || at + entry_size > size) return std::nullopt;
    auto sid = SidFromBytes(entry + 8);
    if (!sid || 8 + sid->ByteLength() > entry_size) return std::nullopt;
    aces.push_back({type, entry[1], GetDword(entry + 4), *sid});
    at += entry_size;
  }
  return aces;
}

std::string RenderCodes(const Code* codes, size_t count, DWORD bits) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if ((bits & codes[i].value) != 0) text += ToUtf8(codes[i].name);
  }
  return text;
}

std::string RenderRights(DWORD mask) {
  for (const Code& code : kCombinedRights) {
    if (mask == code.value) return ToUtf8(code.name);
  }
  DWORD covered = 0;
  for (const Code& code : kSingleRights) covered |= mask & code.value;
  if (mask != 0 && covered == mask) return RenderCodes(kSingleRights, std::size(kSingleRights), mask);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", mask);
  return hex;
}

std::string RenderAcl(const std::optional<std::vector<Ace>>& aces, WORD control, bool is_dacl) {
  std::string text = is_dacl ? "D:" : "S:";
  if (control & (is_dacl ? kDaclProtected : kSaclProtected)) text += "P";
  if (control & (is_dacl ? kDaclAutoInheritRequired : kSaclAutoInheritRequired)) text += "AR";
  if (control & (is_dacl ? kDaclAutoInherited : kSaclAutoInherited)) text += "AI";
  if (!aces) return text + "NO_ACCESS_CONTROL";
  for (const Ace& ace : *aces) {
    std::string type;
    for (const Code& code : kAceTypes) {
      if (code.value == ace.type) type = ToUtf8(code.name);
    }
    text += "(" + type + ";" + RenderCodes(kAceFlags, std::size(kAceFlags), ace.flags) + ";" +
            RenderRights(ace.mask) + ";;;" + SddlSidText(ace.sid) + ")";
  }
  return text;
}

bool Contains(const std::vector<Sid>& sids, const Sid& sid) {
  return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

}  // namespace

SddlResult ParseSddl(std::u16string_view text) {
  SecurityDescriptor descriptor;
  bool seen[4] = {false, false, false, false};
  size_t i = 0;
  while (i < text.size()) {
    if (!IsSectionStart(text, i)) return {std::nullopt, ERROR_INVALID_PARAMETER};
    const char16_t section = text[i];
    const size_t end = SectionEnd(text, i + 2);
    const std::u16string_view body = text.substr(i + 2, end - i - 2);
    const int index = section == u'O' ? 0 : section == u'G' ? 1 : section == u'D' ? 2 : 3;
    if (seen[index]) return {std::nullopt, ERROR_INVALID_PARAMETER};
    seen[index] = true;
    DWORD error = 0;
    if (section == u'O' || section == u'G') {
      Sid sid;
      error = ParseTrustee(body, sid);
      (section == u'O' ? descriptor.owner : descriptor.group) = sid;
    } else {
      error = ParseAcl(body, section == u'D', descriptor);
    }
    if (error != 0) return {std::nullopt, error};
    i = end;
  }
  return {descriptor, 0};
}

std::string ToSddl(const SecurityDescriptor& descriptor) {
  std::string text;
  if (descriptor.owner) text += "O:" + SddlSidText(*descriptor.owner);
  if (descriptor.group) text += "G:" + SddlSidText(*descriptor.group);
  if (descriptor.control & kDaclPresent) text += RenderAcl(descriptor.dacl, descriptor.control, true);
  if (descriptor.control & kSaclPresent) text += RenderAcl(descriptor.sacl, descriptor.control, false);
  return text;
}

// Layout after the 20-byte header: owner, group, SACL, DACL, each where its offset says.
// Windows does not document an order; any is valid.
std::vector<BYTE> ToSelfRelative(const SecurityDescriptor& descriptor) {
  std::vector<BYTE> out(kHeaderSize, 0);
  out[0] = 1;
  PutWord(out, 2, static_cast<WORD>(descriptor.control | kSelfRelative));
  auto place = [&](size_t offset_field, const std::vector<BYTE>& bytes) {
    PutDword(out, offset_field, static_cast<DWORD>(out.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  if (descriptor.owner) place(4, SidBytes(*descriptor.owner));
  if (descriptor.group) place(8, SidBytes(*descriptor.group));
  if ((descriptor.control & kSaclPresent) && descriptor.sacl) {
    PutDword(out, 12, static_cast<DWORD>(out.size()));
    AppendAcl(out, *descriptor.sacl);
  }
  if ((descriptor.control & kDaclPresent) && descriptor.dacl) {
    PutDword(out, 16, static_cast<DWORD>(out.size()));
    AppendAcl(out, *descriptor.dacl);
  }
  return out;
}

std::optional<SecurityDescriptor> FromSelfRelative(const BYTE* bytes) {
  if (bytes == nullptr || bytes[0] != 1) return std::nullopt;
  const WORD control = GetWord(bytes + 2);
  if ((control & kSelfRelative) == 0) return std::nullopt;
  SecurityDescriptor descriptor;
  descriptor.control = static_cast<WORD>(control & ~kSelfRelative);
  const DWORD offsets[4] = {GetDword(bytes + 4), GetDword(bytes + 8), GetDword(bytes + 12), GetDword(bytes + 16)};
  // An offset into the header itself can only be damage.
  for (DWORD offset : offsets) {
    if (offset != 0 && offset < kHeaderSize) return std::nullopt;
  }
  if (offsets[0] != 0 && !(descriptor.owner = SidFromBytes(bytes + offsets[0]))) return std::nullopt;
  if (offsets[1] != 0 && !(descriptor.group = SidFromBytes(bytes + offsets[1]))) return std::nullopt;
  if ((control & kSaclPresent) && offsets[2] != 0 && !(descriptor.sacl = ReadAcl(bytes + offsets[2]))) {
    return std::nullopt;
  }
  if ((control & kDaclPresent) && offsets[3] != 0 && !(descriptor.dacl = ReadAcl(bytes + offsets[3]))) {
    return std::nullopt;
  }
  return descriptor;
}

DWORD MapGenericFileRights(DWORD mask) {
  DWORD mapped = mask & 0x0FFFFFFF;
  if (mask & 0x10000000) mapped |= kFileAllAccess;
  if (mask & 0x80000000) mapped |= 0x00120089;
  if (mask & 0x40000000) mapped |= 0x00120116;
  if (mask & 0x20000000) mapped |= 0x001200A0;
  return mapped;
}

bool GrantsAccess(const SecurityDescriptor& descriptor, const std::vector<Sid>& sids, DWORD desired) {
  if ((descriptor.control & kDaclPresent) == 0 || !descriptor.dacl) return true;
  DWORD remaining = desired;
  for (const Ace& ace : *descriptor.dacl) {
    if ((ace.flags & kInheritOnly) != 0 || !Contains(sids, ace.sid)) continue;
    const DWORD mask = MapGenericFileRights(ace.mask);
    if (ace.type == kAccessDenied && (mask & remaining) != 0) return false;
    if (ace.type == kAccessAllowed) remaining &= ~mask;
    if (remaining == 0) return true;
  }
  return false;
}

bool AdmitsOnly(const SecurityDescriptor& descriptor, const std::vector<Sid>& trustees) {
  if ((descriptor.control & kDaclProtected) == 0 || !descriptor.dacl) return false;
  for (const Ace& ace : *descriptor.dacl) {
    if (ace.type == kAccessAllowed && (ace.flags & kInheritOnly) == 0 && !Contains(trustees, ace.sid)) return false;
  }
  return true;
}

}  // namespace sim
