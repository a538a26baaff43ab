// OutputFile against the simulated Windows: what it creates, holds, shares and leaves.
#include "stub/support/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(machine_.root() / "C" / "work");
    Start({});
  }
  void Start(sim::ProcessOptions options) {
    options.trace_file = (machine_.root() / "trace.txt").string();
    process_ = &machine_.Start(options);
  }
  bool Write(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  }
  bool Exists(const std::u16string& path) { return fs::exists(machine_.HostPath(path, false)); }
  std::string Contents(const std::u16string& path) {
    return testing_support::ReadHostFile(machine_.HostPath(path, false).string());
  }
  std::string Trace() { return testing_support::ReadHostFile((machine_.root() / "trace.txt").string()); }
  size_t OpenHandles() { return process_->Snapshot().open_handles.size(); }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(OutputFileTest, ANewRecordHoldsNothing) {
  OutputFile file;
  EXPECT_FALSE(file.IsValid());
  EXPECT_EQ(file.GetHandle(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(file.path.IsEmpty());
  // Neither asks the system anything without a file.
  SetLastError(4321);
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);
  file.Close();
  EXPECT_EQ(GetLastError(), 4321u);
  EXPECT_EQ(Trace(), "");
}

TEST_F(OutputFileTest, OpenCreatesTheFileAndHoldsItsPath) {
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\archive.7z"));
  EXPECT_TRUE(file.IsValid());
  EXPECT_EQ(std::u16string(file.path.Data()), u"C:\\work\\archive.7z");
  EXPECT_TRUE(Write(file.GetHandle(), "payload"));
  file.Close();
  EXPECT_FALSE(file.IsValid());
  EXPECT_TRUE(file.path.IsEmpty());
  EXPECT_EQ(Contents(u"C:\\work\\archive.7z"), "payload");
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_NE(Trace().find("CreateFileW(\"C:\\\\work\\\\archive.7z\", 0x40010000, 0x4, 2, 0x8000080)"),
            std::string::npos)
      << Trace();
}

TEST_F(OutputFileTest, OpenTruncatesAnExistingFile) {
  machine_.WriteFile(u"C:\\work\\setup.exe", "an older, longer file");
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\setup.exe"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);  // as the create call left it
  EXPECT_TRUE(Write(file.GetHandle(), "new"));
  file.Close();
  EXPECT_EQ(Contents(u"C:\\work\\setup.exe"), "new");
}

TEST_F(OutputFileTest, ReopeningClosesTheHeldFileWithoutDeletingIt) {
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\first.bin"));
  ASSERT_TRUE(Write(file.GetHandle(), "first"));
  ASSERT_TRUE(file.Open(u"C:\\work\\second.bin"));
  EXPECT_EQ(std::u16string(file.path.Data()), u"C:\\work\\second.bin");
  EXPECT_EQ(OpenHandles(), 1u);
  EXPECT_EQ(Contents(u"C:\\work\\first.bin"), "first");
  // The first file is free again.
  const HANDLE reader = CreateFileW(u"C:\\work\\first.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);

  // A failed open also lets go of the file held before.
  EXPECT_FALSE(file.Open(u"C:\\no\\such\\folder\\third.bin"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(file.IsValid());
  EXPECT_TRUE(file.path.IsEmpty());
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_TRUE(Exists(u"C:\\work\\second.bin"));
}

TEST_F(OutputFileTest, MarkThenCloseLeavesNothing) {
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\partial.bin"));
  ASSERT_TRUE(Write(file.GetHandle(), "half"));
  ASSERT_TRUE(file.MarkForDeletion());
  EXPECT_TRUE(file.IsValid());  // marking keeps the handle
  file.Close();
  EXPECT_FALSE(Exists(u"C:\\work\\partial.bin"));
}

TEST_F(OutputFileTest, ADuplicateOutlivesTheRecordAndKeepsAMarkedFileUntilItCloses) {
  HANDLE duplicate = INVALID_HANDLE_VALUE;
  {
    OutputFile file;
    ASSERT_TRUE(file.Open(u"C:\\work\\setup.exe"));
    duplicate = file.Duplicate();
    ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
    EXPECT_NE(duplicate, file.GetHandle());
    ASSERT_TRUE(file.MarkForDeletion());
  }  // the record's scope ends: its own handle is closed
  EXPECT_EQ(OpenHandles(), 1u);
  EXPECT_TRUE(Exists(u"C:\\work\\setup.exe"));
  EXPECT_TRUE(Write(duplicate, "still writable"));
  CloseHandle(duplicate);
  EXPECT_FALSE(Exists(u"C:\\work\\setup.exe"));
}

TEST_F(OutputFileTest, ADuplicateHasTheRecordsAccessAndStaysUsableAfterClose) {
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\setup.exe"));
  const HANDLE duplicate = file.Duplicate();
  file.Close();
  EXPECT_TRUE(Write(duplicate, "expanded"));
  char byte;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(duplicate, &byte, 1, &read, nullptr));  // write and delete access only
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(duplicate);
  EXPECT_EQ(Contents(u"C:\\work\\setup.exe"), "expanded");
  EXPECT_NE(Trace().find("DuplicateHandle(0x100, 0x0, 0, 0x2) -> TRUE"), std::string::npos) << Trace();
}

TEST_F(OutputFileTest, CloseOnAnEmptyRecordOrTwiceDoesNothingMore) {
  OutputFile file;
  file.Close();
  ASSERT_TRUE(file.Open(u"C:\\work\\a.bin"));
  file.Close();
  file.Close();
  EXPECT_FALSE(file.IsValid());
  EXPECT_TRUE(Exists(u"C:\\work\\a.bin"));
  const std::string trace = Trace();
  size_t closes = 0;
  for (size_t at = trace.find("CloseHandle("); at != std::string::npos; at = trace.find("CloseHandle(", at + 1)) ++closes;
  EXPECT_EQ(closes, 1u) << trace;
}

TEST_F(OutputFileTest, APathOf260UnitsFailsBeforeTheFileSystemIsTouched) {
  // The first CreateFileW call fails with a marker error: if the long path reached the
  // file system, the second Open would not see the marker.
  sim::ProcessOptions options;
  options.faults = {{"CreateFileW", 1, ERROR_WRITE_PROTECT}};
  Start(options);
  const std::u16string folder = u"C:\\work\\";
  const std::u16string too_long = folder + std::u16string(260 - folder.size(), u'a');  // 260 units
  const std::u16string fits = folder + std::u16string(259 - folder.size(), u'b');      // 259 units
  OutputFile file;
  SetLastError(777);
  EXPECT_FALSE(file.Open(too_long.c_str()));
  EXPECT_EQ(GetLastError(), 777u);
  EXPECT_TRUE(file.path.IsEmpty());
  EXPECT_FALSE(file.IsValid());
  EXPECT_FALSE(file.Open(fits.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
  ASSERT_TRUE(file.Open(fits.c_str()));
  EXPECT_EQ(file.path.Length(), 259u);
}

TEST_F(OutputFileTest, WhileHeldOtherOpensForReadingOrWritingAreRefused) {
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\held.bin"));
  struct Case {
    DWORD access;
    DWORD error;  // 0: the open succeeds
  } cases[] = {
      {GENERIC_READ, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE, ERROR_SHARING_VIOLATION},
      {FILE_READ_DATA, ERROR_SHARING_VIOLATION},
      {FILE_APPEND_DATA, ERROR_SHARING_VIOLATION},
      {DELETE, 0},                                         // delete sharing is granted
      {FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0},  // metadata opens never conflict
  };
  for (const auto& c : cases) {
    const HANDLE other = CreateFileW(u"C:\\work\\held.bin", c.access, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other == INVALID_HANDLE_VALUE ? GetLastError() : 0u, c.error) << std::hex << c.access;
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
  }
  // A file another open holds for reading cannot be created over.
  const HANDLE reader = CreateFileW(u"C:\\work\\busy.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  OutputFile second;
  EXPECT_FALSE(second.Open(u"C:\\work\\busy.bin"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(reader);
}

TEST_F(OutputFileTest, AReadOnlyFileInTheWayRefusesTheCreate) {
  const HANDLE file = CreateFileW(u"C:\\work\\ro.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_READONLY, nullptr);
  CloseHandle(file);
  OutputFile output;
  EXPECT_FALSE(output.Open(u"C:\\work\\ro.bin"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(output.path.IsEmpty());
}

TEST_F(OutputFileTest, MarkAndDuplicateReportTheirCallsFailures) {
  sim::ProcessOptions options;
  options.faults = {{"SetFileInformationByHandle", 1, ERROR_WRITE_FAULT}, {"DuplicateHandle", 1, ERROR_OUTOFMEMORY}};
  Start(options);
  OutputFile file;
  ASSERT_TRUE(file.Open(u"C:\\work\\f.bin"));
  EXPECT_FALSE(file.MarkForDeletion());
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_EQ(file.Duplicate(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
  EXPECT_TRUE(file.IsValid());
  file.Close();
  EXPECT_TRUE(Exists(u"C:\\work\\f.bin"));
}

}  // namespace
