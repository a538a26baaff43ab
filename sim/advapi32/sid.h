// Security identifiers: the binary record (MS-DTYP 2.4.2), the "S-1-5-..." text and the
// two-letter SDDL aliases of well-known SIDs.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace sim {

// Windows refuses SIDs with more sub-authorities than this.
constexpr size_t kMaxSubAuthorities = 15;

struct Sid {
  uint8_t revision = 1;
  uint64_t authority = 0;  // 48 bits, stored most significant byte first
  std::vector<uint32_t> sub_authorities;

  bool operator==(const Sid&) const = default;
  size_t ByteLength() const { return 8 + 4 * sub_authorities.size(); }
};

// "S-1-<authority>-<sub>...": decimal without sign, an authority of 2^32 or more as "0x"
// and twelve hex digits. nullopt for anything else, or for more than `max_sub` parts.
std::optional<Sid> ParseSidText(std::u16string_view text, size_t max_sub = kMaxSubAuthorities);
std::u16string SidText(const Sid& sid);

std::vector<BYTE> SidBytes(const Sid& sid);
// Reads the record at `bytes`; nullopt when its revision is not 1. Any count of
// sub-authorities that the count byte can hold is read: Windows refuses more than 15,
// the simulation converts them, so that a machine can give its token an owner SID whose
// text is longer than any real one (the stub's bound on its descriptor text is tried so).
std::optional<Sid> SidFromBytes(const BYTE* bytes);

// "BA" -> S-1-5-32-544 and so on, for the aliases that need no domain.
std::optional<Sid> SidFromAlias(std::u16string_view alias);
// The alias of a well-known SID, or the S- text.
std::string SddlSidText(const Sid& sid);

Sid AdministratorsSid();  // BA
Sid LocalSystemSid();     // SY

}  // namespace sim
