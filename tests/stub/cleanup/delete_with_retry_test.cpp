// DeleteWithRetry and DeleteUnpackedFiles against the simulated Windows, with virtual
// sleep: the passes are counted from the call trace and the pauses from the accounting.
#include "stub/cleanup/delete_with_retry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/file_metadata.h"
#include "sim/core/text.h"
#include "stub/cleanup/delete_unpacked_files.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class DeleteWithRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ProcessOptions options;
    options.virtual_sleep = true;
    options.trace_file = (machine_.root() / "trace.txt").string();
    process_ = &machine_.Start(options);
  }

  // The paths of the deletion opens (access DELETE), in call order: one per pass.
  std::vector<std::string> DeletionOpens() {
    const std::string trace = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
    const std::string start = "CreateFileW(\"";
    const std::string deletion = "\", 0x10000, 0x7, 3, 0x2200000)";
    std::vector<std::string> paths;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
      const size_t open = line.find(start);
      const size_t end = line.find(deletion);
      if (open == std::string::npos || end == std::string::npos) continue;
      paths.push_back(line.substr(open + start.size(), end - open - start.size()));
    }
    return paths;
  }
  size_t Passes() { return DeletionOpens().size(); }
  uint64_t Pauses() { return process_->Snapshot().pauses; }
  uint64_t PausedMilliseconds() { return process_->Snapshot().pause_milliseconds; }
  bool Exists(const std::u16string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(machine_.HostPath(path, false), ignored));
  }
  HANDLE Hold(const std::u16string& path, DWORD share) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(DeleteWithRetryTest, PathsThatEndAtOnceWithoutAPause) {
  struct Case {
    const char* what;
    std::function<void(testing_support::TestMachine&)> make;
    std::u16string path;
    size_t passes;
  } cases[] = {
      {"missing file", [](auto&) {}, u"C:\\missing.txt", 1},
      {"missing folder", [](auto&) {}, u"C:\\no\\such\\file.txt", 1},
      {"plain file", [](auto& m) { m.WriteFile(u"C:\\plain.txt", "x"); }, u"C:\\plain.txt", 2},
      {"empty folder, trailing backslash", [](auto& m) { fs::create_directories(m.HostPath(u"C:\\empty\\")); },
       u"C:\\empty\\", 2},
      // Refused first; the attribute is cleared without counting; deleted; then gone.
      {"read-only file",
       [](auto& m) {
         m.WriteFile(u"C:\\ro.txt", "x");
         sim::WriteFileAttributes(m.HostPath(u"C:\\ro.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
       },
       u"C:\\ro.txt", 3},
      // Any error outside the list gives up at once.
      {"invalid name", [](auto&) {}, u"C:\\bad|name.txt", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.make(machine_);
    DeleteWithRetry(c.path.c_str());
    EXPECT_EQ(Passes(), c.passes);
    EXPECT_EQ(Pauses(), 0u);
    if (c.path != u"C:\\bad|name.txt") {
      EXPECT_FALSE(Exists(c.path));
    }
    EXPECT_TRUE(process_->Snapshot().open_handles.empty());
    fs::remove(machine_.root() / "trace.txt");
  }
}

TEST_F(DeleteWithRetryTest, ReadOnlyFileHasOnlyThatAttributeCleared) {
  machine_.WriteFile(u"C:\\ro.txt", "x");
  sim::WriteFileAttributes(machine_.HostPath(u"C:\\ro.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  // Holding the file open with every sharing keeps its name after the deletion request,
  // so the attribute left behind can be read.
  const HANDLE holder = Hold(u"C:\\ro.txt", kShareAll);
  process_->SetPauseObserver([&](uint64_t) {
    EXPECT_EQ(sim::ReadFileAttributes(machine_.HostPath(u"C:\\ro.txt")), FILE_ATTRIBUTE_HIDDEN);
    CloseHandle(holder);
  });
  DeleteWithRetry(u"C:\\ro.txt");
  EXPECT_EQ(Pauses(), 1u);
  EXPECT_FALSE(Exists(u"C:\\ro.txt"));
}

// Access denied on a file that is not read-only has nothing to clear: the pass is counted
// and paused for (100 ms) like any other refusal.
TEST_F(DeleteWithRetryTest, AccessDeniedWithoutReadOnlyCostsACountedPass) {
  machine_.WriteFile(u"C:\\denied.txt", "x");
  sim::ProcessOptions options;
  options.virtual_sleep = true;
  options.trace_file = (machine_.root() / "trace.txt").string();
  options.faults = {{"SetFileInformationByHandle", 1, ERROR_ACCESS_DENIED}};
  process_ = &machine_.Start(options);
  DeleteWithRetry(u"C:\\denied.txt");
  EXPECT_EQ(Passes(), 3u);  // refused, accepted, then nothing to find
  EXPECT_EQ(Pauses(), 1u);
  EXPECT_EQ(PausedMilliseconds(), 100u);
  EXPECT_FALSE(Exists(u"C:\\denied.txt"));
}

TEST_F(DeleteWithRetryTest, AFileHeldWithoutDeleteSharingIsGivenUpAfter100Passes) {
  machine_.WriteFile(u"C:\\held.txt", "x");
  const HANDLE holder = Hold(u"C:\\held.txt", FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  DeleteWithRetry(u"C:\\held.txt");
  EXPECT_EQ(Passes(), 100u);
  EXPECT_EQ(Pauses(), 99u);
  EXPECT_EQ(PausedMilliseconds(), 99u * 100u);  // 99 pauses of 100 ms
  EXPECT_TRUE(Exists(u"C:\\held.txt"));
  CloseHandle(holder);
  EXPECT_TRUE(Exists(u"C:\\held.txt"));  // nothing was left pending
}

TEST_F(DeleteWithRetryTest, AFileHeldWithDeleteSharingGoesWhenTheHolderLetsGo) {
  machine_.WriteFile(u"C:\\held.txt", "x");
  const HANDLE holder = Hold(u"C:\\held.txt", kShareAll);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  process_->SetPauseObserver([&](uint64_t pause) {
    EXPECT_TRUE(Exists(u"C:\\held.txt"));  // the name stays while the holder is open
    if (pause == 3) CloseHandle(holder);
  });
  DeleteWithRetry(u"C:\\held.txt");
  // One accepted request, three refused counted passes, then nothing to find.
  EXPECT_EQ(Passes(), 5u);
  EXPECT_EQ(Pauses(), 3u);
  EXPECT_FALSE(Exists(u"C:\\held.txt"));
}

TEST_F(DeleteWithRetryTest, AFileHeldWithDeleteSharingUntilTheEndIsGivenUp) {
  machine_.WriteFile(u"C:\\held.txt", "x");
  const HANDLE holder = Hold(u"C:\\held.txt", kShareAll);
  DeleteWithRetry(u"C:\\held.txt");
  EXPECT_EQ(Passes(), 101u);  // the accepted request is not counted
  EXPECT_EQ(Pauses(), 99u);
  EXPECT_TRUE(Exists(u"C:\\held.txt"));
  CloseHandle(holder);
  EXPECT_FALSE(Exists(u"C:\\held.txt"));  // the request made stays in force
}

TEST_F(DeleteWithRetryTest, ANonEmptyDirectoryIsGivenUpAfter100Passes) {
  machine_.WriteFile(u"C:\\work\\left.txt", "x");
  DeleteWithRetry(u"C:\\work\\");
  EXPECT_EQ(Passes(), 100u);
  EXPECT_EQ(Pauses(), 99u);
  EXPECT_TRUE(Exists(u"C:\\work\\left.txt"));
}

TEST_F(DeleteWithRetryTest, ASymbolicLinkIsRemovedAndItsTargetUntouched) {
  machine_.WriteFile(u"C:\\target\\inside.txt", "x");
  machine_.WriteFile(u"C:\\target.txt", "target");
  fs::create_symlink(machine_.HostPath(u"C:\\target"), machine_.HostPath(u"C:\\dir-link"));
  fs::create_symlink(machine_.HostPath(u"C:\\target.txt"), machine_.HostPath(u"C:\\file-link"));
  for (const std::u16string link : {u"C:\\dir-link", u"C:\\file-link"}) {
    DeleteWithRetry(link.c_str());
    EXPECT_FALSE(Exists(link));
  }
  EXPECT_EQ(Pauses(), 0u);
  EXPECT_EQ(testing_support::ReadHostFile(machine_.HostPath(u"C:\\target\\inside.txt").string()), "x");
  EXPECT_EQ(testing_support::ReadHostFile(machine_.HostPath(u"C:\\target.txt").string()), "target");
}

TEST_F(DeleteWithRetryTest, ADirectoryWaitsForItsPendingFiles) {
  machine_.WriteFile(u"C:\\work\\busy.txt", "x");
  const HANDLE holder = Hold(u"C:\\work\\busy.txt", kShareAll);
  DeleteWithRetry(u"C:\\work\\busy.txt");  // gives up, but the deletion stays pending
  const uint64_t pauses_before = Pauses();
  process_->SetPauseObserver([&](uint64_t pause) {
    if (pause == pauses_before + 2) CloseHandle(holder);
  });
  DeleteWithRetry(u"C:\\work\\");
  EXPECT_EQ(Pauses() - pauses_before, 2u);
  EXPECT_FALSE(Exists(u"C:\\work"));
}

class DeleteUnpackedFilesTest : public DeleteWithRetryTest {
 protected:
  void Assign(PathString& string, const std::u16string& value) { ASSERT_TRUE(string.Assign(value.c_str())); }
};

TEST_F(DeleteUnpackedFilesTest, DeletesTheArchiveThenSetupThenTheWorkDirectory) {
  machine_.WriteFile(u"C:\\Dl\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z", "archive");
  machine_.WriteFile(u"C:\\Dl\\TS_3FA9C.tmp\\setup.exe", "setup");
  PathString archive, setup, work;
  Assign(archive, u"C:\\Dl\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z");
  Assign(setup, u"C:\\Dl\\TS_3FA9C.tmp\\setup.exe");
  Assign(work, u"C:\\Dl\\TS_3FA9C.tmp\\");
  DeleteUnpackedFiles(archive, setup, work);
  const std::string a = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\PELLORA.PACKED.7Z";
  const std::string s = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\setup.exe";
  const std::string w = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\";
  EXPECT_EQ(DeletionOpens(), (std::vector<std::string>{a, a, s, s, w, w}));
  EXPECT_EQ(Pauses(), 0u);
  EXPECT_FALSE(Exists(u"C:\\Dl\\TS_3FA9C.tmp"));
  EXPECT_TRUE(Exists(u"C:\\Dl"));
}

TEST_F(DeleteUnpackedFilesTest, EmptyPathsLeaveOnlyTheWorkDirectory) {
  fs::create_directories(machine_.HostPath(u"C:\\Dl\\TS_00000.tmp\\"));
  PathString archive, setup, work;
  Assign(work, u"C:\\Dl\\TS_00000.tmp\\");
  DeleteUnpackedFiles(archive, setup, work);
  EXPECT_EQ(DeletionOpens(), (std::vector<std::string>{"C:\\\\Dl\\\\TS_00000.tmp\\\\", "C:\\\\Dl\\\\TS_00000.tmp\\\\"}));
  EXPECT_FALSE(Exists(u"C:\\Dl\\TS_00000.tmp"));
}

TEST_F(DeleteUnpackedFilesTest, AStepThatGivesUpDoesNotStopTheLaterOnes) {
  machine_.WriteFile(u"C:\\Dl\\W.tmp\\PELLORA.PACKED.7Z", "archive");
  machine_.WriteFile(u"C:\\Dl\\W.tmp\\setup.exe", "setup");
  const HANDLE holder = Hold(u"C:\\Dl\\W.tmp\\PELLORA.PACKED.7Z", FILE_SHARE_READ);
  PathString archive, setup, work;
  Assign(archive, u"C:\\Dl\\W.tmp\\PELLORA.PACKED.7Z");
  Assign(setup, u"C:\\Dl\\W.tmp\\setup.exe");
  Assign(work, u"C:\\Dl\\W.tmp\\");
  DeleteUnpackedFiles(archive, setup, work);
  EXPECT_FALSE(Exists(u"C:\\Dl\\W.tmp\\setup.exe"));
  EXPECT_TRUE(Exists(u"C:\\Dl\\W.tmp\\PELLORA.PACKED.7Z"));
  // The archive and the directory that still holds it each spend every attempt.
  EXPECT_EQ(Pauses(), 2u * 99u);
  EXPECT_EQ(Passes(), 2u * 100u + 2u);
  CloseHandle(holder);
}

}  // namespace
