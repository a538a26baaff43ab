// The simulated registry through RegOpenKeyExW, RegQueryValueExW and RegCloseKey:
// Windows' status codes, raw values, the two registry views and persistence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_handles.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/process.h"
#include "tests/support/test_machine.h"

namespace {

using sim::RegistryRoot;
using sim::RegistryView;

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
  std::vector<BYTE> bytes;
  for (int value : values) bytes.push_back(static_cast<BYTE>(value));
  return bytes;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { process_ = &machine_.Start(); }
  void Store(RegistryRoot root, const std::u16string& key, RegistryView view, const std::u16string& name, DWORD type,
             std::vector<BYTE> data) {
    sim::RegistryStore store(machine_.root());
    store.SetValue(sim::ViewPath(root, key, view), {name, type, std::move(data)});
    store.Save();
  }
  LSTATUS Open(HKEY root, const char16_t* key, REGSAM access, HKEY* result) {
    return RegOpenKeyExW(root, key, 0, access, result);
  }
  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(RegistryTest, QueryReturnsTypeAndRawBytesExactly) {
  const std::vector<BYTE> odd = Bytes({0x30, 0x00, 0x31});
  std::vector<BYTE> large(5000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<BYTE>(i * 7);
  Store(RegistryRoot::kCurrentUser, u"Software\\Raw", RegistryView::k64, u"odd", REG_SZ, odd);
  Store(RegistryRoot::kCurrentUser, u"Software\\Raw", RegistryView::k64, u"large", 0x12345678, large);
  Store(RegistryRoot::kCurrentUser, u"Software\\Raw", RegistryView::k64, u"empty", REG_EXPAND_SZ, {});
  Store(RegistryRoot::kCurrentUser, u"Software\\Raw", RegistryView::k64, u"", REG_DWORD, Bytes({1, 2, 3, 4}));
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Raw", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  struct Case {
    const char16_t* name;
    DWORD type;
    std::vector<BYTE> data;
  } cases[] = {{u"odd", REG_SZ, odd}, {u"LARGE", 0x12345678, large}, {u"empty", REG_EXPAND_SZ, {}},
               {u"", REG_DWORD, Bytes({1, 2, 3, 4})}, {nullptr, REG_DWORD, Bytes({1, 2, 3, 4})}};
  for (const auto& c : cases) {
    std::vector<BYTE> buffer(6000, 0xEE);
    DWORD type = 0, size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.data.size());
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), buffer.begin()));
    EXPECT_EQ(buffer[size], 0xEE) << "nothing is added after the stored bytes";
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, QueryReportsTheSizeWhenTheDataDoesNotFit) {
  Store(RegistryRoot::kCurrentUser, u"Software\\S", RegistryView::k64, u"v", REG_SZ, Bytes({0x61, 0, 0x62, 0, 0, 0}));
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  struct Case {
    DWORD offered;
    LSTATUS status;
  } cases[] = {{0, ERROR_MORE_DATA}, {4, ERROR_MORE_DATA}, {5, ERROR_MORE_DATA}, {6, ERROR_SUCCESS}, {100, ERROR_SUCCESS}};
  for (const auto& c : cases) {
    BYTE buffer[100];
    DWORD type = 0, size = c.offered;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, &type, buffer, &size), c.status) << c.offered;
    EXPECT_EQ(size, 6u) << c.offered;
    EXPECT_EQ(type, REG_SZ) << c.offered;
  }
  // No buffer: success with the size.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, StatusCodesOfFailedCalls) {
  Store(RegistryRoot::kCurrentUser, u"Software\\S", RegistryView::k64, u"v", REG_SZ, Bytes({0x61, 0}));
  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Missing", KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_QUERY_VALUE | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &key),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\S", 0x4, KEY_QUERY_VALUE, &key), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x5678), u"Software", KEY_QUERY_VALUE, &key), ERROR_INVALID_HANDLE);

  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  BYTE buffer[8];
  DWORD size = sizeof buffer, reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"missing", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"v", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(key);
  // A key opened without KEY_QUERY_VALUE cannot be queried.
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_ENUMERATE_SUB_KEYS, &key), ERROR_SUCCESS);
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  // A closed key is no key.
  size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NamesMatchWithoutRegardToCaseAndTrailingBackslashes) {
  Store(RegistryRoot::kCurrentUser, u"Software\\Pellora\\Update", RegistryView::k64, u"Name", REG_SZ, Bytes({0x61, 0}));
  for (const char16_t* path : {u"Software\\Pellora\\Update", u"SOFTWARE\\pellora\\UPDATE", u"Software\\Pellora\\Update\\"}) {
    HKEY key = nullptr;
    ASSERT_EQ(Open(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"nAmE", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    RegCloseKey(key);
  }
}

TEST_F(RegistryTest, OpeningRelativeToAnOpenKeyAndWithoutASubkey) {
  Store(RegistryRoot::kLocalMachine, u"Software\\A\\B", RegistryView::k64, u"v", REG_DWORD, Bytes({9, 0, 0, 0}));
  HKEY parent = nullptr, child = nullptr, same = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\A", KEY_QUERY_VALUE, &parent), ERROR_SUCCESS);
  ASSERT_EQ(Open(parent, u"B", KEY_QUERY_VALUE, &child), ERROR_SUCCESS);
  ASSERT_EQ(Open(child, nullptr, KEY_QUERY_VALUE, &same), ERROR_SUCCESS);
  EXPECT_NE(same, child);  // a new handle to the same key
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(same, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  for (HKEY key : {parent, child, same}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ViewsRedirectTheMachinesSoftwareKeyButShareTheUsers) {
  Store(RegistryRoot::kLocalMachine, u"Software\\Pellora\\Update", RegistryView::k32, u"only32", REG_SZ, Bytes({0x33, 0}));
  Store(RegistryRoot::kLocalMachine, u"Software\\Pellora\\Update", RegistryView::k64, u"only64", REG_SZ, Bytes({0x36, 0}));
  Store(RegistryRoot::kCurrentUser, u"Software\\Pellora\\Update", RegistryView::k64, u"user", REG_SZ, Bytes({0x75, 0}));
  Store(RegistryRoot::kLocalMachine, u"Software\\Classes\\.pel", RegistryView::k64, u"shared", REG_SZ, Bytes({0x63, 0}));
  struct Case {
    const char* what;
    HKEY root;
    const char16_t* key;
    REGSAM view;
    const char16_t* value;
    LSTATUS status;
  } cases[] = {
      {"32-bit view sees the 32-bit value", HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update", KEY_WOW64_32KEY, u"only32", ERROR_SUCCESS},
      {"32-bit view misses the 64-bit value", HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update", KEY_WOW64_32KEY, u"only64", ERROR_FILE_NOT_FOUND},
      {"64-bit view sees the 64-bit value", HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update", KEY_WOW64_64KEY, u"only64", ERROR_SUCCESS},
      {"default view is the 64-bit view", HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update", 0, u"only32", ERROR_FILE_NOT_FOUND},
      {"the node is reachable by name", HKEY_LOCAL_MACHINE, u"Software\\WOW6432Node\\Pellora\\Update", 0, u"only32", ERROR_SUCCESS},
      {"the node is not doubled", HKEY_LOCAL_MACHINE, u"Software\\WOW6432Node\\Pellora\\Update", KEY_WOW64_32KEY, u"only32", ERROR_SUCCESS},
      {"user key in the 32-bit view", HKEY_CURRENT_USER, u"Software\\Pellora\\Update", KEY_WOW64_32KEY, u"user", ERROR_SUCCESS},
      {"user key in the 64-bit view", HKEY_CURRENT_USER, u"Software\\Pellora\\Update", KEY_WOW64_64KEY, u"user", ERROR_SUCCESS},
      {"machine classes are shared", HKEY_LOCAL_MACHINE, u"Software\\Classes\\.pel", KEY_WOW64_32KEY, u"shared", ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    HKEY key = nullptr;
    ASSERT_EQ(Open(c.root, c.key, KEY_QUERY_VALUE | c.view, &key), ERROR_SUCCESS) << c.what;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, c.value, nullptr, nullptr, nullptr, &size), c.status) << c.what;
    RegCloseKey(key);
  }
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.pel", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(sim::ViewPath(RegistryRoot::kCurrentUser, u"Software\\Classes\\CLSID\\x", RegistryView::k32),
            u"HKEY_CURRENT_USER\\Software\\Classes\\WOW6432Node\\CLSID\\x");
}

TEST_F(RegistryTest, AValueWrittenLaterIsSeenAndADeletedKeyIsReported) {
  Store(RegistryRoot::kCurrentUser, u"Software\\Live", RegistryView::k64, u"v", REG_SZ, Bytes({0x61, 0}));
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\Live", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  Store(RegistryRoot::kCurrentUser, u"Software\\Live", RegistryView::k64, u"v", REG_SZ, Bytes({0x61, 0, 0x62, 0, 0, 0}));
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  {
    sim::RegistryStore store(machine_.root());
    ASSERT_TRUE(store.DeleteKey(u"HKEY_CURRENT_USER\\Software\\Live"));
    store.Save();
  }
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), static_cast<LSTATUS>(ERROR_KEY_DELETED));
  RegCloseKey(key);
}

TEST_F(RegistryTest, OpenKeysAreHandlesThatTheAccountingShows) {
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  const auto open = process_->Snapshot().open_handles;
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].kind, "key");
  EXPECT_EQ(open[0].description, "HKEY_CURRENT_USER\\Software");
  EXPECT_NE(process_->AccountingReport().find("key HKEY_CURRENT_USER\\Software"), std::string::npos);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(process_->Snapshot().open_handles.empty());
  // Predefined roots are no handles of the process.
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  // A duplicated key handle is a key of its own to close.
  HANDLE duplicate = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), key, GetCurrentProcess(), &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(RegCloseKey(static_cast<HKEY>(duplicate)), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, FaultInjectionFailsOpenAndQueryWithTheChosenStatus) {
  Store(RegistryRoot::kCurrentUser, u"Software\\S", RegistryView::k64, u"v", REG_SZ, Bytes({0x61, 0}));
  sim::ProcessOptions options;
  options.faults = {{"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED}, {"RegQueryValueExW", 1, ERROR_NOT_ENOUGH_MEMORY}};
  machine_.Start(options);
  HKEY key = nullptr;
  EXPECT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_QUERY_VALUE, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Software\\S", KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST(RegistryStoreTest, KeepsEveryValueAcrossSaveAndLoad) {
  testing_support::TestMachine machine;
  const std::u16string odd_name = u"quote\" back\\slash \u00e9";
  {
    sim::RegistryStore store(machine.root());
    store.SetValue(u"HKEY_CURRENT_USER\\Software\\MixedCase", {odd_name, REG_BINARY, Bytes({0, 0xFF, 0x0A})});
    store.SetValue(u"HKEY_CURRENT_USER\\Software\\MixedCase", {u"", 0xFFFFFFFF, {}});
    store.Save();
  }
  const sim::RegistryStore store(machine.root());
  const sim::RegistryKey* key = store.FindKey(u"hkey_current_user\\software\\mixedcase");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->path, u"HKEY_CURRENT_USER\\Software\\MixedCase");
  ASSERT_EQ(key->values.size(), 2u);
  EXPECT_EQ(key->values[0].name, odd_name);
  EXPECT_EQ(key->values[0].data, Bytes({0, 0xFF, 0x0A}));
  EXPECT_EQ(key->values[1].type, 0xFFFFFFFFu);
  EXPECT_TRUE(key->values[1].data.empty());
}

}  // namespace
