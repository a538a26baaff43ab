// winsim reg, judged by what a simulated program then reads through the registry calls:
// values of every kind reach RegQueryValueExW byte for byte, in the view they were set in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "platform/errors.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::BuildDirectory;
using testing_support::RunHostCommand;

struct Read {
  LSTATUS status = -1;
  DWORD type = 0;
  std::string bytes;
};

class WinsimRegTest : public ::testing::Test {
 protected:
  testing_support::HostCommandResult Reg(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {(BuildDirectory() / "winsim").string(), "reg"});
    arguments.insert(arguments.begin() + 3, {"--root", machine_.root().string()});
    return RunHostCommand(arguments);
  }
  // Reads a value in a fresh simulated process, as another program would.
  Read Query(HKEY root, const char16_t* key, REGSAM view, const char16_t* name) {
    machine_.Start();
    Read read;
    HKEY opened = nullptr;
    read.status = RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | view, &opened);
    if (read.status != ERROR_SUCCESS) return read;
    char buffer[4096];
    DWORD size = sizeof buffer;
    read.status = RegQueryValueExW(opened, name, nullptr, &read.type, reinterpret_cast<BYTE*>(buffer), &size);
    if (read.status == ERROR_SUCCESS) read.bytes.assign(buffer, size);
    RegCloseKey(opened);
    return read;
  }
  testing_support::TestMachine machine_;
};

TEST_F(WinsimRegTest, SetStoresEveryKindOfDataExactly) {
  const std::string long_text(1500, 'x');
  struct Case {
    std::vector<std::string> data;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {{"--string", "0"}, REG_SZ, std::string("0\0\0\0", 4)},
      {{"--string-unterminated", "0"}, REG_SZ, std::string("0\0", 2)},
      {{"--string", ""}, REG_SZ, std::string("\0\0", 2)},
      {{"--string-unterminated", ""}, REG_SZ, ""},
      {{"--string", "\xc3\xa9"}, REG_SZ, std::string("\xe9\0\0\0", 4)},
      {{"--string", "0", "--type", "expand_sz"}, REG_EXPAND_SZ, std::string("0\0\0\0", 4)},
      {{"--dword", "0"}, REG_DWORD, std::string(4, '\0')},
      {{"--dword", "0x01020304"}, REG_DWORD, "\x04\x03\x02\x01"},
      {{"--qword", "1"}, REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8)},
      {{"--hex", "30 00 31"}, REG_BINARY, std::string("0\0" "1", 3)},
      {{"--hex", "30,00,31", "--type", "sz"}, REG_SZ, std::string("0\0" "1", 3)},
      {{"--hex", "ff", "--type", "0x7fff1234"}, 0x7fff1234, "\xff"},
      {{"--hex", ""}, REG_BINARY, ""},
      {{"--string-unterminated", long_text}, REG_SZ, [&] {
         std::string bytes;
         for (char c : long_text) bytes += std::string{c, '\0'};
         return bytes;
       }()},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"set", "HKCU\\Software\\Test", "value"};
    arguments.insert(arguments.end(), c.data.begin(), c.data.end());
    const auto result = Reg(arguments);
    ASSERT_EQ(result.exit_status, 0) << c.data[1] << result.output;
    const Read read = Query(HKEY_CURRENT_USER, u"Software\\Test", 0, u"value");
    EXPECT_EQ(read.status, ERROR_SUCCESS) << c.data[1];
    EXPECT_EQ(read.type, c.type) << c.data[1];
    EXPECT_EQ(read.bytes, c.bytes) << c.data[1];
  }
}

TEST_F(WinsimRegTest, TheViewOptionIsTheViewOfKeyWow6432Key) {
  ASSERT_EQ(Reg({"set", "HKLM\\Software\\Pellora\\Update\\ClientState", "UninstallString", "--string", "32",
                 "--view", "32"}).exit_status, 0);
  ASSERT_EQ(Reg({"set", "HKEY_LOCAL_MACHINE\\Software\\Pellora\\Update\\ClientState", "Other", "--string", "64"})
                .exit_status, 0);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update\\ClientState", KEY_WOW64_32KEY, u"UninstallString").bytes,
            std::string("3\0" "2\0\0\0", 6));
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update\\ClientState", 0, u"UninstallString").status,
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, u"Software\\Pellora\\Update\\ClientState", KEY_WOW64_32KEY, u"Other").status,
            ERROR_FILE_NOT_FOUND);
  // The user's Software key is one key in both views.
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Shared", "v", "--dword", "1", "--view", "32"}).exit_status, 0);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Shared", 0, u"v").status, ERROR_SUCCESS);
  const auto shown = Reg({"show", "HKLM\\Software", "--view", "32"});
  EXPECT_NE(shown.output.find("[HKEY_LOCAL_MACHINE\\Software\\WOW6432Node\\Pellora\\Update\\ClientState]"),
            std::string::npos) << shown.output;
  EXPECT_EQ(shown.output.find("Other"), std::string::npos) << shown.output;
}

TEST_F(WinsimRegTest, ShowPrintsTypesSizesAndBytes) {
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Show", "odd", "--hex", "41 00 42", "--type", "sz"}).exit_status, 0);
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Show", "n", "--dword", "7"}).exit_status, 0);
  const auto value = Reg({"show", "HKCU\\Software\\Show", "odd"});
  EXPECT_EQ(value.exit_status, 0);
  EXPECT_EQ(value.output, "  \"odd\" REG_SZ (3 bytes) hex: 41 00 42 text: \"A\" + odd byte\n");
  const auto key = Reg({"show", "hkcu\\software\\show"});
  EXPECT_EQ(key.output,
            "[HKEY_CURRENT_USER\\Software\\Show]\n"
            "  \"odd\" REG_SZ (3 bytes) hex: 41 00 42 text: \"A\" + odd byte\n"
            "  \"n\" REG_DWORD (4 bytes) hex: 07 00 00 00 value: 7\n");
}

TEST_F(WinsimRegTest, DeleteRemovesAValueOrAWholeKey) {
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Gone\\Sub", "a", "--dword", "1"}).exit_status, 0);
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Gone\\Sub", "b", "--dword", "2"}).exit_status, 0);
  ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Gone\\Sub", "a"}).exit_status, 0);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Gone\\Sub", 0, u"a").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Gone\\Sub", 0, u"b").status, ERROR_SUCCESS);
  ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Gone"}).exit_status, 0);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Gone\\Sub", 0, u"b").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Gone", 0, u"b").status, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Reg({"delete", "HKCU\\Software\\Gone"}).exit_status, 1);
  EXPECT_EQ(Reg({"show", "HKCU\\Software\\Gone"}).exit_status, 1);
  // Setting only a key creates it empty.
  ASSERT_EQ(Reg({"set", "HKCU\\Software\\Empty"}).exit_status, 0);
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\Empty", 0, u"x").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(WinsimRegTest, RefusesBadUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {"set", "HKCR\\Software\\X", "v", "--dword", "1"},
      {"set", "HKCU\\Software\\X", "v"},
      {"set", "HKCU\\Software\\X", "v", "--hex", "123"},
      {"set", "HKCU\\Software\\X", "v", "--hex", "zz"},
      {"set", "HKCU\\Software\\X", "v", "--dword", "0x100000000"},
      {"set", "HKCU\\Software\\X", "v", "--dword", "1", "--string", "a"},
      {"set", "HKCU\\Software\\X", "v", "--string", "a", "--type", "nonsense"},
      {"set", "HKCU\\Software\\X", "v", "--view", "16", "--string", "a"},
      {"show", "HKCU\\Software\\X", "--dword", "1"},
      {"frob", "HKCU\\Software\\X"},
  };
  for (const auto& arguments : bad) {
    EXPECT_EQ(Reg(arguments).exit_status, 2) << arguments[0] << " " << arguments.back();
  }
  EXPECT_EQ(Query(HKEY_CURRENT_USER, u"Software\\X", 0, u"v").status, ERROR_FILE_NOT_FOUND);
}

}  // namespace
