// Library loading, the system directory, environment expansion, UTF-8 conversion and file times.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_environment.h"
#include "platform/kernel32_library.h"
#include "platform/kernel32_system_directory.h"
#include "platform/kernel32_text_conversion.h"
#include "platform/kernel32_time.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"
#include "tests/support/test_machine.h"

namespace {

class Kernel32LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Start(); }
  // Settings are read when the process starts.
  void Restart(const std::string& key, const std::string& value) {
    sim::Machine(machine_.root()).SetSetting(key, value);
    machine_.Start();
  }
  testing_support::TestMachine machine_;
};

TEST_F(Kernel32LibraryTest, CabinetDllInTheSystemDirectoryLoadsTheStandIn) {
  machine_.WriteFile(u"C:\\Other\\cabinet.dll", "MZ not a library of this machine");
  struct Case {
    std::u16string path;
    DWORD flags;
    DWORD error;  // 0: loads
  } cases[] = {
      {u"C:\\Windows\\System32\\cabinet.dll", LOAD_WITH_ALTERED_SEARCH_PATH, 0},
      {u"c:\\WINDOWS\\system32\\CABINET.DLL", LOAD_WITH_ALTERED_SEARCH_PATH, 0},
      {u"C:/Windows/System32/cabinet", 0, 0},  // ".dll" added
      {u"\\\\?\\C:\\Windows\\System32\\cabinet.dll", 0, 0},
      {u"C:\\Windows\\Temp\\..\\System32\\.\\cabinet.dll", 0, 0},
      {u"cabinet.dll", 0, 0},  // a bare name is found in the system directory
      {u"C:\\Windows\\System32\\cabinet.", 0, ERROR_MOD_NOT_FOUND},  // the '.' forbids ".dll"
      {u"D:\\Windows\\System32\\cabinet.dll", 0, ERROR_MOD_NOT_FOUND},
      {u"%WINDIR%\\system32\\cabinet.dll", 0, ERROR_MOD_NOT_FOUND},  // not expanded by the loader
      {u"C:\\Other\\missing.dll", 0, ERROR_MOD_NOT_FOUND},
      {u"C:\\Other\\cabinet.dll", 0, ERROR_BAD_EXE_FORMAT},
      {u"C:\\Windows\\System32\\cabinet.dll", 0x2, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    const HMODULE module = LoadLibraryExW(c.path.c_str(), nullptr, c.flags);
    if (c.error == 0) {
      EXPECT_NE(module, nullptr) << sim::Quoted(c.path);
    } else {
      EXPECT_EQ(module, nullptr) << sim::Quoted(c.path);
      EXPECT_EQ(GetLastError(), c.error) << sim::Quoted(c.path);
    }
  }
  int dummy = 0;
  EXPECT_EQ(LoadLibraryExW(u"C:\\Windows\\System32\\cabinet.dll", &dummy, 0), nullptr);  // hFile must be null
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel32LibraryTest, LoadedLibraryIsKeptAndCountedNotAHandle) {
  sim::Process& process = sim::CurrentProcess();
  const HMODULE first = LoadLibraryExW(u"C:\\Windows\\System32\\cabinet.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const HMODULE second = LoadLibraryExW(u"cabinet.dll", nullptr, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);  // one module, loaded twice
  const sim::Accounting accounting = process.Snapshot();
  EXPECT_TRUE(accounting.open_handles.empty());
  ASSERT_EQ(accounting.loaded_modules.size(), 1u);
  EXPECT_EQ(accounting.loaded_modules[0].module, first);
  EXPECT_EQ(accounting.loaded_modules[0].loads, 2u);
  EXPECT_NE(process.AccountingReport().find("loaded_modules 1\n"), std::string::npos);
  EXPECT_NE(process.AccountingReport().find("C:\\Windows\\System32\\cabinet.dll loads 2"), std::string::npos);
}

TEST_F(Kernel32LibraryTest, ProcAddressesOfTheStandIn) {
  // Before loading, the stand-in's handle is no module of the process.
  const HMODULE module = LoadLibraryExW(u"cabinet.dll", nullptr, 0);
  ASSERT_NE(module, nullptr);
  for (const char* name : {"FDICreate", "FDICopy", "FDIDestroy"}) EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
  EXPECT_NE(GetProcAddress(module, "FDICreate"), GetProcAddress(module, "FDICopy"));
  struct Case {
    HMODULE module;
    const char* name;
    DWORD error;
  } cases[] = {
      {module, "fdicreate", ERROR_PROC_NOT_FOUND},  // case matters
      {module, "FDITruncateCabinet", ERROR_PROC_NOT_FOUND},
      {module, reinterpret_cast<const char*>(static_cast<ULONG_PTR>(1)), ERROR_PROC_NOT_FOUND},  // an ordinal
      {nullptr, "FDICreate", ERROR_PROC_NOT_FOUND},  // the program's image exports nothing
      {reinterpret_cast<HMODULE>(0x7000000), "FDICreate", ERROR_MOD_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(c.module, c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST_F(Kernel32LibraryTest, ProcAddressNeedsTheModuleLoadedFirst) {
  const HMODULE stand_in = LoadLibraryExW(u"cabinet.dll", nullptr, 0);
  machine_.Start();  // a new process: nothing loaded
  EXPECT_EQ(GetProcAddress(stand_in, "FDICreate"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(Kernel32LibraryTest, FaultsFailLoadingAndLookup) {
  sim::ProcessOptions options;
  options.faults = {{"LoadLibraryExW", 1, ERROR_MOD_NOT_FOUND}, {"GetProcAddress", 2, ERROR_PROC_NOT_FOUND}};
  machine_.Start(options);
  EXPECT_EQ(LoadLibraryExW(u"cabinet.dll", nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  const HMODULE module = LoadLibraryExW(u"cabinet.dll", nullptr, 0);  // the second call loads
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "FDICreate"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "FDICopy"), nullptr);
  EXPECT_NE(GetProcAddress(module, "FDICopy"), nullptr);
}

TEST_F(Kernel32LibraryTest, ExpandsKnownVariablesAndLeavesOthers) {
  struct Case {
    std::u16string source, expected;
  } cases[] = {
      {u"%WINDIR%\\system32\\cabinet.dll", u"C:\\Windows\\system32\\cabinet.dll"},
      {u"%windir%|%SystemRoot%|%SYSTEMDRIVE%", u"C:\\Windows|C:\\Windows|C:"},
      {u"%NOSUCH%\\x", u"%NOSUCH%\\x"},
      {u"%NOSUCH%WINDIR%", u"%NOSUCH%WINDIR%"},
      {u"100% %WINDIR%", u"100% %WINDIR%"},  // "% %" names the unknown " "; the scan goes on after it
      {u"%%", u"%%"},
      {u"50%", u"50%"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    char16_t buffer[260];
    const DWORD result = ExpandEnvironmentStringsW(c.source.c_str(), buffer, 260);
    EXPECT_EQ(result, c.expected.size() + 1) << sim::Quoted(c.source);
    EXPECT_EQ(std::u16string(buffer), c.expected) << sim::Quoted(c.source);
  }
}

TEST_F(Kernel32LibraryTest, ExpansionSizeContract) {
  const std::u16string source = u"%WINDIR%\\a";  // "C:\Windows\a": 12 units, 13 with the NUL
  char16_t buffer[32];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), nullptr, 0), 13u);
  EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), buffer, 12), 13u);  // too small: the size needed
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(ExpandEnvironmentStringsW(source.c_str(), buffer, 13), 13u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\a");
  EXPECT_EQ(buffer[13], u'#');
  EXPECT_EQ(ExpandEnvironmentStringsW(nullptr, buffer, 13), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel32LibraryTest, SystemDirectorySizeContract) {
  // "C:\Windows\System32": 19 units, 20 with the terminator, no trailing backslash.
  char16_t buffer[32];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 20u);
  EXPECT_EQ(GetSystemDirectoryW(buffer, 19), 20u);  // too small: the size needed, nothing stored
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(GetSystemDirectoryW(buffer, 1), 20u);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(GetSystemDirectoryW(buffer, 20), 19u);  // exact fit: the length without the terminator
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\System32");
  EXPECT_EQ(buffer[20], u'#');
  EXPECT_EQ(GetSystemDirectoryW(nullptr, 20), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel32LibraryTest, TheSystemDirectoryDoesNotFollowTheEnvironment) {
  Restart("environment.WINDIR", "D:\\Win");
  sim::Machine(machine_.root()).SetSetting("environment.SYSTEMROOT", "D:\\Win");
  machine_.Start();
  char16_t buffer[260];
  EXPECT_EQ(GetSystemDirectoryW(buffer, 260), 19u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\System32");
}

TEST_F(Kernel32LibraryTest, MachineSettingsChangeOrRemoveVariables) {
  Restart("environment.WINDIR", "");
  char16_t buffer[260];
  ExpandEnvironmentStringsW(u"%WINDIR%\\system32|%SYSTEMROOT%", buffer, 260);
  EXPECT_EQ(std::u16string(buffer), u"%WINDIR%\\system32|C:\\Windows");
  Restart("environment.WINDIR", "D:\\Win");
  ExpandEnvironmentStringsW(u"%WinDir%\\system32", buffer, 260);
  EXPECT_EQ(std::u16string(buffer), u"D:\\Win\\system32");
  // The system directory does not move with the variable.
  EXPECT_EQ(LoadLibraryExW(u"D:\\Win\\system32\\cabinet.dll", nullptr, 0), nullptr);
  EXPECT_NE(LoadLibraryExW(u"C:\\Windows\\system32\\cabinet.dll", nullptr, 0), nullptr);
}

TEST_F(Kernel32LibraryTest, Utf8ToUtf16) {
  struct Case {
    std::string label, source;
    int length;  // -1: terminated
    DWORD flags;
    std::u16string expected;  // terminator included when converted
    DWORD error;
  } cases[] = {
      {"ascii, terminated", "setup.exe", -1, 0, std::u16string(u"setup.exe") + u'\0', 0},
      {"counted, no terminator", "setup.exe", 5, 0, u"setup", 0},
      {"two, three and four bytes", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", 9, 0, u"\u00E9\u65E5\U0001F600", 0},
      {"lone continuation byte", "a\x80z", 3, 0, u"a\uFFFDz", 0},
      {"cut sequence is one U+FFFD", "\xE6\x97z", 3, 0, u"\uFFFDz", 0},
      {"overlong", "\xC0\xAF", 2, 0, u"\uFFFD\uFFFD", 0},
      {"encoded surrogate", "\xED\xA0\x80", 3, 0, u"\uFFFD\uFFFD\uFFFD", 0},
      {"invalid with the flag", "a\x80", 2, MB_ERR_INVALID_CHARS, u"", ERROR_NO_UNICODE_TRANSLATION},
      {"length 0", "a", 0, 0, u"", ERROR_INVALID_PARAMETER},
      {"unknown flag", "a", 1, 0x1, u"", ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    const int size = MultiByteToWideChar(CP_UTF8, c.flags, c.source.c_str(), c.length, nullptr, 0);
    if (c.error != 0) {
      EXPECT_EQ(size, 0) << c.label;
      EXPECT_EQ(GetLastError(), c.error) << c.label;
      continue;
    }
    ASSERT_EQ(size, static_cast<int>(c.expected.size())) << c.label;
    std::u16string out(size + 1, u'#');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, c.flags, c.source.c_str(), c.length, out.data(), size), size) << c.label;
    EXPECT_EQ(out.substr(0, size), c.expected) << c.label;
    EXPECT_EQ(out[size], u'#') << c.label;
    if (size > 1) {
      EXPECT_EQ(MultiByteToWideChar(CP_UTF8, c.flags, c.source.c_str(), c.length, out.data(), size - 1), 0);
      EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << c.label;
    }
  }
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, nullptr, 0), 0);  // only UTF-8 is simulated
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel32LibraryTest, Utf16ToUtf8) {
  struct Case {
    std::string label;
    std::u16string source;
    int length;
    DWORD flags;
    std::string expected;
    DWORD error;
  } cases[] = {
      {"ascii, terminated", u"C:\\W\\", -1, 0, std::string("C:\\W\\") + '\0', 0},
      {"beyond every ANSI code page", u"\u65E5\u672C\U0001F600", 4, 0, "\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80", 0},
      {"lone surrogate", std::u16string(u"a") + char16_t(0xD800) + u"b", 3, 0, "a\xEF\xBF\xBD" "b", 0},
      {"lone surrogate with the flag", std::u16string(1, char16_t(0xDC00)), 1, WC_ERR_INVALID_CHARS, "",
       ERROR_NO_UNICODE_TRANSLATION},
      {"length below -1", u"a", -2, 0, "", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    const int size = WideCharToMultiByte(CP_UTF8, c.flags, c.source.c_str(), c.length, nullptr, 0, nullptr, nullptr);
    if (c.error != 0) {
      EXPECT_EQ(size, 0) << c.label;
      EXPECT_EQ(GetLastError(), c.error) << c.label;
      continue;
    }
    ASSERT_EQ(size, static_cast<int>(c.expected.size())) << c.label;
    std::string out(size + 1, '#');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, c.flags, c.source.c_str(), c.length, out.data(), size, nullptr, nullptr), size);
    EXPECT_EQ(out.substr(0, size), c.expected) << c.label;
    EXPECT_EQ(out[size], '#') << c.label;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, c.flags, c.source.c_str(), c.length, out.data(), size - 1, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << c.label;
  }
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, nullptr, &used), 0);  // no default char in UTF-8
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

ULONGLONG Ticks(const FILETIME& time) { return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

TEST_F(Kernel32LibraryTest, DosDateTimeToFileTime) {
  struct Case {
    const char* label;
    WORD date, time;
    ULONGLONG ticks;  // 0: refused
  } cases[] = {
      {"2020-01-02 10:20:30", (40 << 9) | (1 << 5) | 2, (10 << 11) | (20 << 5) | 15, 132224340300000000ull},
      {"1980-01-01 00:00:00", (1 << 5) | 1, 0, 119600064000000000ull},
      {"2107-12-31 23:59:58", (127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29, 159992927980000000ull},
      {"2020-02-29 (leap day)", (40 << 9) | (2 << 5) | 29, 0, 132274080000000000ull},
      {"day 0", (40 << 9) | (1 << 5), 0, 0},
      {"month 13", (40 << 9) | (13 << 5) | 1, 0, 0},
      {"2021-02-29", (41 << 9) | (2 << 5) | 29, 0, 0},
      {"hour 24", (40 << 9) | (1 << 5) | 1, 24 << 11, 0},
      {"minute 60", (40 << 9) | (1 << 5) | 1, 60 << 5, 0},
      {"second 60", (40 << 9) | (1 << 5) | 1, 30, 0},
  };
  for (const Case& c : cases) {
    FILETIME time{0xAAAA, 0xBBBB};
    SetLastError(0);
    const BOOL converted = DosDateTimeToFileTime(c.date, c.time, &time);
    EXPECT_EQ(converted != FALSE, c.ticks != 0) << c.label;
    if (c.ticks != 0) {
      EXPECT_EQ(Ticks(time), c.ticks) << c.label;
    } else {
      EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.label;
    }
  }
}

TEST_F(Kernel32LibraryTest, LocalFileTimeUsesTheMachinesTimeZone) {
  const ULONGLONG local = 132224340300000000ull;  // 2020-01-02 10:20:30
  const ULONGLONG hour = 36000000000ull;
  struct Case {
    std::string offset;
    ULONGLONG utc;  // 0: refused
  } cases[] = {
      {"", local},
      {"+00:00", local},
      {"+02:00", local - 2 * hour},
      {"-05:30", local + 5 * hour + hour / 2},
      {"+2", 0},  // malformed
  };
  for (const Case& c : cases) {
    Restart("time_zone_offset", c.offset);
    const FILETIME in{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
    FILETIME out{};
    const BOOL converted = LocalFileTimeToFileTime(&in, &out);
    EXPECT_EQ(converted != FALSE, c.utc != 0) << c.offset;
    if (c.utc != 0) {
      EXPECT_EQ(Ticks(out), c.utc) << c.offset;
    }
  }
  Restart("time_zone_offset", "+01:00");
  FILETIME early{1000, 0}, out{};
  EXPECT_FALSE(LocalFileTimeToFileTime(&early, &out));  // before 1601 in UTC
  FILETIME same{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
  EXPECT_FALSE(LocalFileTimeToFileTime(&same, &same));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
