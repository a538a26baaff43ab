// ScopedHandle against the simulated Windows: one close, and the caller's last error kept.
#include "stub/support/scoped_handle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "tests/support/test_machine.h"

namespace {

// The handle is closed once, by Close or by the owner's end, and the error a caller may
// still be reporting survives the close, even a close that fails.
TEST(ScopedHandleTest, ClosesOnceAndKeepsTheCallersError) {
  struct Case {
    const char* what;
    std::vector<sim::FaultRule> faults;
  } cases[] = {
      {"the close succeeds", {}},
      {"the close fails", {{"CloseHandle", 1, ERROR_INVALID_HANDLE}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::TestMachine machine;
    machine.WriteFile(u"C:\\held.txt", "x");
    sim::ProcessOptions options;
    options.faults = c.faults;
    sim::Process& process = machine.Start(options);
    {
      ScopedHandle holder;
      EXPECT_FALSE(holder.IsValid());
      holder.handle = CreateFileW(u"C:\\held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_TRUE(holder.IsValid());
      SetLastError(ERROR_DISK_FULL);
      holder.Close();
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
      EXPECT_FALSE(holder.IsValid());
      holder.Close();  // nothing left to close
    }
    // A close that failed leaves the system's handle open; the rest needs it closed.
    if (!c.faults.empty()) continue;
    EXPECT_TRUE(process.Snapshot().open_handles.empty());
    // An owner that goes out of scope closes what it holds.
    {
      ScopedHandle owner;
      owner.handle = CreateFileW(u"C:\\held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_TRUE(owner.IsValid());
    }
    const HANDLE again = CreateFileW(u"C:\\held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the file is still held";
    CloseHandle(again);
  }
}

}  // namespace
