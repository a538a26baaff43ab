// Bounded registry reads against values stored byte for byte in the simulated registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "stub/support/registry_reading.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using sim::RegistryRoot;
using sim::RegistryView;

constexpr char16_t kTestKey[] = u"Software\\Pellora\\Test";
constexpr char16_t kClientState[] = u"Software\\Pellora\\Update\\ClientState";
constexpr WCHAR kGuard = 0xBEEF;

std::vector<BYTE> Units(const std::u16string& units, int extra_byte = -1) {
  std::vector<BYTE> bytes;
  for (char16_t unit : units) {
    bytes.push_back(static_cast<BYTE>(unit));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  if (extra_byte >= 0) bytes.push_back(static_cast<BYTE>(extra_byte));
  return bytes;
}

class RegistryReadingTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }
  sim::Process& Restart() {
    sim::ProcessOptions options;
    options.trace_file = (machine_.root() / "trace.txt").string();
    return *(process_ = &machine_.Start(options));
  }
  void Store(RegistryRoot root, const std::u16string& key, RegistryView view, const std::u16string& name, DWORD type,
             std::vector<BYTE> data) {
    sim::RegistryStore store(machine_.root());
    store.SetValue(sim::ViewPath(root, key, view), {name, type, std::move(data)});
    store.Save();
  }
  size_t OpenKeys() const { return process_->Snapshot().open_handles.size(); }
  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(RegistryReadingTest, ReadStringValueTerminatesWhatTheRegistryReturns) {
  struct Case {
    const char* what;
    size_t capacity;
    DWORD type;
    std::vector<BYTE> data;
    DWORD status;
    std::u16string text;  // the terminated string, when status is 0
  } cases[] = {
      {"no bytes", 4, REG_SZ, {}, 0, u""},
      {"one byte", 4, REG_SZ, {0x41}, 0, u""},
      {"a lone terminator", 4, REG_SZ, Units(std::u16string(1, 0)), 0, u""},
      {"capacity - 1 units with terminator", 4, REG_SZ, Units(std::u16string(u"abc\0", 4)), 0, u"abc"},
      {"capacity - 1 units without terminator", 4, REG_SZ, Units(u"abc"), 0, u"abc"},
      {"capacity units without terminator", 4, REG_SZ, Units(u"abcd"), ERROR_MORE_DATA, u""},
      {"capacity units with terminator", 4, REG_SZ, Units(std::u16string(u"abcd\0", 5)), ERROR_MORE_DATA, u""},
      {"odd count, last unit non-zero", 4, REG_SZ, Units(u"ab", 0x7A), 0, u"ab"},
      {"odd count, last unit zero", 4, REG_SZ, Units(std::u16string(u"a\0", 2), 0x7A), 0, u"a"},
      {"odd count of three bytes", 4, REG_SZ, Units(u"a", 0x7A), 0, u"a"},
      {"inner zero unit", 4, REG_SZ, Units(std::u16string(u"a\0b", 3)), 0, u"a"},
      // The last unit decides at the capacity: a zero unit further in gives no room.
      {"capacity units with an inner zero unit", 4, REG_SZ, Units(std::u16string(u"a\0bc", 4)), ERROR_MORE_DATA, u""},
      {"expandable string", 4, REG_EXPAND_SZ, Units(std::u16string(u"0\0", 2)), ERROR_NOT_SUPPORTED, u""},
      {"multi-string", 4, REG_MULTI_SZ, Units(std::u16string(u"a\0\0", 3)), ERROR_NOT_SUPPORTED, u""},
      {"number", 4, REG_DWORD, {0, 0, 0, 0}, ERROR_NOT_SUPPORTED, u""},
      {"capacity 2: one unit without terminator", 2, REG_SZ, Units(u"0"), 0, u"0"},
      {"capacity 2: one unit with terminator", 2, REG_SZ, Units(std::u16string(u"0\0", 2)), 0, u"0"},
      {"capacity 2: two units without terminator", 2, REG_SZ, Units(u"01"), ERROR_MORE_DATA, u""},
      {"capacity 2: two units with terminator", 2, REG_SZ, Units(std::u16string(u"01\0", 3)), ERROR_MORE_DATA, u""},
      // No room for a terminator: an empty value must not be terminated outside the buffer.
      {"capacity 0: no bytes", 0, REG_SZ, {}, ERROR_MORE_DATA, u""},
      {"capacity 0: one byte", 0, REG_SZ, {0x41}, ERROR_MORE_DATA, u""},
      {"capacity 1: no bytes", 1, REG_SZ, {}, 0, u""},
      {"capacity 1: one unit without terminator", 1, REG_SZ, Units(u"a"), ERROR_MORE_DATA, u""},
      {"capacity 260: a path", 260, REG_SZ, Units(std::u16string(u"C:\\setup.exe --uninstall\0", 26)), 0,
       u"C:\\setup.exe --uninstall"},
  };
  for (const auto& c : cases) {
    Store(RegistryRoot::kCurrentUser, kTestKey, RegistryView::k64, u"value", c.type, c.data);
    ScopedKey holder;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &holder.key), ERROR_SUCCESS);
    std::vector<WCHAR> buffer(c.capacity + 1, 0x5555);
    buffer[c.capacity] = kGuard;
    EXPECT_EQ(ReadStringValue(holder, u"value", buffer.data(), c.capacity), c.status) << c.what;
    EXPECT_EQ(buffer[c.capacity], kGuard) << c.what << ": wrote past the capacity";
    if (c.status == 0) {
      EXPECT_EQ(std::u16string(buffer.data()), c.text) << c.what;
    }
  }
}

TEST_F(RegistryReadingTest, ReadStringValueReturnsTheRegistrysStatusForAMissingValue) {
  Store(RegistryRoot::kCurrentUser, kTestKey, RegistryView::k64, u"other", REG_SZ, Units(u"x"));
  ScopedKey holder;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &holder.key), ERROR_SUCCESS);
  WCHAR buffer[4] = {};
  EXPECT_EQ(ReadStringValue(holder, u"value", buffer, 4), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryReadingTest, ReadStringValueAtOpensReadsAndClosesOnEveryPath) {
  Store(RegistryRoot::kCurrentUser, kTestKey, RegistryView::k64, u"good", REG_SZ, Units(u"1"));
  Store(RegistryRoot::kCurrentUser, kTestKey, RegistryView::k64, u"number", REG_DWORD, {1, 0, 0, 0});
  struct Case {
    const char16_t* key;
    const char16_t* name;
    bool read;
  } cases[] = {{kTestKey, u"good", true}, {kTestKey, u"number", false}, {kTestKey, u"missing", false},
               {u"Software\\Missing", u"good", false}};
  for (const auto& c : cases) {
    WCHAR buffer[3] = {0, 0, kGuard};
    EXPECT_EQ(ReadStringValueAt(HKEY_CURRENT_USER, c.key, c.name, buffer, 2), c.read) << sim::ToUtf8(c.name);
    if (c.read) {
      EXPECT_EQ(std::u16string(buffer), u"1");
    }
    EXPECT_EQ(OpenKeys(), 0u) << sim::ToUtf8(c.name);
  }
  // The default view: a value only in the machine's 32-bit view is not seen.
  Store(RegistryRoot::kLocalMachine, kTestKey, RegistryView::k32, u"good", REG_SZ, Units(u"2"));
  WCHAR buffer[2] = {};
  EXPECT_FALSE(ReadStringValueAt(HKEY_LOCAL_MACHINE, kTestKey, u"good", buffer, 2));
  // Every open asks for KEY_QUERY_VALUE (0x1) alone, with no options: no write access, no
  // view flag (KEY_WOW64_64KEY is 0x100, KEY_WOW64_32KEY 0x200).
  const std::string trace = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
  size_t opens = 0;
  for (size_t at = trace.find("RegOpenKeyExW("); at != std::string::npos; at = trace.find("RegOpenKeyExW(", at + 1)) {
    ++opens;
    const std::string line = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_NE(line.find("\", 0x0, 0x1) -> "), std::string::npos) << line;
  }
  EXPECT_EQ(opens, 5u) << trace;
}

TEST_F(RegistryReadingTest, ClientStateKeyIsOpenedInThe32BitView) {
  Store(RegistryRoot::kLocalMachine, kClientState, RegistryView::k32, u"UninstallString", REG_SZ, Units(u"C:\\32.exe"));
  Store(RegistryRoot::kLocalMachine, kClientState, RegistryView::k64, u"Only64", REG_SZ, Units(u"C:\\64.exe"));
  Store(RegistryRoot::kCurrentUser, kClientState, RegistryView::k64, u"UninstallString", REG_SZ, Units(u"C:\\user.exe"));
  struct Case {
    const char* what;
    HKEY root;
    const char16_t* name;
    DWORD status;
    std::u16string text;
  } cases[] = {
      {"machine, stored in the 32-bit view", HKEY_LOCAL_MACHINE, u"UninstallString", 0, u"C:\\32.exe"},
      {"machine, stored only in the 64-bit view", HKEY_LOCAL_MACHINE, u"Only64", ERROR_FILE_NOT_FOUND, u""},
      {"user, one key in both views", HKEY_CURRENT_USER, u"UninstallString", 0, u"C:\\user.exe"},
  };
  for (const auto& c : cases) {
    ScopedKey holder;
    ASSERT_EQ(OpenClientStateKey(c.root, KEY_QUERY_VALUE, holder), ERROR_SUCCESS) << c.what;
    PathString path;
    EXPECT_EQ(ReadStringValue(holder, c.name, path.Data(), PathString::kCapacity), c.status) << c.what;
    if (c.status == 0) {
      EXPECT_EQ(std::u16string(path.Data()), c.text) << c.what;
    }
  }
  // The user's value read in the default view is the same value.
  WCHAR user[16] = {};
  EXPECT_TRUE(ReadStringValueAt(HKEY_CURRENT_USER, kClientState, u"UninstallString", user, 16));
  EXPECT_EQ(std::u16string(user), u"C:\\user.exe");
}

TEST_F(RegistryReadingTest, ClientStateKeyOnlyInThe64BitViewIsNotFound) {
  sim::RegistryStore store(machine_.root());
  store.CreateKey(sim::ViewPath(RegistryRoot::kLocalMachine, kClientState, RegistryView::k64));
  store.Save();
  ScopedKey holder;
  EXPECT_EQ(OpenClientStateKey(HKEY_LOCAL_MACHINE, KEY_QUERY_VALUE, holder), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(holder.key, nullptr);
  EXPECT_EQ(OpenKeys(), 0u);
}

TEST_F(RegistryReadingTest, ScopedKeyClosesItsKeyExactlyOnce) {
  Store(RegistryRoot::kCurrentUser, kClientState, RegistryView::k64, u"v", REG_SZ, Units(u"x"));
  {
    ScopedKey holder;
    holder.Close();  // empty: nothing to close
    ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, KEY_QUERY_VALUE, holder), ERROR_SUCCESS);
    EXPECT_EQ(OpenKeys(), 1u);
    // Opening again releases the key held before.
    ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, KEY_QUERY_VALUE, holder), ERROR_SUCCESS);
    EXPECT_EQ(OpenKeys(), 1u);
    holder.Close();
    EXPECT_EQ(holder.key, nullptr);
    EXPECT_EQ(OpenKeys(), 0u);
    holder.Close();
    ASSERT_EQ(OpenClientStateKey(HKEY_CURRENT_USER, KEY_QUERY_VALUE, holder), ERROR_SUCCESS);
  }  // the holder's scope ends: its key is closed
  EXPECT_EQ(OpenKeys(), 0u);
  const std::string trace = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
  size_t closes = 0, failed = 0;
  for (size_t at = trace.find("RegCloseKey("); at != std::string::npos; at = trace.find("RegCloseKey(", at + 1)) {
    ++closes;
    if (trace.compare(trace.find("->", at), 16, "-> ERROR_SUCCESS") != 0) ++failed;
  }
  EXPECT_EQ(closes, 3u) << trace;
  EXPECT_EQ(failed, 0u) << trace;
}

}  // namespace
