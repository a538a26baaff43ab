// The process token: who the simulated process is. Its default owner SID is derived from
// the host user, unless the machine root sets one ("token_owner_sid = S-1-5-21-..." in
// machine.conf).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "sim/advapi32/sid.h"
#include "sim/core/handle_table.h"
#include "sim/core/machine.h"

namespace sim {

constexpr const char* kTokenOwnerSetting = "token_owner_sid";

// S-1-5-21-<the simulated machine's domain>-<1000 + host uid>, or the machine's setting;
// nullopt when the setting is no SID. The setting may hold more sub-authorities than
// Windows allows (up to 255), to give a SID text longer than any real one.
std::optional<Sid> TokenOwnerSid(const Machine& machine);
// The SIDs an access check matches for this process: the owner, Everyone, Authenticated
// Users and Users. The token holds no administrator or system membership.
std::vector<Sid> TokenSids(const Machine& machine);

class Token : public KernelObject {
 public:
  explicit Token(Sid owner) : owner_(std::move(owner)) {}
  std::string Kind() const override { return "token"; }
  std::string Describe() const override;
  const Sid& owner() const { return owner_; }

 private:
  Sid owner_;
};

}  // namespace sim
