// The process token, SID text and SDDL conversion against Windows' documented behaviour.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/advapi32_security.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_handles.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tests/support/test_machine.h"

namespace {

// The SID record at `bytes` as text, decoded here independently of the simulation.
std::string DecodeSid(const BYTE* bytes) {
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = authority << 8 | bytes[2 + i];
  std::string text = "S-" + std::to_string(bytes[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < bytes[1]; ++i) {
    uint32_t sub;
    std::memcpy(&sub, bytes + 8 + 4 * i, 4);
    text += "-" + std::to_string(sub);
  }
  return text;
}

WORD Word(const BYTE* at) { return static_cast<WORD>(at[0] | at[1] << 8); }
DWORD Dword(const BYTE* at) {
  DWORD value;
  std::memcpy(&value, at, 4);
  return value;
}

class SecurityTest : public ::testing::Test {
 protected:
  sim::Process& Start() { return machine_.Start(); }
  void SetOwner(const std::string& sid) { sim::Machine(machine_.root()).SetSetting("token_owner_sid", sid); }
  std::string OwnerText() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size));
    LPWSTR text = nullptr;
    EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner, &text));
    const std::string result = sim::ToUtf8(text);
    LocalFree(text);
    CloseHandle(token);
    return result;
  }
  testing_support::TestMachine machine_;
};

TEST_F(SecurityTest, TokenOwnerFollowsTheSizeProtocol) {
  sim::Process& process = Start();
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  ASSERT_EQ(process.Snapshot().open_handles.size(), 1u);
  EXPECT_EQ(process.Snapshot().open_handles[0].kind, "token");

  // The size query: no buffer, FALSE, ERROR_INSUFFICIENT_BUFFER and the bytes needed
  // (the record and the SID S-1-5-21-a-b-c-rid after it: 8 + 8 + 5 * 4).
  DWORD size = 0;
  SetLastError(0);
  EXPECT_FALSE(GetTokenInformation(token, TokenOwner, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 36u);

  // One byte short: refused the same way, and nothing stored.
  std::vector<BYTE> buffer(64, 0xCC);
  DWORD returned = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenOwner, buffer.data(), size - 1, &returned));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 36u);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), 64);

  ASSERT_TRUE(GetTokenInformation(token, TokenOwner, buffer.data(), size, &returned));
  EXPECT_EQ(returned, 36u);
  const auto* owner = reinterpret_cast<TOKEN_OWNER*>(buffer.data());
  EXPECT_EQ(owner->Owner, buffer.data() + sizeof(TOKEN_OWNER));  // the SID follows the record
  EXPECT_EQ(buffer[36], 0xCC);
  // Derived from the host user: local accounts are numbered from 1000.
  EXPECT_EQ(DecodeSid(static_cast<BYTE*>(owner->Owner)),
            "S-1-5-21-2875034137-1190863415-3041588390-" + std::to_string(1000 + ::getuid()));

  EXPECT_TRUE(CloseHandle(token));
  EXPECT_TRUE(process.Snapshot().open_handles.empty());
}

TEST_F(SecurityTest, TokenCallsRefuseWhatWindowsRefuses) {
  Start();
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x1234), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  HANDLE no_query = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), 0, &no_query));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE buffer[64];
  DWORD size = 0;
  struct Case {
    HANDLE token;
    TOKEN_INFORMATION_CLASS information_class;
    void* buffer;
    DWORD length;
    DWORD error;
  } cases[] = {
      {no_query, TokenOwner, buffer, sizeof buffer, ERROR_ACCESS_DENIED},
      {token, TokenUser, buffer, sizeof buffer, ERROR_INVALID_PARAMETER},  // only the owner is simulated
      {token, TokenOwner, nullptr, 8, ERROR_NOACCESS},                     // no buffer needs length 0
      {reinterpret_cast<HANDLE>(0x7777), TokenOwner, buffer, sizeof buffer, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(GetTokenInformation(c.token, c.information_class, c.buffer, c.length, &size));
    EXPECT_EQ(GetLastError(), c.error);
  }
  CloseHandle(no_query);
  CloseHandle(token);
  EXPECT_FALSE(GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SecurityTest, OwnerSidCanBeSetInTheMachineRoot) {
  SetOwner("S-1-5-21-7-8-9-500");
  Start();
  EXPECT_EQ(OwnerText(), "S-1-5-21-7-8-9-500");
  SetOwner("not a sid");
  Start();
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), ERROR_NO_TOKEN);
}

TEST_F(SecurityTest, SidToTextFollowsTheDocumentedForm) {
  sim::Process& process = Start();
  struct Case {
    std::vector<BYTE> sid;
    std::string text;
  } cases[] = {
      {{1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, "S-1-5-18"},
      {{1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0}, "S-1-5-32-544"},
      {{1, 0, 0, 0, 0, 0, 0, 5}, "S-1-5"},
      {{1, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "S-1-4294967295-4294967295"},
      {{1, 1, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 7, 0, 0, 0}, "S-1-0x010203040506-7"},  // authority >= 2^32
  };
  for (const Case& c : cases) {
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(const_cast<BYTE*>(c.sid.data()), &text)) << c.text;
    EXPECT_EQ(sim::ToUtf8(text), c.text);
    EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
    EXPECT_EQ(LocalFree(text), nullptr);
  }
  BYTE bad_revision[] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  LPWSTR text = nullptr;
  EXPECT_FALSE(ConvertSidToStringSidW(bad_revision, &text));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
  EXPECT_FALSE(ConvertSidToStringSidW(nullptr, &text));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
}

TEST_F(SecurityTest, WorkDirectoryDescriptorDecodesAsDocumented) {
  sim::Process& process = Start();
  const char16_t* text =
      u"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)"
      u"(A;;FA;;;S-1-5-21-1-2-3-1001)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, &size));
  const auto* bytes = static_cast<const BYTE*>(descriptor);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(Word(bytes + 2), 0x9404);  // self-relative, DACL present, protected, auto-inherited
  EXPECT_EQ(Dword(bytes + 4), 0u);     // no owner, group or SACL
  EXPECT_EQ(Dword(bytes + 8), 0u);
  EXPECT_EQ(Dword(bytes + 12), 0u);
  const BYTE* acl = bytes + Dword(bytes + 16);
  EXPECT_EQ(acl[0], 2);
  EXPECT_EQ(Word(acl + 4), 6);
  struct Entry {
    BYTE flags;
    DWORD mask;
    std::string sid;
  } expected[] = {
      {0, 0x001F01FF, "S-1-5-32-544"}, {0x0B, 0x10000000, "S-1-5-32-544"}, {0, 0x001F01FF, "S-1-5-18"},
      {0x0B, 0x10000000, "S-1-5-18"},  {0x0B, 0x10000000, "S-1-3-0"},      {0, 0x001F01FF, "S-1-5-21-1-2-3-1001"},
  };
  size_t at = 8;
  for (const Entry& entry : expected) {
    const BYTE* ace = acl + at;
    EXPECT_EQ(ace[0], 0) << entry.sid;  // access allowed
    EXPECT_EQ(ace[1], entry.flags) << entry.sid;
    EXPECT_EQ(Dword(ace + 4), entry.mask) << entry.sid;
    EXPECT_EQ(DecodeSid(ace + 8), entry.sid);
    EXPECT_EQ(Word(ace + 2), 8 + 8 + 4 * ace[9]) << entry.sid;
    at += Word(ace + 2);
  }
  EXPECT_EQ(Word(acl + 2), at);
  EXPECT_EQ(size, Dword(bytes + 16) + at);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  EXPECT_EQ(LocalFree(descriptor), nullptr);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
}

TEST_F(SecurityTest, MalformedSddlIsRefused) {
  sim::Process& process = Start();
  struct Case {
    const char16_t* text;
    DWORD revision;
    DWORD error;
  } cases[] = {
      {u"D:PAI(A;;FA;;;BA", 1, ERROR_INVALID_PARAMETER},     // unclosed entry
      {u"D:(A;;FA;;BA)", 1, ERROR_INVALID_PARAMETER},        // five fields
      {u"D:(A;;FA;;;BA;)", 1, ERROR_INVALID_PARAMETER},      // seven fields
      {u"D:(X;;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},       // unknown type
      {u"D:(A;ZZ;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},     // unknown flag
      {u"D:(A;;QQ;;;BA)", 1, ERROR_INVALID_PARAMETER},       // unknown right
      {u"D:(A;;;;;BA)", 1, ERROR_INVALID_PARAMETER},         // no rights
      {u"D:(A;;0x1FFFFFFFF;;;BA)", 1, ERROR_INVALID_PARAMETER},
      {u"D:(A;;08;;;BA)", 1, ERROR_INVALID_PARAMETER},       // not octal
      {u"D:(A;;FA;;;)", 1, ERROR_INVALID_PARAMETER},         // no trustee
      {u"D:(A;;FA;;;QQ)", 1, ERROR_NONE_MAPPED},             // alias of no account
      {u"D:(A;;FA;;;S-1-5-x)", 1, ERROR_INVALID_SID},
      {u"D:(A;;FA;;;S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16)", 1, ERROR_INVALID_SID},  // 16 parts
      {u"D:(A;;FA;;;S-1-5-4294967296)", 1, ERROR_INVALID_SID},
      {u"D:(AU;SA;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},    // an audit entry in the DACL
      {u"S:(A;;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},       // an access entry in the SACL
      {u"D:Q(A;;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},      // unknown DACL flag
      {u"D:(A;;FA;;;BA)junk", 1, ERROR_INVALID_PARAMETER},
      {u"D:PD:P", 1, ERROR_INVALID_PARAMETER},               // two DACLs
      {u"X:BA", 1, ERROR_INVALID_PARAMETER},
      {u"D:NO_ACCESS_CONTROL(A;;FA;;;BA)", 1, ERROR_INVALID_PARAMETER},
      {u"D:(A;;FA;;;BA)", 2, ERROR_UNKNOWN_REVISION},
      {nullptr, 1, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.text, c.revision, &descriptor, nullptr))
        << sim::ToUtf8(sim::View(c.text));
    EXPECT_EQ(GetLastError(), c.error) << sim::ToUtf8(sim::View(c.text));
    EXPECT_EQ(descriptor, reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1));
  }
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
}

}  // namespace
