// Cabinet extraction against the simulated Windows and its cabinet library stand-in:
// what lands at the destination, its time and attributes, every way to fail without
// leaving a file, library loading, non-ANSI paths and what stays allocated.
#include "stub/payload/cabinet_extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildCabinet;
using testing_support::BuiltFile;
using testing_support::BuiltFolder;

constexpr char16_t kCabinet[] = u"C:\\work\\SETUP.EX_";
constexpr char16_t kDestination[] = u"C:\\work\\setup.exe";
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a FILETIME

// Bytes that compress unevenly, longer than one 32 KiB block.
std::string Program(size_t bytes, char seed) {
  std::string data(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>((i * 7 + seed + (i >> 9)) % 251);
  return data;
}

std::string OneFileCabinet(const std::string& contents, const std::string& name = "setup.exe",
                           uint16_t compression = 1) {
  return BuildCabinet({BuiltFolder{compression, {BuiltFile{name, contents}}}});
}

class CabinetExtractionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test is a fresh process: nothing of an earlier one's library stays loaded.
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    fs::create_directories(machine_.root() / "C" / "work");
  }

  // Settings of machine.conf, written before the process starts.
  void Configure(const std::string& lines) { std::ofstream(machine_.root() / "machine.conf") << lines; }

  sim::Process& Start(std::vector<sim::FaultRule> faults = {}) {
    sim::ProcessOptions options;
    options.faults = std::move(faults);
    options.trace_file = (machine_.root().parent_path() / (machine_.root().filename().string() + ".trace")).string();
    trace_file_ = options.trace_file;
    fs::remove(trace_file_);
    process_ = &machine_.Start(options);
    return *process_;
  }

  std::string Trace() const { return testing_support::ReadHostFile(trace_file_); }
  size_t Count(const std::string& call) const {
    const std::string trace = Trace();
    size_t count = 0;
    for (size_t at = trace.find(call); at != std::string::npos; at = trace.find(call, at + 1)) ++count;
    return count;
  }
  // The arguments of each traced call of `function`, in call order; for functions whose
  // arguments are numbers and pointers, which hold no ", ".
  std::vector<std::vector<std::string>> Arguments(const std::string& function) const {
    std::vector<std::vector<std::string>> calls;
    std::istringstream lines(Trace());
    for (std::string line; std::getline(lines, line);) {
      const size_t call = line.find(function + "(");
      const size_t end = line.find(")", call);
      if (call == std::string::npos || end == std::string::npos) continue;
      std::vector<std::string>& arguments = calls.emplace_back();
      for (size_t at = call + function.size() + 1;;) {
        const size_t next = std::min(line.find(", ", at), end);
        arguments.push_back(line.substr(at, next - at));
        if (next == end) break;
        at = next + 2;
      }
    }
    return calls;
  }
  // The byte counts asked of HeapAlloc, in call order.
  std::vector<std::string> AllocationSizes() const {
    std::vector<std::string> sizes;
    for (const auto& arguments : Arguments("HeapAlloc")) sizes.push_back(arguments.at(2));
    return sizes;
  }
  bool Exists(const std::u16string& path) const { return fs::exists(machine_.HostPath(path, false)); }
  std::string Contents(const std::u16string& path) const {
    return testing_support::ReadHostFile(machine_.HostPath(path, false).string());
  }

  FILE_BASIC_INFO BasicInfo(const std::u16string& path) const {
    FILE_BASIC_INFO info{};
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info));
    CloseHandle(file);
    return info;
  }

  // Nothing of the call outlives it but the file and the loaded library.
  // Also: every process-heap call passes flags 0. That heap is shared with threads the
  // system starts, so HEAP_NO_SERIALIZE (1) must never reach it.
  void ExpectNothingLeft(const std::string& what) const {
    testing_support::ExpectNothingLeft(*process_, what);
    for (const char* function : {"HeapAlloc", "HeapFree"}) {
      for (const auto& arguments : Arguments(function)) {
        EXPECT_EQ(arguments.at(1), "0x0") << what << ": " << function;
      }
    }
  }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
  std::string trace_file_;
};

TEST_F(CabinetExtractionTest, TheFirstFileLandsAtTheDestinationWhateverItsNameOrFolderType) {
  const std::string first = Program(100000, 1), second = Program(5000, 2);
  struct Case {
    const char* what;
    std::string cabinet;
  };
  const Case cases[] = {
      {"MSZIP, named as the destination", OneFileCabinet(first)},
      {"MSZIP, another name inside", OneFileCabinet(first, "pellora-setup-1.2.bin")},
      {"stored", OneFileCabinet(first, "SETUP.EXE", 0)},
      {"two files in one folder",
       BuildCabinet({BuiltFolder{1, {BuiltFile{"a.exe", first}, BuiltFile{"setup.exe", second}}}})},
      {"two folders", BuildCabinet({BuiltFolder{0, {BuiltFile{"x", first}}}, BuiltFolder{1, {BuiltFile{"y", second}}}})},
      {"an empty first file", BuildCabinet({BuiltFolder{1, {BuiltFile{"empty", ""}, BuiltFile{"setup.exe", second}}}})},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kCabinet, c.cabinet);
    Start();
    ASSERT_TRUE(ExtractCabinet(kCabinet, kDestination)) << c.what << "\n" << Trace();
    const std::string expected = std::string(c.what) == "an empty first file" ? "" : first;
    EXPECT_EQ(Contents(kDestination), expected) << c.what;
    // Nothing else was written: the work folder holds the cabinet and the destination.
    EXPECT_EQ(std::distance(fs::directory_iterator(machine_.root() / "C" / "work"), fs::directory_iterator()), 2)
        << c.what;
    // The run ends right after the first file: one file opened for writing, one closed info.
    EXPECT_EQ(Count("CreateFileW(\"C:\\\\work\\\\setup.exe\""), 1u) << c.what;
    // The library opens the cabinet through the open callback: GENERIC_READ (0x80000000),
    // FILE_SHARE_READ | FILE_SHARE_DELETE (0x5), OPEN_EXISTING (3), FILE_ATTRIBUTE_NORMAL (0x80).
    const size_t cabinet_opens = Count("CreateFileW(\"C:\\\\work\\\\SETUP.EX_\"");
    EXPECT_GE(cabinet_opens, 1u) << c.what;
    EXPECT_EQ(Count("CreateFileW(\"C:\\\\work\\\\SETUP.EX_\", 0x80000000, 0x5, 3, 0x80)"), cabinet_opens)
        << c.what << "\n" << Trace();
    EXPECT_NE(Trace().find("FDICopy("), std::string::npos) << c.what;
    EXPECT_NE(Trace().find("FlushFileBuffers("), std::string::npos) << c.what;
    ExpectNothingLeft(c.what);
    fs::remove(machine_.HostPath(kDestination, false));
  }
}

TEST_F(CabinetExtractionTest, TheEntryDateBecomesTheCreationTimeInUtcAndNothingElse) {
  Configure("time_zone_offset = +02:00\n");
  BuiltFile file{"setup.exe", Program(40000, 3)};
  file.date = (40 << 9) | (1 << 5) | 2;   // 2020-01-02
  file.time = (10 << 11) | (20 << 5) | 15;  // 10:20:30
  machine_.WriteFile(kCabinet, BuildCabinet({BuiltFolder{1, {file}}}));
  Start();
  const ULONGLONG before = (static_cast<ULONGLONG>(time(nullptr)) - 5) * kTicksPerSecond + kUnixEpochTicks;
  ASSERT_TRUE(ExtractCabinet(kCabinet, kDestination)) << Trace();
  const FILE_BASIC_INFO info = BasicInfo(kDestination);
  // 10:20:30 at UTC+2 is 08:20:30 UTC.
  const ULONGLONG expected = 1577953230ull * kTicksPerSecond + kUnixEpochTicks;
  EXPECT_EQ(static_cast<ULONGLONG>(info.CreationTime), expected) << Trace();
  // The other times are the system's own, from the writing.
  EXPECT_GE(static_cast<ULONGLONG>(info.LastWriteTime), before);
  EXPECT_GE(static_cast<ULONGLONG>(info.LastAccessTime), before);
  EXPECT_GE(static_cast<ULONGLONG>(info.ChangeTime), before);
  EXPECT_NE(Trace().find("SetFileInformationByHandle("), std::string::npos);
}

TEST_F(CabinetExtractionTest, AnInvalidOrUnconvertibleDateLeavesTheCreationTimeAsTheSystemSetIt) {
  struct Case {
    const char* what;
    uint16_t date;
    std::vector<sim::FaultRule> faults;
  };
  const Case cases[] = {
      {"month 13", static_cast<uint16_t>((40 << 9) | (13 << 5) | 2), {}},
      {"local time not convertible", static_cast<uint16_t>((40 << 9) | (1 << 5) | 2),
       {{"LocalFileTimeToFileTime", 1, 87}}},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    BuiltFile file{"setup.exe", "MZ tiny"};
    file.date = c.date;
    machine_.WriteFile(kCabinet, BuildCabinet({BuiltFolder{1, {file}}}));
    Start(c.faults);
    const ULONGLONG before = (static_cast<ULONGLONG>(time(nullptr)) - 5) * kTicksPerSecond + kUnixEpochTicks;
    ASSERT_TRUE(ExtractCabinet(kCabinet, kDestination)) << c.what;
    EXPECT_GE(static_cast<ULONGLONG>(BasicInfo(kDestination).CreationTime), before) << c.what;
    EXPECT_EQ(Contents(kDestination), "MZ tiny") << c.what;
    ExpectNothingLeft(c.what);
  }
}

TEST_F(CabinetExtractionTest, OnlyReadOnlyHiddenSystemAndArchiveReachTheFile) {
  // What a file gets when nothing is applied.
  Start();
  const DWORD as_created = [&] {
    const HANDLE file = CreateFileW(u"C:\\work\\fresh", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(file);
    return GetFileAttributesW(u"C:\\work\\fresh");
  }();
  struct Case {
    uint16_t entry;
    DWORD file;
  };
  const Case cases[] = {
      {0x01, FILE_ATTRIBUTE_READONLY},
      {0x21, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {0x06, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {0x41, FILE_ATTRIBUTE_READONLY},  // executable dropped
      {0x81, FILE_ATTRIBUTE_READONLY},  // name-is-UTF-8 dropped
      {0xFF, 0x27},                      // directory, volume and the rest dropped
      {0xC0, as_created},                // none of the four: as created
      {0x00, as_created},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    BuiltFile file{"setup.exe", "MZ"};
    file.attributes = c.entry;
    machine_.WriteFile(kCabinet, BuildCabinet({BuiltFolder{1, {file}}}));
    Start();
    ASSERT_TRUE(ExtractCabinet(kCabinet, kDestination)) << std::hex << c.entry;
    EXPECT_EQ(GetFileAttributesW(kDestination), c.file) << std::hex << c.entry << "\n" << Trace();
    // What was asked of the system, before it dropped what it cannot set anyway.
    char asked[64];
    std::snprintf(asked, sizeof asked, ", FileAttributes=0x%x", c.entry & 0x27);
    EXPECT_NE(Trace().find(std::string(asked) + ", CreationTime="), std::string::npos)
        << asked << "\n" << Trace();
    ExpectNothingLeft("attributes");
    // Removed on the host, where the simulation's read-only attribute does not hold.
    fs::remove(machine_.HostPath(kDestination, false));
  }
}

TEST_F(CabinetExtractionTest, ADamagedCabinetGivesFalseAndNoDestination) {
  const std::string good = OneFileCabinet(Program(100000, 4));
  const auto layout = testing_support::LayoutOf(good);
  auto damaged = [&](size_t offset, char value) {
    std::string copy = good;
    copy[offset] = value;
    return copy;
  };
  struct Case {
    const char* what;
    std::string cabinet;
  };
  const Case cases[] = {
      {"cut in the last block", good.substr(0, good.size() - 100)},
      {"cut in the first block", good.substr(0, layout.first_block + 40)},
      {"cut in the header", good.substr(0, 20)},
      {"no signature", damaged(0, 'X')},
      {"deflate data broken", damaged(layout.first_block + 12, '\xFF')},
      {"MSZIP signature broken", damaged(layout.first_block + 8, 'Q')},
      {"empty file", ""},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kCabinet, c.cabinet);
    Start();
    EXPECT_FALSE(ExtractCabinet(kCabinet, kDestination)) << c.what;
    EXPECT_FALSE(Exists(kDestination)) << c.what << "\n" << Trace();
    ExpectNothingLeft(c.what);
  }
}

TEST_F(CabinetExtractionTest, AFileClosedWithOtherThanTheAnnouncedByteCountIsRefusedAndNotKept) {
  // A library that announces one size in fdintCOPY_FILE, writes another through the write
  // callback and still sends fdintCLOSE_FILE_INFO, as Wine's does on a cut cabinet.
  struct Case {
    const char* what;
    LONG announced;
    std::vector<UINT> writes;
    bool kept;
  };
  const Case cases[] = {
      {"nothing of 7168 written", 7168, {}, false},
      {"half written", 7168, {3584}, false},
      {"one byte short", 7168, {4096, 3071}, false},
      {"exactly as announced", 7168, {4096, 3072}, true},
      {"one byte more", 7168, {4096, 3073}, false},
      {"empty, as announced", 0, {}, true},
  };
  std::string bytes(8192, 'x');
  for (const Case& c : cases) {
    Start();
    {
      ExtractionContext context(kDestination);
      FDINOTIFICATION notification{};
      notification.pv = &context;
      notification.cb = c.announced;
      const INT_PTR file = CabinetNotify(fdintCOPY_FILE, &notification);
      ASSERT_NE(file, -1) << c.what;
      ASSERT_NE(file, 0) << c.what;
      size_t total = 0;
      for (UINT write : c.writes) {
        ASSERT_EQ(CabinetWrite(file, bytes.data(), write), write) << c.what;
        total += write;
      }
      notification = FDINOTIFICATION{};
      notification.pv = &context;
      notification.hf = file;
      // Either way the copy run ends here: the first file is all that is wanted.
      EXPECT_EQ(CabinetNotify(fdintCLOSE_FILE_INFO, &notification), -1) << c.what;
      EXPECT_EQ(context.extracted, c.kept) << c.what;
      context.output_file.Close();
      EXPECT_EQ(Exists(kDestination), c.kept) << c.what << "\n" << Trace();
      if (c.kept) {
        EXPECT_EQ(Contents(kDestination).size(), total) << c.what;
      }
    }
    ExpectNothingLeft(c.what);
    fs::remove(machine_.HostPath(kDestination, false));
  }
}

TEST_F(CabinetExtractionTest, FailuresOfTheFileCallsLeaveNoDestination) {
  struct Case {
    const char* what;
    sim::FaultRule fault;
  };
  const Case cases[] = {
      {"a write fails", {"WriteFile", 2, 112}},
      {"a read fails", {"ReadFile", 3, 30}},
      {"the cabinet cannot be opened", {"CreateFileW", 1, 32}},
      {"the destination cannot be created", {"CreateFileW", 2, 5}},
      {"the destination handle cannot be duplicated", {"DuplicateHandle", 1, 8}},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kCabinet, OneFileCabinet(Program(200000, 5)));
    Start({c.fault});
    EXPECT_FALSE(ExtractCabinet(kCabinet, kDestination)) << c.what;
    EXPECT_FALSE(Exists(kDestination)) << c.what << "\n" << Trace();
    EXPECT_TRUE(Exists(kCabinet)) << c.what;
    ExpectNothingLeft(c.what);
  }
}

TEST_F(CabinetExtractionTest, ADestinationTooLongOrInAMissingFolderGivesFalseAndNoFile) {
  std::u16string long_destination = u"C:\\work\\";
  long_destination += std::u16string(260 - long_destination.size(), u'x');
  ASSERT_EQ(long_destination.size(), 260u);
  const std::u16string cases[] = {long_destination, long_destination.substr(0, 259) + u"\\a",
                                  u"C:\\work\\missing\\setup.exe", u"C:\\work"};
  for (const std::u16string& destination : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kCabinet, OneFileCabinet("MZ"));
    Start();
    EXPECT_FALSE(ExtractCabinet(kCabinet, destination.c_str())) << sim::ToUtf8(destination);
    EXPECT_EQ(std::distance(fs::directory_iterator(machine_.root() / "C" / "work"), fs::directory_iterator()), 1)
        << sim::ToUtf8(destination);
    ExpectNothingLeft(sim::ToUtf8(destination));
  }
}

TEST_F(CabinetExtractionTest, ACabinetPathWithoutAUsableBackslashFailsBeforeTheLibraryIsCreated) {
  machine_.WriteFile(u"C:\\SETUP.EX_", OneFileCabinet("MZ"));
  // The empty path has a path after its terminator, which must not be read.
  const std::vector<std::u16string> paths = {u"SETUP.EX_", u"\\SETUP.EX_", u"C:SETUP.EX_",
                                             std::u16string(u"\0C:\\SETUP.EX_", 13)};
  for (const std::u16string& path : paths) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    Start();
    EXPECT_FALSE(ExtractCabinet(path.c_str(), kDestination)) << sim::ToUtf8(path);
    EXPECT_EQ(Trace().find("FDICreate("), std::string::npos) << sim::ToUtf8(path) << "\n" << Trace();
    EXPECT_EQ(Trace().find("WideCharToMultiByte("), std::string::npos) << sim::ToUtf8(path);
    EXPECT_FALSE(Exists(kDestination));
    ExpectNothingLeft(sim::ToUtf8(path));
  }
  // A backslash after the first unit is enough: the directory is "\".
  cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
  Start();
  EXPECT_TRUE(ExtractCabinet(u"C:\\SETUP.EX_", kDestination)) << Trace();
}

TEST_F(CabinetExtractionTest, TheLibraryComesOnlyFromTheSystemDirectory) {
  // Libraries that are not the system's, planted where a user could put them: at a WINDIR
  // of the user's choice and beside the executable. None of them is ever handed to the
  // loader, whatever the environment says.
  machine_.WriteFile(u"C:\\Planted\\system32\\cabinet.dll", "MZ planted");
  machine_.WriteFile(u"C:\\Planted\\cabinet.dll", "MZ planted");
  machine_.WriteFile(u"C:\\Setup\\cabinet.dll", "MZ planted");
  // 247 units of directory and "\cabinet.dll" fill a path's 259 units; one more cannot be
  // named, nor can a directory that leaves no room for the backslash.
  const std::string longest = "C:\\" + std::string(244, 's');
  const std::string too_long = longest + "s";
  const std::string full = "C:\\" + std::string(256, 's');
  struct Case {
    const char* what;
    std::string settings;
    std::vector<sim::FaultRule> faults;
    bool loads;
    size_t attempts;  // LoadLibraryExW calls, each naming the system's library
    std::string library = "C:\\Windows\\System32\\cabinet.dll";
  };
  const Case cases[] = {
      {"defaults", "", {}, true, 1},
      {"WINDIR and SYSTEMROOT planted", "environment.WINDIR = C:\\Planted\nenvironment.SYSTEMROOT = C:\\Planted\n", {},
       true, 1},
      {"WINDIR and SYSTEMROOT undefined", "environment.WINDIR =\nenvironment.SYSTEMROOT =\n", {}, true, 1},
      {"WINDIR too long", "environment.WINDIR = C:\\" + std::string(250, 'w') + "\n", {}, true, 1},
      {"the system directory is not given", "", {{"GetSystemDirectoryW", 1, 8}}, false, 0},
      {"the library does not load", "", {{"LoadLibraryExW", 1, 126}}, false, 1},
      // A root keeps its backslash, and no second one is added.
      {"the system directory is a root", "system_directory = C:\\\n", {}, true, 1, "C:\\cabinet.dll"},
      {"the longest system directory", "system_directory = " + longest + "\n", {}, true, 1,
       longest + "\\cabinet.dll"},
      {"a system directory one unit too long", "system_directory = " + too_long + "\n", {}, false, 0},
      {"a system directory that fills the path", "system_directory = " + full + "\n", {}, false, 0},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    Configure(c.settings);
    machine_.WriteFile(kCabinet, OneFileCabinet("MZ"));
    sim::ProcessOptions options;
    options.image = u"C:\\Setup\\installer.exe";
    options.faults = c.faults;
    options.trace_file = (machine_.root().parent_path() / (machine_.root().filename().string() + ".trace")).string();
    trace_file_ = options.trace_file;
    fs::remove(trace_file_);
    process_ = &machine_.Start(options);
    EXPECT_EQ(ExtractCabinet(kCabinet, kDestination), c.loads) << c.what << "\n" << Trace();
    EXPECT_EQ(Count("GetSystemDirectoryW("), 1u) << c.what;
    EXPECT_EQ(Count("LoadLibraryExW("), c.attempts) << c.what << "\n" << Trace();
    EXPECT_EQ(Count("LoadLibraryExW(" + sim::Quoted(sim::ToUtf16(c.library)) + ", null, 0x8)"), c.attempts)
        << c.what << "\n" << Trace();
    EXPECT_EQ(Count("Planted"), 0u) << c.what << "\n" << Trace();
    EXPECT_EQ(Count("Setup\\\\cabinet"), 0u) << c.what << "\n" << Trace();
    EXPECT_EQ(Count("ExpandEnvironmentStringsW("), 0u) << c.what;
    const auto modules = process_->Snapshot().loaded_modules;
    ASSERT_EQ(modules.size(), c.loads ? 1u : 0u) << c.what;
    if (c.loads) {
      EXPECT_EQ(sim::ToUtf8(modules[0].path), c.library) << c.what;
      EXPECT_EQ(modules[0].module, cabinet_library.module) << c.what;
    } else {
      EXPECT_EQ(Count("GetProcAddress("), 0u) << c.what;
      EXPECT_EQ(Trace().find("FDICreate("), std::string::npos) << c.what;
      EXPECT_EQ(cabinet_library.module, nullptr) << c.what;
    }
    ExpectNothingLeft(c.what);
    fs::remove(machine_.HostPath(kDestination, false));
  }
}

TEST_F(CabinetExtractionTest, TheLibraryStaysLoadedAndItsEntryPointsAreLookedUpOnEveryCall) {
  // The first call cannot load it; the second tries again and loads; the third reuses it.
  machine_.WriteFile(kCabinet, OneFileCabinet("MZ first"));
  Start({{"LoadLibraryExW", 1, 126}});
  EXPECT_FALSE(ExtractCabinet(kCabinet, kDestination));
  EXPECT_TRUE(ExtractCabinet(kCabinet, kDestination)) << Trace();
  EXPECT_TRUE(ExtractCabinet(kCabinet, kDestination));
  EXPECT_EQ(Count("LoadLibraryExW("), 2u);
  EXPECT_EQ(Count("GetSystemDirectoryW("), 2u);  // not asked again once loaded
  EXPECT_EQ(Count("GetProcAddress("), 6u);
  for (const char* name : {"\"FDICreate\"", "\"FDIDestroy\"", "\"FDICopy\""}) {
    EXPECT_EQ(Count(name), 2u) << name;
  }
  // In that order.
  const std::string trace = Trace();
  EXPECT_LT(trace.find("\"FDICreate\""), trace.find("\"FDIDestroy\""));
  EXPECT_LT(trace.find("\"FDIDestroy\""), trace.find("\"FDICopy\""));
  EXPECT_EQ(process_->Snapshot().loaded_modules.size(), 1u);
  ExpectNothingLeft("three calls");
}

TEST_F(CabinetExtractionTest, AMissingEntryPointFailsAndKeepsTheLibrary) {
  machine_.WriteFile(kCabinet, OneFileCabinet("MZ"));
  Start({{"GetProcAddress", 3, 127}});
  EXPECT_FALSE(ExtractCabinet(kCabinet, kDestination));
  EXPECT_EQ(Trace().find("FDICreate("), std::string::npos);
  EXPECT_NE(cabinet_library.module, nullptr);
  EXPECT_TRUE(ExtractCabinet(kCabinet, kDestination)) << Trace();
  EXPECT_EQ(Count("LoadLibraryExW("), 1u);
  ExpectNothingLeft("missing entry point");
}

TEST_F(CabinetExtractionTest, FailedConversionsAndAllocationsFreeWhatWasMadeAndLeaveNoFile) {
  struct Case {
    const char* what;
    sim::FaultRule fault;
    size_t conversions;  // WideCharToMultiByte calls: a failed size is followed by no conversion
    bool reaches_fdi_create;
    bool reaches_fdi_copy = false;
    size_t conversions_back = 0;  // MultiByteToWideChar calls, the same way
  };
  const Case cases[] = {
      {"the name's size", {"WideCharToMultiByte", 1, 87}, 3, false},
      {"the name's conversion", {"WideCharToMultiByte", 2, 122}, 4, false},
      {"the directory's size", {"WideCharToMultiByte", 3, 87}, 3, false},
      {"the directory's conversion", {"WideCharToMultiByte", 4, 122}, 4, false},
      {"the name's block", {"HeapAlloc", 1, 8}, 3, false},
      {"the directory's block", {"HeapAlloc", 2, 8}, 3, false},
      {"the library's context", {"HeapAlloc", 3, 8}, 4, true},
      {"the library refuses to start", {"FDICreate", 1, 8}, 4, true},
      {"the cabinet path's size back in UTF-16", {"MultiByteToWideChar", 1, 1113}, 4, true, true, 1},
      {"the cabinet path's conversion back", {"MultiByteToWideChar", 2, 122}, 4, true, true, 2},
      {"the cabinet path's block back", {"HeapAlloc", 5, 8}, 4, true, true, 1},
  };
  for (const Case& c : cases) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kCabinet, OneFileCabinet("MZ"));
    Start({c.fault});
    EXPECT_FALSE(ExtractCabinet(kCabinet, kDestination)) << c.what;
    EXPECT_EQ(Count("WideCharToMultiByte("), c.conversions) << c.what;
    EXPECT_EQ(Trace().find("FDICreate(") != std::string::npos, c.reaches_fdi_create) << c.what << "\n" << Trace();
    EXPECT_EQ(Trace().find("FDICopy(") != std::string::npos, c.reaches_fdi_copy) << c.what;
    EXPECT_EQ(Count("MultiByteToWideChar("), c.conversions_back) << c.what;
    // Neither the cabinet nor the destination was opened, and the library was handed no
    // handle to read from.
    EXPECT_EQ(Trace().find("CreateFileW("), std::string::npos) << c.what;
    for (const char* call : {"ReadFile(", "SetFilePointer(", "CloseHandle("}) {
      EXPECT_EQ(Count(call), 0u) << c.what << ": " << call;
    }
    EXPECT_FALSE(Exists(kDestination)) << c.what;
    ExpectNothingLeft(c.what);
  }
}

// The library names the access it wants in C run-time flags (write-only 1, read-write 2,
// create 0x100); the open callback asks for GENERIC_READ 0x80000000 and GENERIC_WRITE
// 0x40000000 to match, CREATE_ALWAYS (2) or OPEN_EXISTING (3), and always shares read and
// delete (0x5) with FILE_ATTRIBUTE_NORMAL (0x80).
TEST_F(CabinetExtractionTest, TheOpenCallbackAsksForTheAccessTheLibraryNames) {
  struct Case {
    int flags;
    const char* arguments;
  } cases[] = {
      {0x8000, "0x80000000, 0x5, 3, 0x80)"},
      {0x8000 | 0x1 | 0x100 | 0x200, "0x40000000, 0x5, 2, 0x80)"},
      {0x8000 | 0x2, "0xc0000000, 0x5, 3, 0x80)"},
      {0x8000 | 0x2 | 0x100, "0xc0000000, 0x5, 2, 0x80)"},
  };
  for (const Case& c : cases) {
    machine_.WriteFile(kCabinet, "cabinet");
    Start();
    char path[] = "C:\\work\\SETUP.EX_";
    const INT_PTR file = CabinetOpen(path, c.flags, 0);
    ASSERT_NE(file, -1) << c.flags;
    EXPECT_EQ(Count(std::string("CreateFileW(\"C:\\\\work\\\\SETUP.EX_\", ") + c.arguments), 1u) << Trace();
    EXPECT_EQ(CabinetClose(file), 0);
    ExpectNothingLeft(std::to_string(c.flags));
  }
}

// The library reads the callbacks' results as documented: -1 (as UINT, 0xFFFFFFFF, from
// read and write) for a failed call, and a seek's new position.
TEST_F(CabinetExtractionTest, TheFileCallbacksReportWhatTheLibraryExpects) {
  machine_.WriteFile(kCabinet, "0123456789");
  Start();
  char cabinet[] = "C:\\work\\SETUP.EX_";
  const INT_PTR file = CabinetOpen(cabinet, 0x8000, 0);
  ASSERT_NE(file, -1);
  EXPECT_EQ(CabinetSeek(file, 4, 0), 4);   // from the start
  EXPECT_EQ(CabinetSeek(file, 2, 1), 6);   // from here
  EXPECT_EQ(CabinetSeek(file, -3, 2), 7);  // from the end
  char buffer[16] = {};
  EXPECT_EQ(CabinetRead(file, buffer, sizeof buffer), 3u);
  EXPECT_EQ(std::string(buffer, 3), "789");
  EXPECT_EQ(CabinetWrite(file, buffer, 3), 0xFFFFFFFFu);  // opened for reading only
  EXPECT_EQ(CabinetClose(file), 0);
  // The handle is gone: every call on it fails.
  EXPECT_EQ(CabinetRead(file, buffer, 1), 0xFFFFFFFFu);
  EXPECT_EQ(CabinetSeek(file, 0, 0), -1);
  EXPECT_EQ(CabinetClose(file), -1);
  // A write with no extraction under way is reported and counted for no one.
  char spill[] = "C:\\work\\spill.tmp";
  const INT_PTR output = CabinetOpen(spill, 0x8000 | 0x1 | 0x100 | 0x200, 0);
  ASSERT_NE(output, -1);
  EXPECT_EQ(CabinetWrite(output, buffer, 3), 3u);
  EXPECT_EQ(CabinetClose(output), 0);
  EXPECT_EQ(Contents(u"C:\\work\\spill.tmp"), "789");
  ExpectNothingLeft("callbacks");
}

// Only the first file's own notifications let the run go on (0); a file continued from
// an earlier cabinet, a next cabinet or anything unknown stops it (-1).
TEST_F(CabinetExtractionTest, NotificationsOutsideTheFirstFileStopTheRun) {
  Start();
  ExtractionContext context(kDestination);
  FDINOTIFICATION notification{};
  notification.pv = &context;
  const std::pair<int, INT_PTR> cases[] = {{0, 0}, {5, 0}, {1, -1}, {4, -1}, {6, -1}, {99, -1}};
  for (const auto& [type, result] : cases) {
    EXPECT_EQ(CabinetNotify(static_cast<FDINOTIFICATIONTYPE>(type), &notification), result) << type;
  }
  EXPECT_FALSE(context.extracted);
  EXPECT_FALSE(Exists(kDestination));
}

TEST_F(CabinetExtractionTest, PathsOutsideAnyAnsiCodePageCrossTheLibraryAsUtf8) {
  const std::u16string directory = u"C:\\Users\\J\u00fcrgen\\\u4e0b\u8f7d\\\U0001F4E6\\";
  const std::u16string cabinet = directory + u"SETUP.\u0395\u03a7_";
  const std::u16string destination = directory + u"setup.exe";
  const std::string contents = Program(70000, 6);
  machine_.WriteFile(cabinet, OneFileCabinet(contents));
  Start();
  ASSERT_TRUE(ExtractCabinet(cabinet.c_str(), destination.c_str())) << Trace();
  EXPECT_EQ(Contents(destination), contents);
  // The library got the name and the directory (with its backslash) in UTF-8, and the
  // copy flags 0 that it documents.
  const std::string copy_arguments =
      "\"" + sim::ToUtf8(u"SETUP.\u0395\u03a7_") + "\", \"" + sim::ToUtf8(directory) + "\", 0)";
  EXPECT_NE(Trace().find(copy_arguments), std::string::npos) << Trace();
  EXPECT_NE(Trace().find(sim::ToUtf8(u"\u4e0b\u8f7d")), std::string::npos);
  // Each of the two blocks holds its UTF-8 text and one terminator, no more: the name's
  // 11 bytes, then the directory's 29.
  const std::vector<std::string> sizes = AllocationSizes();
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(sizes.begin(), sizes.begin() + 2), (std::vector<std::string>{"12", "30"}));
  ExpectNothingLeft("non-ANSI");
}

}  // namespace
