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
#include "platform/kernel32_directories.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/file_metadata.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"
#include "stub/cleanup/delete_unpacked_files.h"
#include "stub/workdir/work_directory.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class DeleteWithRetryTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }
  // A new process with a fresh trace, failing the calls `faults` name.
  void Restart(std::vector<sim::FaultRule> faults = {}) {
    fs::remove(machine_.root() / "trace.txt");
    sim::ProcessOptions options;
    options.virtual_sleep = true;
    options.trace_file = (machine_.root() / "trace.txt").string();
    options.faults = std::move(faults);
    process_ = &machine_.Start(options);
  }

  // One entry per pass, in call order: "delete PATH" for a pass that opens the path for
  // deletion (access DELETE), "look PATH" for one that only reads its attributes.
  std::vector<std::string> PassLog() {
    const std::string trace = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
    const std::string open_start = "CreateFileW(\"";
    const std::string deletion = "\", 0x10000, 0x7, 3, 0x2200000)";
    const std::string look_start = "GetFileAttributesW(\"";
    std::vector<std::string> passes;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
      const size_t open = line.find(open_start);
      const size_t end = line.find(deletion);
      if (open != std::string::npos && end != std::string::npos) {
        passes.push_back("delete " + line.substr(open + open_start.size(), end - open - open_start.size()));
      }
      const size_t look = line.find(look_start);
      const size_t look_end = line.find("\") -> ");
      if (look != std::string::npos && look_end != std::string::npos) {
        passes.push_back("look " + line.substr(look + look_start.size(), look_end - look - look_start.size()));
      }
    }
    return passes;
  }
  size_t Passes() { return PassLog().size(); }
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
    std::vector<sim::FaultRule> faults = {};
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
      // So does a look after the accepted request that fails for another reason.
      {"look refused otherwise", [](auto& m) { m.WriteFile(u"C:\\look.txt", "x"); }, u"C:\\look.txt", 2,
       {{"GetFileAttributesW", 1, ERROR_BAD_NETPATH}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart(c.faults);
    c.make(machine_);
    DeleteWithRetry(c.path.c_str());
    EXPECT_EQ(Passes(), c.passes);
    EXPECT_EQ(Pauses(), 0u);
    if (c.path != u"C:\\bad|name.txt") {
      EXPECT_FALSE(Exists(c.path));
    }
    EXPECT_TRUE(process_->Snapshot().open_handles.empty());
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

// Access denied on a file that is not read-only, or whose attributes cannot be opened
// either, has nothing to clear: the pass is counted and paused for (100 ms) like any other
// refusal, and the next one deletes it.
TEST_F(DeleteWithRetryTest, AccessDeniedWithNothingToClearCostsACountedPass) {
  struct Case {
    const char* what;
    std::vector<sim::FaultRule> faults;
  } cases[] = {
      {"deletion request refused", {{"SetFileInformationByHandle", 1, ERROR_ACCESS_DENIED}}},
      // The deletion open, then the attribute open, as for a file whose list denies both.
      {"both opens refused", {{"CreateFileW", 1, ERROR_ACCESS_DENIED}, {"CreateFileW", 2, ERROR_ACCESS_DENIED}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    machine_.WriteFile(u"C:\\denied.txt", "x");
    Restart(c.faults);
    DeleteWithRetry(u"C:\\denied.txt");
    EXPECT_EQ(Passes(), 3u);  // refused, accepted, then nothing to find
    EXPECT_EQ(Pauses(), 1u);
    EXPECT_EQ(PausedMilliseconds(), 100u);
    EXPECT_FALSE(Exists(u"C:\\denied.txt"));
  }
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

// Once its deletion was requested, the object is only looked for: what another program
// puts under the name after ours has gone (a second installer that drew the same
// work-directory name) is not ours and stays.
TEST_F(DeleteWithRetryTest, WhatTakesTheNameAfterTheObjectIsGoneIsLeftAlone) {
  const std::u16string name = u"C:\\Dl\\TS_3FA9C.tmp";
  const std::string traced = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\";
  struct Case {
    const char* what;
    std::function<bool()> take_name;  // as the other program does it, through the system
  } cases[] = {
      {"a new directory", [&] { return CreateDirectoryW(name.c_str(), nullptr) != FALSE; }},
      {"a new file",
       [&] {
         const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
         return file != INVALID_HANDLE_VALUE && CloseHandle(file) != FALSE;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart();
    fs::create_directories(machine_.HostPath(name));
    // Another holder keeps the marked directory's name until it lets go.
    const HANDLE holder = Hold(name, kShareAll);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    process_->SetPauseObserver([&](uint64_t pause) {
      if (pause != 1) return;
      CloseHandle(holder);
      EXPECT_FALSE(Exists(name));
      EXPECT_TRUE(c.take_name());
    });
    DeleteWithRetry((name + u"\\").c_str());
    EXPECT_TRUE(Exists(name));
    // One request; refused once while pending; then the name reads as another object.
    EXPECT_EQ(PassLog(), (std::vector<std::string>{"delete " + traced, "look " + traced, "look " + traced}));
    EXPECT_EQ(Pauses(), 1u);
    process_->SetPauseObserver(nullptr);
    fs::remove(machine_.HostPath(name));
  }
}

class DeleteUnpackedFilesTest : public DeleteWithRetryTest {
 protected:
  void Assign(PathString& string, const std::u16string& value) { ASSERT_TRUE(string.Assign(value.c_str())); }
  // An archive and a setup program unpacked into C:\Dl\TS_3FA9C.tmp\, and their paths.
  void Unpack(PathString& archive, PathString& setup, PathString& work) {
    machine_.WriteFile(u"C:\\Dl\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z", "archive");
    machine_.WriteFile(u"C:\\Dl\\TS_3FA9C.tmp\\setup.exe", "setup");
    Assign(archive, u"C:\\Dl\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z");
    Assign(setup, u"C:\\Dl\\TS_3FA9C.tmp\\setup.exe");
    Assign(work, u"C:\\Dl\\TS_3FA9C.tmp\\");
  }
};

TEST_F(DeleteUnpackedFilesTest, DeletesTheArchiveThenSetupThenTheWorkDirectory) {
  PathString archive, setup, work;
  Unpack(archive, setup, work);
  ScopedHandle no_hold;
  DeleteUnpackedFiles(archive, setup, work, no_hold);
  const std::string a = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\PELLORA.PACKED.7Z";
  const std::string s = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\setup.exe";
  const std::string w = "C:\\\\Dl\\\\TS_3FA9C.tmp\\\\";
  EXPECT_EQ(PassLog(), (std::vector<std::string>{"delete " + a, "look " + a, "delete " + s, "look " + s,
                                                 "delete " + w, "look " + w}));
  EXPECT_EQ(Pauses(), 0u);
  EXPECT_FALSE(Exists(u"C:\\Dl\\TS_3FA9C.tmp"));
  EXPECT_TRUE(Exists(u"C:\\Dl"));
}

TEST_F(DeleteUnpackedFilesTest, EmptyPathsLeaveOnlyTheWorkDirectory) {
  fs::create_directories(machine_.HostPath(u"C:\\Dl\\TS_00000.tmp\\"));
  PathString archive, setup, work;
  Assign(work, u"C:\\Dl\\TS_00000.tmp\\");
  ScopedHandle no_hold;
  DeleteUnpackedFiles(archive, setup, work, no_hold);
  const std::string w = "C:\\\\Dl\\\\TS_00000.tmp\\\\";
  EXPECT_EQ(PassLog(), (std::vector<std::string>{"delete " + w, "look " + w}));
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
  ScopedHandle no_hold;
  DeleteUnpackedFiles(archive, setup, work, no_hold);
  EXPECT_FALSE(Exists(u"C:\\Dl\\W.tmp\\setup.exe"));
  EXPECT_TRUE(Exists(u"C:\\Dl\\W.tmp\\PELLORA.PACKED.7Z"));
  // The archive and the directory that still holds it each spend every attempt.
  EXPECT_EQ(Pauses(), 2u * 99u);
  EXPECT_EQ(Passes(), 2u * 100u + 2u);
  CloseHandle(holder);
}

// While the run holds the work directory, its deletion is refused (ERROR_SHARING_VIOLATION,
// 32) on every pass; the cleanup lets go of it just before deleting it, after the files,
// and then removes everything without a pause.
TEST_F(DeleteUnpackedFilesTest, TheWorkDirectoryIsLetGoJustBeforeItIsDeleted) {
  PathString archive, setup, work;
  Unpack(archive, setup, work);
  ScopedHandle hold;
  ASSERT_TRUE(HoldWorkDirectory(work, hold));

  // Another deletion of the held directory spends every attempt on the share mode.
  DeleteWithRetry(work.Data());
  EXPECT_EQ(Passes(), kDeleteAttempts);
  EXPECT_EQ(Pauses(), kDeleteAttempts - 1);
  const std::string refused = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
  size_t sharing_violations = 0;
  for (size_t at = refused.find("[error 32]"); at != std::string::npos; at = refused.find("[error 32]", at + 1)) {
    ++sharing_violations;
  }
  EXPECT_EQ(sharing_violations, kDeleteAttempts);
  EXPECT_TRUE(Exists(u"C:\\Dl\\TS_3FA9C.tmp\\setup.exe"));

  const uint64_t pauses_before = Pauses();
  const size_t passes_before = Passes();
  const std::string closing = "CloseHandle(" + sim::Pointer(hold.handle) + ")";
  DeleteUnpackedFiles(archive, setup, work, hold);
  EXPECT_FALSE(hold.IsValid());
  EXPECT_EQ(Pauses(), pauses_before);
  EXPECT_EQ(Passes() - passes_before, 6u);  // each object: deleted, then found gone
  EXPECT_FALSE(Exists(u"C:\\Dl\\TS_3FA9C.tmp"));
  // In order: the files, the hold let go, the directory.
  const std::string trace = testing_support::ReadHostFile((machine_.root() / "trace.txt").string());
  const size_t after = trace.rfind("[error 32]");
  const size_t setup_deleted = trace.find("setup.exe\", 0x10000", after);
  const size_t let_go = trace.find(closing, after);
  const size_t directory_deleted = trace.find("TS_3FA9C.tmp\\\\\", 0x10000", after);
  ASSERT_NE(let_go, std::string::npos) << trace.substr(after);
  EXPECT_LT(setup_deleted, let_go);
  EXPECT_LT(let_go, directory_deleted);
  EXPECT_EQ(process_->Snapshot().open_handles.size(), 0u);
}

}  // namespace
