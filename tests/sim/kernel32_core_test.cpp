// The core kernel32 calls against Windows' documented behaviour.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_strings.h"
#include "sim/core/process.h"
#include "tests/support/test_machine.h"

namespace {

class Kernel32CoreTest : public ::testing::Test {
 protected:
  sim::Process& Start(std::u16string image = u"C:\\Setup\\installer.exe", std::u16string line = u"") {
    machine_.WriteFile(image, "MZ");
    sim::ProcessOptions options;
    options.image = image;
    options.command_line = line;
    return machine_.Start(options);
  }
  testing_support::TestMachine machine_;
};

TEST_F(Kernel32CoreTest, CommandLineIsReturnedExactly) {
  const std::u16string line = u"\"C:\\Setup\\installer.exe\"  --a\t\"b c\"   \\\"  ";
  Start(u"C:\\Setup\\installer.exe", line);
  EXPECT_EQ(std::u16string(GetCommandLineW()), line);
  EXPECT_EQ(GetCommandLineW(), GetCommandLineW());  // one string for the process's life
}

TEST_F(Kernel32CoreTest, ModuleHandleIsTheMappedImage) {
  sim::Process& process = Start();
  const HMODULE module = GetModuleHandleW(nullptr);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(reinterpret_cast<const char*>(module)[0], 'M');
  EXPECT_EQ(module, process.module());
}

TEST_F(Kernel32CoreTest, ModuleFileNameFollowsTheTruncationContract) {
  const std::u16string image = u"C:\\Setup\\installer.exe";  // 22 units
  Start(image);
  struct Case {
    DWORD size;
    DWORD result;
    std::u16string text;
    DWORD error;
  } cases[] = {
      {260, 22, image, 0},
      {23, 22, image, 0},                                   // exactly fits with the terminator
      {22, 22, image.substr(0, 21), ERROR_INSUFFICIENT_BUFFER},  // cut: size - 1 units and a NUL
      {5, 5, u"C:\\S", ERROR_INSUFFICIENT_BUFFER},
      {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    WCHAR buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, c.size), c.result) << c.size;
    EXPECT_EQ(std::u16string(buffer), c.text) << c.size;
    EXPECT_EQ(buffer[c.size], u'#') << "wrote past the buffer of " << c.size;
    EXPECT_EQ(GetLastError(), c.error) << c.size;
  }
}

TEST_F(Kernel32CoreTest, ModuleFileNameOfTheModuleHandleItself) {
  Start();
  WCHAR buffer[64];
  EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, 64), 22u);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), buffer, 64), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(Kernel32CoreTest, LastErrorIsKeptUntilSetAgain) {
  Start();
  SetLastError(1234);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(GetLastError(), 1234u);
  SetLastError(0);
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(Kernel32CoreTest, HeapBlocksAreCountedUntilFreed) {
  sim::Process& process = Start();
  const HANDLE heap = GetProcessHeap();
  ASSERT_NE(heap, nullptr);
  auto* zeroed = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(zeroed[63], 0);
  EXPECT_EQ(process.Snapshot().live_heap_blocks, 1u);
  EXPECT_EQ(process.Snapshot().largest_block, 64u);
  EXPECT_TRUE(HeapFree(heap, 0, zeroed));
  EXPECT_EQ(process.Snapshot().live_heap_blocks, 0u);
  EXPECT_FALSE(HeapFree(heap, 0, zeroed));  // a second free is refused, not a corruption
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Kernel32CoreTest, FailedHeapAllocLeavesTheLastErrorAlone) {
  sim::ProcessOptions options;
  options.faults.push_back({"HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY});
  machine_.Start(options);
  void* first = HeapAlloc(GetProcessHeap(), 0, 8);
  ASSERT_NE(first, nullptr);
  SetLastError(77);
  EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), 77u);
  HeapFree(GetProcessHeap(), 0, first);
}

TEST_F(Kernel32CoreTest, LocalFreeReturnsNullOnSuccessAndTheBlockOnFailure) {
  sim::Process& process = Start();
  HLOCAL block = LocalAlloc(LPTR, 32);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<BYTE*>(block)[31], 0);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  int not_local = 0;
  EXPECT_EQ(LocalFree(&not_local), &not_local);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Kernel32CoreTest, HeapAndLocalBlocksAreNotInterchangeable) {
  Start();
  HLOCAL local = LocalAlloc(LMEM_FIXED, 8);
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, local));
  EXPECT_EQ(LocalFree(local), nullptr);
}

TEST_F(Kernel32CoreTest, VirtualSleepCountsWithoutWaiting) {
  sim::ProcessOptions options;
  options.virtual_sleep = true;
  sim::Process& process = machine_.Start(options);
  for (int i = 0; i < 99; ++i) Sleep(100);
  EXPECT_EQ(process.Snapshot().pauses, 99u);
  EXPECT_EQ(process.Snapshot().pause_milliseconds, 9900u);
}

TEST_F(Kernel32CoreTest, RealSleepWaits) {
  sim::Process& process = Start();
  const auto before = std::chrono::steady_clock::now();
  Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
  EXPECT_EQ(process.Snapshot().pauses, 1u);
}

TEST_F(Kernel32CoreTest, WorkingSetTrimIsRecordedForTheCurrentProcessOnly) {
  sim::Process& process = Start();
  const SIZE_T all = static_cast<SIZE_T>(-1);
  EXPECT_TRUE(SetProcessWorkingSetSize(GetCurrentProcess(), all, all));
  EXPECT_EQ(process.Snapshot().working_set_trims, 1u);
  EXPECT_FALSE(SetProcessWorkingSetSize(reinterpret_cast<HANDLE>(0x4444), all, all));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(process.Snapshot().working_set_trims, 1u);
}

TEST_F(Kernel32CoreTest, CurrentProcessIsAPseudoHandleThatNeedsNoClosing) {
  Start();
  EXPECT_EQ(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)));
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x104)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Kernel32CoreTest, FaultInjectionFailsTheChosenCallOnly) {
  sim::ProcessOptions options;
  options.image = u"C:\\a.exe";
  options.faults.push_back({"GetModuleFileNameW", 2, ERROR_ACCESS_DENIED});
  machine_.Start(options);
  WCHAR buffer[16];
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 16), 8u);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 16), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 16), 8u);
}

TEST(FaultRuleTest, ParsesNameCallAndError) {
  auto rule = sim::ParseFaultRule("CreateDirectoryW:3:0x5");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->function, "CreateDirectoryW");
  EXPECT_EQ(rule->call, 3u);
  EXPECT_EQ(rule->error, 5u);
  auto every = sim::ParseFaultRule("Sleep:all:87");
  ASSERT_TRUE(every);
  EXPECT_EQ(every->call, 0u);
  for (const char* bad : {"", "Name", "Name:1", ":1:2", "Name:0:5", "Name:x:5", "Name:1:"}) {
    EXPECT_FALSE(sim::ParseFaultRule(bad)) << bad;
  }
}

TEST_F(Kernel32CoreTest, StringComparisonsTestEquality) {
  Start();
  EXPECT_EQ(lstrcmpW(u"B7", u"B7"), 0);
  EXPECT_NE(lstrcmpW(u"B7", u"b7"), 0);
  EXPECT_NE(lstrcmpW(u"B7", u"B7 "), 0);
  EXPECT_EQ(lstrcmpiW(u"--System-Level", u"--system-level"), 0);
  EXPECT_EQ(lstrcmpiW(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
  EXPECT_NE(lstrcmpiW(u"--cleanup=1", u"--cleanup"), 0);
}

}  // namespace
