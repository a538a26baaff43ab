// Security descriptors: SDDL text (parsed strictly, refused with Windows' errors), the
// self-relative binary form (MS-DTYP 2.4.6) and the access decisions the simulated file
// system makes from them.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "sim/advapi32/sid.h"

namespace sim {

// Control bits.
constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kSaclPresent = 0x0010;
constexpr WORD kDaclAutoInheritRequired = 0x0100;
constexpr WORD kSaclAutoInheritRequired = 0x0200;
constexpr WORD kDaclAutoInherited = 0x0400;
constexpr WORD kSaclAutoInherited = 0x0800;
constexpr WORD kDaclProtected = 0x1000;
constexpr WORD kSaclProtected = 0x2000;
constexpr WORD kSelfRelative = 0x8000;

// ACE types and flags.
constexpr BYTE kAccessAllowed = 0x00;
constexpr BYTE kAccessDenied = 0x01;
constexpr BYTE kSystemAudit = 0x02;
constexpr BYTE kSystemAlarm = 0x03;
constexpr BYTE kMandatoryLabel = 0x11;
constexpr BYTE kObjectInherit = 0x01;
constexpr BYTE kContainerInherit = 0x02;
constexpr BYTE kNoPropagateInherit = 0x04;
constexpr BYTE kInheritOnly = 0x08;
constexpr BYTE kInherited = 0x10;

// Access rights of files and directories.
constexpr DWORD kFileAddSubdirectory = 0x00000004;
constexpr DWORD kFileAllAccess = 0x001F01FF;

struct Ace {
  BYTE type = kAccessAllowed;
  BYTE flags = 0;
  DWORD mask = 0;
  Sid sid;
};

struct SecurityDescriptor {
  WORD control = 0;  // without kSelfRelative, which only the binary form carries
  std::optional<Sid> owner;
  std::optional<Sid> group;
  // Present with kDaclPresent; a present DACL without a list is the NULL DACL
  // ("NO_ACCESS_CONTROL"), which grants everything.
  std::optional<std::vector<Ace>> dacl;
  std::optional<std::vector<Ace>> sacl;
};

struct SddlResult {
  std::optional<SecurityDescriptor> descriptor;
  DWORD error = 0;  // ERROR_INVALID_PARAMETER, ERROR_INVALID_SID, ERROR_NONE_MAPPED, ...
};
SddlResult ParseSddl(std::u16string_view text);
// Canonical text: sections O, G, D, S; aliases for well-known SIDs; flag and rights codes
// in the order of their bits; a mask that the codes do not cover as "0x...".
std::string ToSddl(const SecurityDescriptor& descriptor);

std::vector<BYTE> ToSelfRelative(const SecurityDescriptor& descriptor);
// nullopt for anything that is no well-formed self-relative descriptor.
std::optional<SecurityDescriptor> FromSelfRelative(const BYTE* bytes);

// Generic rights mapped to file rights (GA -> FILE_ALL_ACCESS, GR -> FILE_GENERIC_READ, ...).
DWORD MapGenericFileRights(DWORD mask);
// Whether a token holding `sids` is granted every right in `desired`: deny entries first
// met win; inherit-only entries do not govern the object itself; no DACL, or the NULL
// DACL, grants everything.
bool GrantsAccess(const SecurityDescriptor& descriptor, const std::vector<Sid>& sids, DWORD desired);
// Whether the DACL is protected and every entry that grants access to the object itself
// names one of `trustees`.
bool AdmitsOnly(const SecurityDescriptor& descriptor, const std::vector<Sid>& trustees);

}  // namespace sim
