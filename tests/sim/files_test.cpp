// Simulated files against Windows' documented open, share, delete and attribute rules.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "sim/core/file_metadata.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { process_ = &machine_.Start(); }

  HANDLE Open(const std::u16string& path, DWORD access, DWORD share = kShareAll, DWORD disposition = OPEN_EXISTING,
              DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  }
  bool MarkForDeletion(HANDLE file, bool mark = true) {
    FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(mark ? 1 : 0)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != FALSE;
  }
  std::string Contents(const std::u16string& path) { return testing_support::ReadHostFile(Host(path).string()); }
  fs::path Host(const std::u16string& path) { return machine_.HostPath(path, false); }
  bool HostExists(const std::u16string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(Host(path), ignored));
  }
  size_t OpenHandles() { return process_->Snapshot().open_handles.size(); }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
};

TEST_F(FilesTest, ShareModesAreCheckedBothWaysBetweenOpens) {
  machine_.WriteFile(u"C:\\f.bin", "data");
  struct Case {
    DWORD first_access, first_share, second_access, second_share;
    DWORD error;  // 0: the second open succeeds
  } cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, 0},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, ERROR_SHARING_VIOLATION},   // first forbids writers
      {GENERIC_READ, kShareAll, GENERIC_READ, FILE_SHARE_READ, 0},
      {GENERIC_WRITE, kShareAll, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},   // second forbids the writer
      {GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, GENERIC_READ, kShareAll, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, DELETE, kShareAll, 0},
      {GENERIC_READ, FILE_SHARE_READ, DELETE, kShareAll, ERROR_SHARING_VIOLATION},
      {DELETE, kShareAll, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},          // order does not matter
      {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, 0},                                         // attribute-only opens
      {FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, GENERIC_READ | GENERIC_WRITE, 0, 0},  // never take part
      {FILE_APPEND_DATA, kShareAll, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
      {FILE_EXECUTE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, 0},
      {FILE_EXECUTE, kShareAll, GENERIC_READ, FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first_access << "/" << c.first_share << " then "
                                    << c.second_access << "/" << c.second_share);
    const HANDLE first = Open(u"C:\\f.bin", c.first_access, c.first_share);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    const HANDLE second = Open(u"C:\\F.BIN", c.second_access, c.second_share);
    if (c.error == 0) {
      EXPECT_NE(second, INVALID_HANDLE_VALUE);
      CloseHandle(second);
    } else {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
    }
    CloseHandle(first);
    // The share mode binds only while its handle is open.
    const HANDLE again = Open(u"C:\\f.bin", c.second_access, c.second_share);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
  }
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(FilesTest, ADuplicateIsTheSameOpenAndKeepsItsShareModeUntilTheLastClose) {
  machine_.WriteFile(u"C:\\f.bin", "data");
  const HANDLE file = Open(u"C:\\f.bin", GENERIC_READ, 0);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
  CloseHandle(file);
  EXPECT_EQ(Open(u"C:\\f.bin", GENERIC_READ, kShareAll), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(copy);
  const HANDLE after = Open(u"C:\\f.bin", GENERIC_READ, kShareAll);
  EXPECT_NE(after, INVALID_HANDLE_VALUE);
  CloseHandle(after);
}

TEST_F(FilesTest, DispositionsOnExistingAndMissingFiles) {
  struct Case {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;  // the last error after the call, success or not
    const char* contents;  // afterwards; null: no file
  } cases[] = {
      {CREATE_NEW, false, true, 0, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, 0, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_EXISTING, true, true, 0, "old"},
      {OPEN_ALWAYS, false, true, 0, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {TRUNCATE_EXISTING, true, true, 0, ""},
      {0, true, false, ERROR_INVALID_PARAMETER, "old"},
      {6, false, false, ERROR_INVALID_PARAMETER, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << (c.exists ? " existing" : " missing"));
    std::error_code ignored;
    fs::remove(Host(u"C:\\d.txt"), ignored);
    if (c.exists) machine_.WriteFile(u"C:\\d.txt", "old");
    SetLastError(1234);
    const HANDLE file = Open(u"C:\\d.txt", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(file != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.error);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (c.contents == nullptr) {
      EXPECT_FALSE(HostExists(u"C:\\d.txt"));
    } else {
      EXPECT_EQ(Contents(u"C:\\d.txt"), c.contents);
    }
  }
}

TEST_F(FilesTest, MissingNamesAndBadNames) {
  struct Case {
    std::u16string path;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {u"C:\\missing.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {u"C:\\no\\such\\dir\\file.txt", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"C:\\no\\such\\dir\\file.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {u"C:\\file.txt\\below", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},  // a file in the middle
      {u"C:\\bad|name", CREATE_ALWAYS, ERROR_INVALID_NAME},
      {u"Q:\\file.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},  // no such drive
      {u"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
  };
  machine_.WriteFile(u"C:\\file.txt", "x");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    EXPECT_EQ(Open(c.path, GENERIC_READ, kShareAll, c.disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST_F(FilesTest, ADeletePendingNameStaysUntilItsLastHandleClosesAndRefusesNewOpens) {
  machine_.WriteFile(u"C:\\p.txt", "x");
  const HANDLE reader = Open(u"C:\\p.txt", GENERIC_READ, kShareAll);
  const HANDLE deleter = Open(u"C:\\p.txt", DELETE, kShareAll);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_NE(deleter, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(MarkForDeletion(deleter));
  CloseHandle(deleter);

  EXPECT_TRUE(HostExists(u"C:\\p.txt"));
  for (DWORD disposition : {OPEN_EXISTING, CREATE_ALWAYS, OPEN_ALWAYS}) {
    EXPECT_EQ(Open(u"C:\\p.txt", GENERIC_READ, kShareAll, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << disposition;
  }
  EXPECT_EQ(GetFileAttributesW(u"C:\\p.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // The remaining handle still reads the file.
  char byte = 0;
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(reader, &byte, 1, &read, nullptr));
  EXPECT_EQ(byte, 'x');

  CloseHandle(reader);
  EXPECT_FALSE(HostExists(u"C:\\p.txt"));
  EXPECT_EQ(Open(u"C:\\p.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, ADispositionOfFalseCancelsThePendingDeletion) {
  machine_.WriteFile(u"C:\\p.txt", "x");
  const HANDLE file = Open(u"C:\\p.txt", DELETE);
  ASSERT_TRUE(MarkForDeletion(file));
  ASSERT_TRUE(MarkForDeletion(file, false));
  CloseHandle(file);
  EXPECT_EQ(Contents(u"C:\\p.txt"), "x");
}

TEST_F(FilesTest, DeletionNeedsTheDeleteRight) {
  machine_.WriteFile(u"C:\\p.txt", "x");
  const HANDLE file = Open(u"C:\\p.txt", GENERIC_READ | GENERIC_WRITE);
  EXPECT_FALSE(MarkForDeletion(file));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  FILE_DISPOSITION_INFO info{1};
  EXPECT_FALSE(SetFileInformationByHandle(file, FileDispositionInfo, &info, 0));
  EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
  CloseHandle(file);
  EXPECT_TRUE(HostExists(u"C:\\p.txt"));
}

TEST_F(FilesTest, DirectoriesOpenWithBackupSemanticsAndGoOnlyWhenEmpty) {
  fs::create_directories(Host(u"C:\\dir\\sub"));
  machine_.WriteFile(u"C:\\dir\\sub\\f.txt", "x");
  EXPECT_EQ(Open(u"C:\\dir\\sub", DELETE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(u"C:\\dir\\sub", DELETE, kShareAll, CREATE_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFileAttributesW(u"C:\\dir\\sub\\"), FILE_ATTRIBUTE_DIRECTORY);

  const HANDLE directory = Open(u"C:\\dir\\sub\\", DELETE, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(directory, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MarkForDeletion(directory));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  DWORD count = 7;
  char byte;
  EXPECT_FALSE(ReadFile(directory, &byte, 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(count, 0u);

  // A file whose deletion is pending still counts as an entry.
  const HANDLE file = Open(u"C:\\dir\\sub\\f.txt", DELETE);
  ASSERT_TRUE(MarkForDeletion(file));
  EXPECT_FALSE(MarkForDeletion(directory));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  CloseHandle(file);

  ASSERT_TRUE(MarkForDeletion(directory));
  // A directory on its way out takes no new files.
  EXPECT_EQ(Open(u"C:\\dir\\sub\\new.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(HostExists(u"C:\\dir\\sub"));
  CloseHandle(directory);
  EXPECT_FALSE(HostExists(u"C:\\dir\\sub"));
  EXPECT_TRUE(HostExists(u"C:\\dir"));
}

TEST_F(FilesTest, TheReadOnlyAttributeRefusesWritingAndDeletionEvenForTheHostsRoot) {
  machine_.WriteFile(u"C:\\ro.txt", "keep");
  ASSERT_TRUE(sim::WriteFileAttributes(Host(u"C:\\ro.txt"), FILE_ATTRIBUTE_READONLY));
  // The host permissions allow everything; only the simulation's attribute refuses.
  fs::permissions(Host(u"C:\\ro.txt"), fs::perms::all);
  EXPECT_EQ(GetFileAttributesW(u"C:\\ro.txt"), FILE_ATTRIBUTE_READONLY);
  struct Case {
    DWORD access;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {FILE_APPEND_DATA, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {GENERIC_READ, CREATE_ALWAYS, ERROR_ACCESS_DENIED},
      {GENERIC_READ | GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_ACCESS_DENIED},
      {GENERIC_READ, OPEN_EXISTING, 0},
      {DELETE, OPEN_EXISTING, 0},
  };
  for (const auto& c : cases) {
    const HANDLE file = Open(u"C:\\ro.txt", c.access, kShareAll, c.disposition);
    EXPECT_EQ(file == INVALID_HANDLE_VALUE ? GetLastError() : 0u, c.error) << std::hex << c.access;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  const HANDLE deleter = Open(u"C:\\ro.txt", DELETE);
  EXPECT_FALSE(MarkForDeletion(deleter));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(deleter);
  EXPECT_EQ(Contents(u"C:\\ro.txt"), "keep");

  // Cleared through the basic information, the file can be written again.
  const HANDLE attributes = Open(u"C:\\ro.txt", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  FILE_BASIC_INFO info{};
  ASSERT_TRUE(GetFileInformationByHandleEx(attributes, FileBasicInfo, &info, sizeof info));
  info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  ASSERT_TRUE(SetFileInformationByHandle(attributes, FileBasicInfo, &info, sizeof info));
  CloseHandle(attributes);
  const HANDLE writer = Open(u"C:\\ro.txt", GENERIC_WRITE);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(writer);
}

TEST_F(FilesTest, NewFilesGetTheirAttributesAndReplacingAHiddenFileNeedsThemAgain) {
  HANDLE file = Open(u"C:\\n.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(u"C:\\n.txt"), FILE_ATTRIBUTE_ARCHIVE);
  // A new read-only file is still writable through the handle that created it.
  file = Open(u"C:\\r.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "ab", 2, &written, nullptr));
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(u"C:\\r.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

  file = Open(u"C:\\h.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
  CloseHandle(file);
  EXPECT_EQ(Open(u"C:\\h.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  file = Open(u"C:\\h.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

TEST_F(FilesTest, TheReparsePointFlagActsOnASymbolicLinkItself) {
  machine_.WriteFile(u"C:\\target.txt", "target");
  fs::create_directories(Host(u"C:\\full"));
  machine_.WriteFile(u"C:\\full\\inside.txt", "x");
  fs::create_symlink(Host(u"C:\\target.txt"), Host(u"C:\\file-link"));
  fs::create_symlink(Host(u"C:\\full"), Host(u"C:\\dir-link"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\file-link"), FILE_ATTRIBUTE_REPARSE_POINT);

  // Followed, the link stands for its target.
  HANDLE file = Open(u"C:\\file-link", GENERIC_READ);
  char buffer[16] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "target");
  CloseHandle(file);

  constexpr DWORD kLinkItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  for (const std::u16string link : {u"C:\\file-link", u"C:\\dir-link"}) {
    file = Open(link, DELETE, kShareAll, OPEN_EXISTING, kLinkItself);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(MarkForDeletion(file));  // a link to a full directory is no directory
    CloseHandle(file);
    EXPECT_FALSE(HostExists(link));
  }
  EXPECT_EQ(Contents(u"C:\\target.txt"), "target");
  EXPECT_EQ(Contents(u"C:\\full\\inside.txt"), "x");
  EXPECT_EQ(Open(u"C:\\x", DELETE, kShareAll, CREATE_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Without the flag a deletion removes the target.
  fs::create_symlink(Host(u"C:\\target.txt"), Host(u"C:\\file-link"));
  file = Open(u"C:\\file-link", DELETE);
  EXPECT_TRUE(MarkForDeletion(file));
  CloseHandle(file);
  EXPECT_FALSE(HostExists(u"C:\\target.txt"));
}

TEST_F(FilesTest, ReadWriteAndSeekShareOnePointerPerOpen) {
  const HANDLE file = Open(u"C:\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  DWORD count = 99;
  ASSERT_TRUE(WriteFile(file, "hello", 5, &count, nullptr));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 5u);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(SetFilePointer(copy, 1, nullptr, FILE_BEGIN), 1u);
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(file, buffer, 3, &count, nullptr));  // the duplicate moved this pointer
  EXPECT_EQ(std::string(buffer, count), "ell");
  ASSERT_TRUE(ReadFile(file, buffer, 8, &count, nullptr));  // across the end: what there is
  EXPECT_EQ(std::string(buffer, count), "o");
  ASSERT_TRUE(ReadFile(file, buffer, 8, &count, nullptr));  // at the end: success, nothing
  EXPECT_EQ(count, 0u);

  // Writing after a seek past the end fills the gap with zeros; writing 0 bytes changes nothing.
  EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_END), 7u);
  ASSERT_TRUE(WriteFile(file, "!", 1, &count, nullptr));
  ASSERT_TRUE(WriteFile(file, "", 0, &count, nullptr));
  EXPECT_EQ(Contents(u"C:\\rw.bin"), std::string("hello\0\0!", 8));

  SetLastError(0);
  EXPECT_EQ(SetFilePointer(file, -9, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 8u);  // unmoved
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);  // 0x1FFFFFFFF: valid
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_TRUE(FlushFileBuffers(file));
  CloseHandle(copy);
  CloseHandle(file);
}

TEST_F(FilesTest, EachCallNeedsItsRightAndAFileHandle) {
  machine_.WriteFile(u"C:\\a.txt", "abc");
  const HANDLE reader = Open(u"C:\\a.txt", GENERIC_READ);
  const HANDLE writer = Open(u"C:\\a.txt", FILE_WRITE_DATA);
  const HANDLE nothing = Open(u"C:\\a.txt", 0);
  char buffer[4];
  DWORD count = 5;
  FILE_BASIC_INFO info{};
  struct Case {
    const char* call;
    std::function<BOOL()> run;
    DWORD error;
  } cases[] = {
      {"write on a reader", [&] { return WriteFile(reader, "x", 1, &count, nullptr); }, ERROR_ACCESS_DENIED},
      {"read on a writer", [&] { return ReadFile(writer, buffer, 1, &count, nullptr); }, ERROR_ACCESS_DENIED},
      {"flush on a reader", [&] { return FlushFileBuffers(reader); }, ERROR_ACCESS_DENIED},
      {"basic info without the right",
       [&] { return GetFileInformationByHandleEx(nothing, FileBasicInfo, &info, sizeof info); }, ERROR_ACCESS_DENIED},
      {"set basic info without the right",
       [&] { return SetFileInformationByHandle(reader, FileBasicInfo, &info, sizeof info); }, ERROR_ACCESS_DENIED},
      {"short basic info", [&] { return GetFileInformationByHandleEx(reader, FileBasicInfo, &info, 39); },
       ERROR_BAD_LENGTH},
      {"unsimulated class", [&] { return GetFileInformationByHandleEx(reader, FileNameInfo, &info, sizeof info); },
       ERROR_INVALID_PARAMETER},
      {"read without a count", [&] { return ReadFile(reader, buffer, 1, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
      {"not a handle", [&] { return ReadFile(reinterpret_cast<HANDLE>(0x4444), buffer, 1, &count, nullptr); },
       ERROR_INVALID_HANDLE},
      {"the heap is no file", [&] { return WriteFile(GetProcessHeap(), "x", 1, &count, nullptr); },
       ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(c.run(), FALSE) << c.call;
    EXPECT_EQ(GetLastError(), c.error) << c.call;
  }
  for (HANDLE handle : {reader, writer, nothing}) EXPECT_TRUE(CloseHandle(handle));
  EXPECT_FALSE(CloseHandle(reader));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Contents(u"C:\\a.txt"), "abc");
}

TEST_F(FilesTest, BasicInformationCarriesTimesAndAttributes) {
  machine_.WriteFile(u"C:\\t.txt", "x");
  const HANDLE file = Open(u"C:\\t.txt", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  FILE_BASIC_INFO info{};
  ASSERT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info));
  EXPECT_EQ(info.FileAttributes, FILE_ATTRIBUTE_NORMAL);
  const LONGLONG now = 116444736000000000LL + static_cast<LONGLONG>(::time(nullptr)) * 10000000LL;
  for (LONGLONG time : {info.CreationTime, info.LastAccessTime, info.LastWriteTime, info.ChangeTime}) {
    EXPECT_LT(std::llabs(time - now), 3600LL * 10000000LL);  // within the hour: the units and epoch are right
  }

  FILE_BASIC_INFO change{};
  change.LastWriteTime = 116444736000000000LL + 1000000000LL * 10000000LL;  // 2001-09-09 01:46:40 UTC
  change.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
  ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change));
  FILE_BASIC_INFO after{};
  ASSERT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &after, sizeof after));
  EXPECT_EQ(after.LastWriteTime, change.LastWriteTime);
  EXPECT_EQ(after.LastAccessTime, info.LastAccessTime);  // 0 keeps the current value
  EXPECT_EQ(after.FileAttributes, FILE_ATTRIBUTE_HIDDEN);
  struct stat status {};
  ASSERT_EQ(::stat(Host(u"C:\\t.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mtime, 1000000000) << "the host file's own time was set";

  // The host can change neither its birth time nor its change time; a creation or change
  // time set is kept and read back.
  change = FILE_BASIC_INFO{};
  change.CreationTime = 116444736000000000LL + 1577953230LL * 10000000LL;  // 2020-01-02 08:20:30 UTC
  change.ChangeTime = change.CreationTime + 10000000LL;
  ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change));
  ASSERT_TRUE(GetFileInformationByHandleEx(file, FileBasicInfo, &after, sizeof after));
  EXPECT_EQ(after.CreationTime, change.CreationTime);
  EXPECT_EQ(after.ChangeTime, change.ChangeTime);
  EXPECT_EQ(after.LastWriteTime, 116444736000000000LL + 1000000000LL * 10000000LL);
  EXPECT_EQ(after.FileAttributes, FILE_ATTRIBUTE_HIDDEN);

  change = FILE_BASIC_INFO{};  // attributes 0: unchanged
  ASSERT_TRUE(SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change));
  EXPECT_EQ(GetFileAttributesW(u"C:\\t.txt"), FILE_ATTRIBUTE_HIDDEN);
  change.LastAccessTime = -3;
  EXPECT_FALSE(SetFileInformationByHandle(file, FileBasicInfo, &change, sizeof change));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(file);
}

TEST_F(FilesTest, AWriteTheHostCannotTakeWhollyLeavesTheFileAsItWas) {
  machine_.WriteFile(u"C:\\w.bin", std::string(50, 'a'));
  const HANDLE file = Open(u"C:\\w.bin", GENERIC_WRITE);
  ASSERT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 50u);
  // The host's file size limit lets part of the write through, then refuses the rest.
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  DWORD written = 7;
  const BOOL result = WriteFile(file, std::string(150, 'b').data(), 150, &written, nullptr);
  const DWORD error = GetLastError();
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(result);
  EXPECT_EQ(error, ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 50u);
  EXPECT_EQ(Contents(u"C:\\w.bin"), std::string(50, 'a'));
  CloseHandle(file);
}

TEST_F(FilesTest, FaultsFailTheNamedCall) {
  machine_.WriteFile(u"C:\\f.txt", "x");
  sim::ProcessOptions options;
  options.faults = {{"CreateFileW", 2, ERROR_DISK_FULL}, {"WriteFile", 1, ERROR_WRITE_FAULT}};
  machine_.Start(options);
  const HANDLE file = Open(u"C:\\f.txt", GENERIC_WRITE);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"C:\\f.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(file, "yy", 2, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
  EXPECT_EQ(Contents(u"C:\\f.txt"), "x");
  CloseHandle(file);
}

TEST_F(FilesTest, AProcessThatEndsWithAPendingDeletionCompletesIt) {
  machine_.WriteFile(u"C:\\end.txt", "x");
  const HANDLE file = Open(u"C:\\end.txt", DELETE);
  ASSERT_TRUE(MarkForDeletion(file));
  EXPECT_EQ(OpenHandles(), 1u);
  sim::EndProcess();
  EXPECT_FALSE(HostExists(u"C:\\end.txt"));
}

}  // namespace
