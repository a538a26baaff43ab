// What one simulated process holds, another sees: share modes, pending deletions and
// running images across host processes of one machine, and MoveFileExW. The other
// process is tests/programs/neighbour_program run by winsim, holding a file until the
// test creates its release file.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/text.h"
#include "sim/kernel32/moving.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::StartedHostCommand;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class SharingAcrossProcessesTest : public ::testing::Test {
 protected:
  SharingAcrossProcessesTest() { fs::create_directories(scratch_); }
  ~SharingAcrossProcessesTest() override {
    Release();
    fs::remove_all(scratch_);
  }
  void SetUp() override {
    process_ = &machine_.Start();
    machine_.WriteFile(u"C:\\f.txt", "data");
  }

  // Starts another simulated process, standing for `image`, that holds `path` (a file
  // opened for reading with `share`), and waits until it holds it. Returns its host pid.
  int StartHolder(const std::u16string& path, DWORD share, const std::u16string& image = u"C:\\holder.exe") {
    fs::remove(scratch_ / "held");
    fs::remove(scratch_ / "release");
    const std::string line = "\"" + sim::ToUtf8(image) + "\" \"--hold=" + sim::ToUtf8(path) +
                             "\" --share=" + std::to_string(share) + " --until-released";
    holder_ = std::make_unique<StartedHostCommand>(
        std::vector<std::string>{(BuildDirectory() / "winsim").string(), "run", "--root", machine_.root().string(),
                                 "--image", sim::ToUtf8(image), "--command-line", line,
                                 (BuildDirectory() / "tests" / "neighbour_program").string()},
        std::map<std::string, std::string>{{"NEIGHBOUR_DIR", scratch_.string()}}, (scratch_ / "holder.out").string());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(scratch_ / "held") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string pid = ReadHostFile((scratch_ / "held").string());
    EXPECT_FALSE(pid.empty()) << ReadHostFile((scratch_ / "holder.out").string());
    return pid.empty() ? -1 : std::stoi(pid);
  }
  // Lets the holder go and waits until it has ended.
  void Release() {
    if (!holder_) return;
    std::ofstream((scratch_ / "release").string()) << "go";
    holder_->Wait();
    holder_.reset();
  }
  // The error of an open with these rights, 0 when it succeeded (the handle is closed).
  static DWORD OpenError(const std::u16string& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    const HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
  }
  // The error of a deletion request through a DELETE open, 0 when it was accepted.
  static DWORD DeletionError(const std::u16string& path) {
    const HANDLE file = CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    FILE_DISPOSITION_INFO info{TRUE};
    const DWORD error =
        SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) ? 0 : GetLastError();
    CloseHandle(file);
    return error;
  }
  bool Exists(const std::u16string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(machine_.HostPath(path, false), ignored));
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
  sim::Process* process_ = nullptr;
  std::unique_ptr<StartedHostCommand> holder_;
};

TEST_F(SharingAcrossProcessesTest, AnOpenInAnotherProcessIsCheckedBothWays) {
  struct Case {
    const char* what;
    DWORD holder_share;
    DWORD access;
    DWORD share;
    DWORD error;
  } cases[] = {
      {"reader beside a reader", FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, 0},
      {"writer beside a reader that shares no writing", FILE_SHARE_READ, GENERIC_WRITE, kShareAll, 32},
      {"writer beside a reader that shares writing", FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, kShareAll, 0},
      {"deletion beside a reader that shares no deletion", FILE_SHARE_READ, DELETE, kShareAll, 32},
      {"deletion beside a reader that shares it", kShareAll, DELETE, kShareAll, 0},
      {"reader that shares no reading with a reader", kShareAll, GENERIC_READ, FILE_SHARE_WRITE, 32},
      {"attributes only, sharing nothing", 0, FILE_READ_ATTRIBUTES, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartHolder(u"C:\\f.txt", c.holder_share);
    EXPECT_EQ(OpenError(u"C:\\f.txt", c.access, c.share), c.error);
    Release();
    // Once the holder has ended, nothing of it is left in the way.
    EXPECT_EQ(OpenError(u"C:\\f.txt", GENERIC_READ | GENERIC_WRITE | DELETE, 0), 0u);
  }
}

TEST_F(SharingAcrossProcessesTest, ADeletionPendingHereWaitsForTheOtherProcessToLetGo) {
  StartHolder(u"C:\\f.txt", kShareAll);
  EXPECT_EQ(DeletionError(u"C:\\f.txt"), 0u);
  // Our handle is closed; the other process's keeps the name, which refuses everyone.
  EXPECT_TRUE(Exists(u"C:\\f.txt"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(OpenError(u"C:\\f.txt", FILE_READ_ATTRIBUTES, kShareAll), 5u);
  Release();
  EXPECT_FALSE(Exists(u"C:\\f.txt"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(SharingAcrossProcessesTest, WhatAKilledProcessHeldBlocksNobody) {
  const int pid = StartHolder(u"C:\\f.txt", FILE_SHARE_READ);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(OpenError(u"C:\\f.txt", GENERIC_WRITE, kShareAll), 32u);
  ::kill(pid, SIGKILL);
  holder_->Wait();
  EXPECT_EQ(OpenError(u"C:\\f.txt", GENERIC_READ | GENERIC_WRITE | DELETE, 0), 0u);
  holder_.reset();
}

// A deletion that waited for a process that was killed completes when the table is next
// read, as Windows completes it when the process's handles close at its end.
TEST_F(SharingAcrossProcessesTest, ADeletionWaitingForAKilledProcessCompletes) {
  const int pid = StartHolder(u"C:\\f.txt", kShareAll);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(DeletionError(u"C:\\f.txt"), 0u);
  EXPECT_TRUE(Exists(u"C:\\f.txt"));
  ::kill(pid, SIGKILL);
  holder_->Wait();
  holder_.reset();
  EXPECT_EQ(GetFileAttributesW(u"C:\\f.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_FALSE(Exists(u"C:\\f.txt"));
}

TEST_F(SharingAcrossProcessesTest, ARunningProgramsImageCanBeReadAndRenamedButNotWrittenOrDeleted) {
  const std::u16string image = u"C:\\Apps\\prog.exe";
  machine_.WriteFile(image, "MZ program");
  machine_.WriteFile(u"C:\\Apps\\other.exe", "MZ other");
  StartHolder(u"C:\\f.txt", kShareAll, image);
  struct Case {
    const char* what;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD error;
  } opens[] = {
      {"read, sharing reading", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0},
      {"read, sharing nothing", GENERIC_READ, 0, OPEN_EXISTING, 32},
      {"write", GENERIC_WRITE, kShareAll, OPEN_EXISTING, 32},
      {"replace, reading only", GENERIC_READ, kShareAll, CREATE_ALWAYS, 32},
      {"truncate", GENERIC_WRITE, kShareAll, TRUNCATE_EXISTING, 32},
  };
  for (const auto& c : opens) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(OpenError(image, c.access, c.share, c.disposition), c.error);
  }
  // The open for deletion succeeds (the loader shares deletion); the deletion does not.
  EXPECT_EQ(DeletionError(image), 5u);
  EXPECT_FALSE(MoveFileExW(u"C:\\Apps\\other.exe", image.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_TRUE(MoveFileExW(image.c_str(), u"C:\\Apps\\prog-old.exe", 0));
  EXPECT_TRUE(MoveFileExW(u"C:\\Apps\\prog-old.exe", image.c_str(), 0));
  EXPECT_EQ(ReadHostFile(machine_.HostPath(image).string()), "MZ program");
  Release();
  // Once the program has ended its image is an ordinary file.
  EXPECT_EQ(DeletionError(image), 0u);
  EXPECT_FALSE(Exists(image));
}

TEST_F(SharingAcrossProcessesTest, MoveFileExWRenamesWithinADrive) {
  fs::create_directories(machine_.root() / "D");
  machine_.WriteFile(u"C:\\g.txt", "g");
  fs::create_directories(machine_.HostPath(u"C:\\Folder\\"));
  struct Case {
    const char* what;
    std::u16string from;
    std::u16string to;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {"onto an existing file", u"C:\\f.txt", u"C:\\g.txt", 0, 183},
      {"onto a folder, replacing", u"C:\\f.txt", u"C:\\Folder", MOVEFILE_REPLACE_EXISTING, 5},
      {"to another drive", u"C:\\f.txt", u"D:\\f.txt", 0, 17},
      {"a missing file", u"C:\\missing.txt", u"C:\\h.txt", 0, 2},
      {"into a missing folder", u"C:\\f.txt", u"C:\\no\\f.txt", 0, 3},
      {"copying", u"C:\\f.txt", u"C:\\h.txt", 0x2 /* MOVEFILE_COPY_ALLOWED */, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(MoveFileExW(c.from.c_str(), c.to.c_str(), c.flags));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(ReadHostFile(machine_.HostPath(u"C:\\f.txt").string()), "data");

  // A handle without delete sharing pins the name; one with it does not.
  HANDLE pin = CreateFileW(u"C:\\f.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(MoveFileExW(u"C:\\f.txt", u"C:\\h.txt", 0));
  EXPECT_EQ(GetLastError(), 32u);
  CloseHandle(pin);
  pin = CreateFileW(u"C:\\f.txt", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(MoveFileExW(u"C:\\f.txt", u"C:\\h.txt", 0));
  CloseHandle(pin);
  // Replacing an existing file that nobody holds, and renaming a folder.
  EXPECT_TRUE(MoveFileExW(u"C:\\h.txt", u"C:\\g.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadHostFile(machine_.HostPath(u"C:\\g.txt").string()), "data");
  EXPECT_FALSE(Exists(u"C:\\h.txt"));
  EXPECT_TRUE(MoveFileExW(u"C:\\Folder", u"C:\\Renamed", 0));
  EXPECT_TRUE(fs::is_directory(machine_.HostPath(u"C:\\Renamed", false)));
}

}  // namespace
