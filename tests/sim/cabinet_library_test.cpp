// The cabinet library stand-in against the FDI contract and against cabinets made by an
// independent tool (gcab).
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/errors.h"
#include "platform/fdi.h"
#include "platform/kernel32_library.h"
#include "sim/cabinet/cabinet_layout.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/fdi_harness.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::BuildCabinet;
using testing_support::BuiltFile;
using testing_support::BuiltFolder;
using testing_support::FdiRunOptions;
using testing_support::FdiRunResult;
using testing_support::RunFdiCopy;

// The independent judges, where their Debian packages put them.
constexpr const char* kGcab = "/usr/bin/gcab";
constexpr const char* kCabextract = "/usr/bin/cabextract";

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// Compressible text that repeats over more than one 32 KiB block, so that MSZIP blocks
// refer back into the previous block's history.
std::string RepeatingText(size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line) text += "line " + std::to_string(line % 997) + " of the setup program\r\n";
  return text.substr(0, size);
}

class CabinetLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.Start(); }

  std::string Directory() const { return (machine_.root() / "host").string() + "/"; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories(Directory());
    std::ofstream(Directory() + name, std::ios::binary | std::ios::trunc) << bytes;
    return Directory() + name;
  }
  FdiRunResult Run(const std::string& cabinet, const FdiRunOptions& options = {}) {
    Write("test.cab", cabinet);
    return RunFdiCopy(Directory(), "test.cab", options);
  }
  // Every run, whatever its outcome, gives back all memory and closes the cabinet.
  static void ExpectReleased(const FdiRunResult& result) {
    EXPECT_EQ(result.live_allocations, 0);
    EXPECT_EQ(result.open_cabinets, 0);
  }

  testing_support::TestMachine machine_;
};

std::vector<FDINOTIFICATIONTYPE> Types(const FdiRunResult& result) {
  std::vector<FDINOTIFICATIONTYPE> types;
  for (const auto& n : result.notifications) types.push_back(n.type);
  return types;
}

TEST_F(CabinetLibraryTest, ExpandsCabinetsMadeByGcab) {
  const std::map<std::string, std::string> files = {
      {"setup.exe", RandomBytes(70000, 1)},      // three blocks, incompressible
      {"notes.txt", RepeatingText(100000)},     // four blocks with back-references
      {"empty.dat", ""},
      {"one.bin", "x"},
  };
  struct Case {
    const char* label;
    bool compressed;
    std::vector<std::string> names;
  } cases[] = {
      {"MSZIP, one file", true, {"setup.exe"}},
      {"stored, one file", false, {"setup.exe"}},
      {"MSZIP, several files", true, {"notes.txt", "empty.dat", "setup.exe", "one.bin"}},
      {"stored, several files", false, {"one.bin", "notes.txt", "setup.exe"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> command = {kGcab, "-c", "-n"};
    if (c.compressed) command.push_back("-z");
    command.push_back(Directory() + "gcab.cab");
    for (const auto& name : c.names) command.push_back(Write(name, files.at(name)));
    const auto made = testing_support::RunHostCommand(command);
    ASSERT_EQ(made.exit_status, 0) << made.output;

    const FdiRunResult result = RunFdiCopy(Directory(), "gcab.cab");
    EXPECT_TRUE(result.copied) << c.label << " erf " << result.erf.erfOper;
    EXPECT_EQ(result.files, c.names) << c.label;
    for (const auto& name : c.names) {
      EXPECT_TRUE(result.output.at(name) == files.at(name)) << c.label << ": " << name << " differs";
    }
    ExpectReleased(result);
  }
}

TEST_F(CabinetLibraryTest, ExpandsSeveralFoldersOfBothKindsWithReserveAndChecksums) {
  const std::string big = RepeatingText(90000), noise = RandomBytes(40000, 2);
  const std::vector<BuiltFolder> folders = {
      {1, {{"a.txt", big}, {"b.bin", noise}}},
      {0, {{"c.bin", noise.substr(0, 33000)}, {"d.txt", "tiny"}}},
      {1, {{"e.txt", big.substr(5, 40000)}}},
  };
  testing_support::CabinetOptions options;
  options.checksums = true;
  options.header_reserve = 20;
  options.folder_reserve = 3;
  options.block_reserve = 5;
  const std::string cabinet = BuildCabinet(folders, options);
  // The builder's output is itself judged by an independent reader.
  const auto judged = testing_support::RunHostCommand({kCabextract, "-t", Write("built.cab", cabinet)});
  ASSERT_EQ(judged.exit_status, 0) << judged.output;

  const FdiRunResult result = Run(cabinet);
  ASSERT_TRUE(result.copied) << result.erf.erfOper;
  EXPECT_EQ(result.files, (std::vector<std::string>{"a.txt", "b.bin", "c.bin", "d.txt", "e.txt"}));
  for (const auto& folder : folders) {
    for (const auto& file : folder.files) EXPECT_TRUE(result.output.at(file.name) == file.contents) << file.name;
  }
  ExpectReleased(result);
}

TEST_F(CabinetLibraryTest, NotificationsComeInOrderWithTheirFields) {
  const std::vector<BuiltFolder> folders = {{1,
                                             {{"first.exe", "abc", 0x5022, 0x52AF, 0x61},  // ARCH | EXEC | RDONLY
                                              {"second.txt", RepeatingText(40000), 0x4C42, 0x0000, 0x86}}}};
  testing_support::CabinetOptions options;
  options.set_id = 0xBEEF;
  options.cabinet_index = 0;
  const FdiRunResult result = Run(BuildCabinet(folders, options));
  ASSERT_TRUE(result.copied);
  ASSERT_EQ(Types(result), (std::vector<FDINOTIFICATIONTYPE>{fdintCABINET_INFO, fdintCOPY_FILE, fdintCLOSE_FILE_INFO,
                                                               fdintCOPY_FILE, fdintCLOSE_FILE_INFO}));
  const auto& n = result.notifications;
  void* const user = const_cast<FdiRunResult*>(&result);
  for (const auto& each : n) EXPECT_EQ(each.pv, user);  // the pvUser given to FDICopy
  // Cabinet information: no next cabinet, the path as given, the set's identity.
  EXPECT_EQ(n[0].psz1, "");
  EXPECT_EQ(n[0].psz2, "");
  EXPECT_EQ(n[0].psz3, Directory());
  EXPECT_EQ(n[0].setID, 0xBEEF);
  EXPECT_EQ(n[0].iCabinet, 0);
  // Copy: name, size, date, time and attributes as stored.
  EXPECT_EQ(n[1].psz1, "first.exe");
  EXPECT_EQ(n[1].cb, 3);
  EXPECT_EQ(n[1].date, 0x5022);
  EXPECT_EQ(n[1].time, 0x52AF);
  EXPECT_EQ(n[1].attribs, 0x61);
  // Close: the handle handed out, the attributes without _A_EXEC and cb = 1 to say "run it".
  EXPECT_EQ(n[2].psz1, "first.exe");
  EXPECT_GE(n[2].hf, 0x10000);
  EXPECT_EQ(n[2].date, 0x5022);
  EXPECT_EQ(n[2].time, 0x52AF);
  EXPECT_EQ(n[2].attribs, 0x21);
  EXPECT_EQ(n[2].cb, 1);
  EXPECT_EQ(n[3].cb, 40000);
  EXPECT_EQ(n[4].attribs, 0x86);  // no _A_EXEC to drop; the UTF name bit passes through
  EXPECT_EQ(n[4].cb, 0);
  EXPECT_NE(n[4].hf, n[2].hf);
  EXPECT_EQ(result.opened_path, Directory() + "test.cab");  // directory and name joined
  EXPECT_EQ(result.open_flags & (_O_WRONLY | _O_RDWR | _O_CREAT), 0);
}

TEST_F(CabinetLibraryTest, AnswersStopOrSkipAsDocumented) {
  const std::string second = RepeatingText(50000);
  const std::string cabinet = BuildCabinet({{1, {{"one", RepeatingText(45000)}, {"two", second}}}});
  struct Case {
    const char* label;
    FDINOTIFICATIONTYPE type;
    int occurrence;  // 1-based among notifications of that type
    INT_PTR answer;
    bool copied;
    std::vector<FDINOTIFICATIONTYPE> seen;
    std::vector<std::string> extracted;
    int closed_by_library;
  } cases[] = {
      {"abort at cabinet info", fdintCABINET_INFO, 1, -1, false, {fdintCABINET_INFO}, {}, 0},
      {"abort at the first copy", fdintCOPY_FILE, 1, -1, false, {fdintCABINET_INFO, fdintCOPY_FILE}, {}, 0},
      {"abort after the first file", fdintCLOSE_FILE_INFO, 1, -1, false,
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintCLOSE_FILE_INFO}, {"one"}, 0},
      {"FALSE at close aborts too", fdintCLOSE_FILE_INFO, 1, FALSE, false,
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintCLOSE_FILE_INFO}, {"one"}, 0},
      {"skip the first file", fdintCOPY_FILE, 1, 0, true,
       {fdintCABINET_INFO, fdintCOPY_FILE, fdintCOPY_FILE, fdintCLOSE_FILE_INFO}, {"two"}, 0},
  };
  for (const Case& c : cases) {
    FdiRunOptions options;
    std::map<FDINOTIFICATIONTYPE, int> counts;
    options.answer = [&](const testing_support::RecordedNotification& n) -> INT_PTR {
      if (n.type == c.type && ++counts[n.type] == c.occurrence) return c.answer;
      return n.type == fdintCOPY_FILE ? 1 : n.type == fdintCLOSE_FILE_INFO ? TRUE : 0;
    };
    const FdiRunResult result = Run(cabinet, options);
    EXPECT_EQ(result.copied, c.copied ? TRUE : FALSE) << c.label;
    if (!c.copied) {
      EXPECT_EQ(result.erf.erfOper, FDIERROR_USER_ABORT) << c.label;
      EXPECT_EQ(result.erf.fError, TRUE) << c.label;
    }
    EXPECT_EQ(Types(result), c.seen) << c.label;
    EXPECT_EQ(result.files, c.extracted) << c.label;
    EXPECT_EQ(result.outputs_closed_by_library, c.closed_by_library) << c.label;
    if (c.label == std::string("skip the first file")) {
      EXPECT_TRUE(result.output.at("two") == second);
    }
    ExpectReleased(result);
  }
}

// Damage to one field gives a clean refusal with the documented error, and nothing leaks.
TEST_F(CabinetLibraryTest, DamagedCabinetsAreRefused) {
  const std::vector<BuiltFolder> folders = {{1, {{"setup.exe", RepeatingText(70000)}, {"b", "bee"}}}};
  testing_support::CabinetOptions with_checksums;
  with_checksums.checksums = true;
  const std::string good = BuildCabinet(folders, with_checksums);
  const auto layout = testing_support::LayoutOf(good);
  auto patched = [&](size_t at, std::string bytes) {
    std::string copy = good;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  auto flipped = [&](size_t at) {
    std::string copy = good;
    copy[at] = static_cast<char>(copy[at] ^ 0x10);
    return copy;
  };
  struct Case {
    const char* label;
    std::string cabinet;
    FDIERROR error;
    int closed_by_library;  // the output handle closed by the library after a failed file
  } cases[] = {
      {"signature", patched(0, "MSCX"), FDIERROR_NOT_A_CABINET, 0},
      {"shorter than a header", good.substr(0, 20), FDIERROR_NOT_A_CABINET, 0},
      {"empty file", "", FDIERROR_NOT_A_CABINET, 0},
      {"version 1.4", patched(24, "\x04"), FDIERROR_UNKNOWN_CABINET_VERSION, 0},
      {"version 2.3", patched(25, "\x02"), FDIERROR_UNKNOWN_CABINET_VERSION, 0},
      {"size field beyond the file", patched(8, std::string("\xFF\xFF\x00\x00", 4)), FDIERROR_CORRUPT_CABINET, 0},
      {"file list beyond the end", patched(16, std::string("\xFF\xFF\x00\x00", 4)), FDIERROR_CORRUPT_CABINET, 0},
      {"folder index beyond the folders", patched(layout.files_offset + 8, std::string("\x05\x00", 2)),
       FDIERROR_CORRUPT_CABINET, 0},
      {"LZX folder", patched(36 + 6, std::string("\x03\x00", 2)), FDIERROR_BAD_COMPR_TYPE, 1},
      {"first block not CK", patched(layout.first_block + 8, "XK"), FDIERROR_CORRUPT_CABINET, 1},
      {"block data damaged (checksum)", flipped(layout.first_block + 20), FDIERROR_CORRUPT_CABINET, 1},
      {"block size field damaged (checksum)", flipped(layout.first_block + 6), FDIERROR_CORRUPT_CABINET, 1},
      {"block claims more than 32 KiB", patched(layout.first_block + 6, std::string("\x01\x80", 2)),
       FDIERROR_CORRUPT_CABINET, 1},
      {"block packed size beyond the cabinet", patched(layout.first_block + 4, std::string("\xF0\x7F", 2)),
       FDIERROR_CORRUPT_CABINET, 1},
      {"folder with fewer blocks than its files", patched(36 + 4, std::string("\x01\x00", 2)),
       FDIERROR_CORRUPT_CABINET, 1},
      {"file beyond the folder's data", patched(layout.files_offset, std::string("\x00\x00\x10\x00", 4)),
       FDIERROR_CORRUPT_CABINET, 1},
  };
  for (const Case& c : cases) {
    const FdiRunResult result = Run(c.cabinet);
    EXPECT_FALSE(result.copied) << c.label;
    EXPECT_EQ(result.erf.erfOper, c.error) << c.label;
    EXPECT_EQ(result.erf.fError, TRUE) << c.label;
    EXPECT_TRUE(result.files.empty()) << c.label << ": a damaged file was announced complete";
    EXPECT_EQ(result.outputs_closed_by_library, c.closed_by_library) << c.label;
    ExpectReleased(result);
  }
}

TEST_F(CabinetLibraryTest, EveryTruncationIsRefused) {
  // Stored and MSZIP, one cabinet each: no prefix of a cabinet is a cabinet.
  for (uint16_t compression : {0, 1}) {
    const std::string good = BuildCabinet({{compression, {{"setup.exe", RepeatingText(36000)}, {"x", "y"}}}});
    for (size_t length = 0; length < good.size(); length += (length < 200 ? 1 : 97)) {
      // As cut, and with the size field saying the cut length, so that the cut reaches
      // the records and blocks themselves.
      std::string cut = good.substr(0, length);
      std::string consistent = cut;
      if (length >= 12) {
        for (int i = 0; i < 4; ++i) consistent[8 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
      }
      for (const std::string& cabinet : {cut, consistent}) {
        const FdiRunResult result = Run(cabinet);
        EXPECT_FALSE(result.copied) << length;
        EXPECT_TRUE(result.files.empty()) << length;  // the last block holds both files' ends
        ExpectReleased(result);
      }
    }
  }
}

TEST_F(CabinetLibraryTest, MszipHistoryCarriesAcrossBlocks) {
  // A second block that is only back-references into the first can only be expanded
  // with the first block's output as its dictionary.
  // The cabinet maker primes each block with the previous 32 KiB.
  // (zlib keeps the last 32506 bytes of a dictionary, so the reference starts past 262.)
  const std::string first = RandomBytes(32768, 7);
  const auto made = testing_support::RunHostCommand(
      {(testing_support::BuildDirectory() / "tools/cabinet/make_cabinet").string(),
       Write("plain.bin", first + first.substr(1000, 30000)), Directory() + "history.cab"});
  ASSERT_EQ(made.exit_status, 0) << made.output;
  std::ifstream in(Directory() + "history.cab", std::ios::binary);
  const std::string mszip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The second block is far smaller than its 30000 bytes: it refers back.
  const uint32_t first_packed = static_cast<unsigned char>(mszip[74]) | (static_cast<unsigned char>(mszip[75]) << 8);
  const size_t second = 70 + 8 + first_packed;
  const uint32_t second_packed =
      static_cast<unsigned char>(mszip[second + 4]) | (static_cast<unsigned char>(mszip[second + 5]) << 8);
  EXPECT_LT(second_packed, 1000u);
  const FdiRunResult result = Run(mszip);
  ASSERT_TRUE(result.copied) << result.erf.erfOper;
  EXPECT_TRUE(result.output.at("setup.exe") == first + first.substr(1000, 30000));
}

TEST_F(CabinetLibraryTest, MemoryComesOnlyFromTheCallerAndRefusalsAreClean) {
  const std::string cabinet = BuildCabinet({{1, {{"setup.exe", RepeatingText(50000)}}}});
  const FdiRunResult whole = Run(cabinet);
  ASSERT_TRUE(whole.copied);
  // Refusing each allocation in turn: the create or the copy fails with ALLOC_FAIL and
  // every block that was given is given back.
  int refused_in_copy = 0;
  for (int n = 1;; ++n) {
    FdiRunOptions options;
    options.fail_allocation = n;
    const FdiRunResult result = Run(cabinet, options);
    ExpectReleased(result);
    if (result.copied) break;  // past the last allocation
    EXPECT_EQ(result.erf.erfOper, FDIERROR_ALLOC_FAIL) << n;
    EXPECT_TRUE(result.files.empty()) << n;
    if (result.created) ++refused_in_copy;
    ASSERT_LT(n, 100) << "the library keeps allocating";
  }
  EXPECT_GT(refused_in_copy, 0);
}

TEST_F(CabinetLibraryTest, FailedWriteAndMissingCabinet) {
  const std::string cabinet = BuildCabinet({{1, {{"setup.exe", RepeatingText(70000)}}}});
  FdiRunOptions options;
  options.fail_write = 2;
  const FdiRunResult write = Run(cabinet, options);
  EXPECT_FALSE(write.copied);
  EXPECT_EQ(write.erf.erfOper, FDIERROR_TARGET_FILE);
  EXPECT_EQ(write.outputs_closed_by_library, 1);
  EXPECT_TRUE(write.files.empty());
  ExpectReleased(write);

  const FdiRunResult missing = RunFdiCopy(Directory(), "no-such.cab");
  EXPECT_FALSE(missing.copied);
  EXPECT_EQ(missing.erf.erfOper, FDIERROR_CABINET_NOT_FOUND);
  EXPECT_TRUE(missing.notifications.empty());
  ExpectReleased(missing);
}

TEST_F(CabinetLibraryTest, SpanningEntriesAreAnnouncedNotExtracted) {
  std::string cabinet = BuildCabinet({{0, {{"from-before", "aaaa"}, {"here", "bbbb"}}}});
  const auto layout = testing_support::LayoutOf(cabinet);
  cabinet.replace(layout.files_offset + 8, 2, std::string("\xFD\xFF", 2));  // continued from the previous cabinet
  const FdiRunResult result = Run(cabinet);
  ASSERT_TRUE(result.copied);
  ASSERT_EQ(Types(result), (std::vector<FDINOTIFICATIONTYPE>{fdintCABINET_INFO, fdintPARTIAL_FILE, fdintCOPY_FILE,
                                                               fdintCLOSE_FILE_INFO}));
  EXPECT_EQ(result.notifications[1].psz1, "from-before");
  // "here" starts at offset 4 of the folder, as stored.
  EXPECT_EQ(result.output.at("here"), "bbbb");

  testing_support::CabinetOptions next;
  next.next_cabinet = "part2.cab";
  next.next_disk = "Disk 2";
  std::string continued = BuildCabinet({{0, {{"big", "cccc"}}}}, next);
  const uint32_t files_offset = static_cast<unsigned char>(continued[16]);
  continued.replace(files_offset + 8, 2, std::string("\xFE\xFF", 2));  // continued into the next cabinet
  const FdiRunResult spanning = Run(continued);
  EXPECT_FALSE(spanning.copied);
  ASSERT_EQ(Types(spanning), (std::vector<FDINOTIFICATIONTYPE>{fdintCABINET_INFO, fdintCOPY_FILE, fdintNEXT_CABINET}));
  EXPECT_EQ(spanning.notifications[0].psz1, "part2.cab");
  EXPECT_EQ(spanning.notifications[0].psz2, "Disk 2");
  EXPECT_EQ(spanning.notifications[2].psz1, "part2.cab");
  EXPECT_EQ(spanning.outputs_closed_by_library, 1);
  ExpectReleased(spanning);
}

TEST(CabinetChecksumTest, MatchesThePublishedExampleBlock) {
  // The example cabinet's one stored block: hello.c and welcome.c, 151 bytes.
  const std::string data =
      "#include <stdio.h>\r\n\r\nvoid main(void)\r\n{\r\n    printf(\"Hello, world!\\n\");\r\n}\r\n"
      "#include <stdio.h>\r\n\r\nvoid main(void)\r\n{\r\n    printf(\"Welcome!\\n\");\r\n}\r\n\r\n";
  ASSERT_EQ(data.size(), 151u);
  const unsigned char header[4] = {0x97, 0x00, 0x97, 0x00};
  EXPECT_EQ(sim::cabinet::BlockChecksum(header, 4, reinterpret_cast<const unsigned char*>(data.data()), data.size()),
            0x30A65ABDu);
}

TEST_F(CabinetLibraryTest, LibraryIsFoundAsCabinetDllWithItsThreeExports) {
  const HMODULE module = LoadLibraryExW(u"C:\\Windows\\System32\\cabinet.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(module, nullptr);
  const auto create = reinterpret_cast<FDICreateFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FDICreate")));
  const auto copy = reinterpret_cast<FDICopyFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FDICopy")));
  const auto destroy =
      reinterpret_cast<FDIDestroyFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module, "FDIDestroy")));
  ASSERT_TRUE(create && copy && destroy);
  Write("lib.cab", BuildCabinet({{1, {{"setup.exe", "through the exports"}}}}));
  const FdiRunResult result = RunFdiCopy(Directory(), "lib.cab", {}, {create, copy, destroy});
  EXPECT_TRUE(result.copied);
  EXPECT_EQ(result.output.at("setup.exe"), "through the exports");
}

}  // namespace

namespace {

TEST(CabinetLibraryTraceTest, EachEntryPointTracesOneLine) {
  testing_support::TestMachine machine;
  const std::string trace = (machine.root() / "trace.txt").string();
  sim::ProcessOptions options;
  options.trace_file = trace;
  machine.Start(options);
  // A directory whose name no ANSI code page holds: the library passes the bytes through.
  const std::string directory = (machine.root() / "\xE6\x97\xA5\xE6\x9C\xAC").string() + "/";
  std::filesystem::create_directories(directory);
  std::ofstream(directory + "t.cab", std::ios::binary) << BuildCabinet({{0, {{"setup.exe", "abc"}}}});
  const FdiRunResult result = RunFdiCopy(directory, "t.cab");
  EXPECT_TRUE(result.copied);
  EXPECT_EQ(result.opened_path, directory + "t.cab");
  sim::EndProcess();
  const std::string lines = testing_support::ReadHostFile(trace);
  EXPECT_NE(lines.find("FDICreate(-1, "), std::string::npos) << lines;
  EXPECT_NE(lines.find("FDICopy(0x"), std::string::npos) << lines;
  EXPECT_NE(lines.find("\"t.cab\", \"" + directory + "\", 0) -> TRUE"), std::string::npos) << lines;
  EXPECT_NE(lines.find("FDIDestroy(0x"), std::string::npos) << lines;
}

}  // namespace
