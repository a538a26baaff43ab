// CommandLineToArgvW against Windows' documented splitting rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/shell32.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tests/support/test_machine.h"

namespace {

struct SplitCase {
  std::u16string line;
  std::vector<std::u16string> arguments;
};

class CommandLineToArgvTest : public ::testing::Test {
 protected:
  sim::Process& Start(std::vector<sim::FaultRule> faults = {}) {
    sim::ProcessOptions options;
    options.image = u"C:\\Users\\Demo\\installer.exe";
    options.faults = std::move(faults);
    machine_.WriteFile(options.image, "MZ");
    return machine_.Start(options);
  }
  // Splits, checks the vector's shape and releases it.
  std::vector<std::u16string> Split(const std::u16string& line) {
    int count = -1;
    LPWSTR* vector = CommandLineToArgvW(line.c_str(), &count);
    EXPECT_NE(vector, nullptr) << sim::ToUtf8(line);
    if (vector == nullptr) return {};
    std::vector<std::u16string> arguments(vector, vector + count);
    EXPECT_EQ(vector[count], nullptr) << "the vector ends with a null entry";
    EXPECT_EQ(LocalFree(vector), nullptr);
    return arguments;
  }
  testing_support::TestMachine machine_;
};

TEST_F(CommandLineToArgvTest, SplitsAsWindowsDoes) {
  Start();
  const SplitCase cases[] = {
      // The program name: to the first space or tab, or between quotes; backslashes literal.
      {u"\"C:\\Program Files\\a.exe\" x", {u"C:\\Program Files\\a.exe", u"x"}},
      {u"C:\\Program Files\\a.exe x", {u"C:\\Program", u"Files\\a.exe", u"x"}},
      {u"C:\\a\\\"b c", {u"C:\\a\\\"b", u"c"}},
      {u"\"C:\\dir\\\\\" x", {u"C:\\dir\\\\", u"x"}},
      {u"\"C:\\dir\\\" x", {u"C:\\dir\\", u"x"}},
      {u"a.exe\tb\t c", {u"a.exe", u"b", u"c"}},
      {u" x y", {u"", u"x", u"y"}},
      {u"\tx", {u"", u"x"}},
      {u"\"p\"x y", {u"p", u"x", u"y"}},
      {u"\"p q", {u"p q"}},
      {u"p", {u"p"}},
      // The examples of the public documentation of argument parsing.
      {u"p \"a b c\" d e", {u"p", u"a b c", u"d", u"e"}},
      {u"p \"ab\\\"c\" \"\\\\\" d", {u"p", u"ab\"c", u"\\", u"d"}},
      {u"p a\\\\\\b d\"e f\"g h", {u"p", u"a\\\\\\b", u"de fg", u"h"}},
      {u"p a\\\\\\\"b c d", {u"p", u"a\\\"b", u"c", u"d"}},
      {u"p a\\\\\\\\\"b c\" d e", {u"p", u"a\\\\b c", u"d", u"e"}},
      {u"p a\"b\"\" c d", {u"p", u"ab\" c d"}},
      // Backslashes and quotes in later arguments.
      {u"p \\\"", {u"p", u"\""}},
      {u"p \\\\\"x y\"", {u"p", u"\\x y"}},
      {u"p \"a\\\"b\"", {u"p", u"a\"b"}},
      {u"p \"a\"\"b\" c", {u"p", u"a\"b", u"c"}},
      {u"p C:\\dir\\ x", {u"p", u"C:\\dir\\", u"x"}},
      {u"p \"\" x", {u"p", u"", u"x"}},
      {u"p \"unterminated  tail", {u"p", u"unterminated  tail"}},
      {u"p x   \t ", {u"p", u"x"}},
      {u"p a\"b c\"d", {u"p", u"ab cd"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Split(c.line), c.arguments) << sim::ToUtf8(c.line);
  }
}

TEST_F(CommandLineToArgvTest, AnEmptyLineGivesTheExecutablesPath) {
  Start();
  EXPECT_EQ(Split(u""), std::vector<std::u16string>{u"C:\\Users\\Demo\\installer.exe"});
}

TEST_F(CommandLineToArgvTest, TheVectorIsOneLocalBlockThatLocalFreeReleases) {
  sim::Process& process = Start();
  int count = 0;
  LPWSTR* vector = CommandLineToArgvW(u"\"C:\\a b\\x.exe\" one \"two three\" four", &count);
  ASSERT_NE(vector, nullptr);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  // Every string lies inside the block, after the pointer array.
  const auto* begin = reinterpret_cast<const BYTE*>(vector);
  for (int i = 0; i < count; ++i) {
    const auto* text = reinterpret_cast<const BYTE*>(vector[i]);
    EXPECT_GE(text, begin + (count + 1) * sizeof(LPWSTR));
    EXPECT_LT(text, begin + process.Snapshot().largest_block);
  }
  EXPECT_EQ(LocalFree(vector), nullptr);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
}

TEST_F(CommandLineToArgvTest, FailuresAreReportedThroughTheLastError) {
  struct Case {
    const char* name;
    sim::FaultRule fault;
    DWORD error;
  } cases[] = {
      {"allocation", {"LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY}, ERROR_NOT_ENOUGH_MEMORY},
      {"splitting", {"CommandLineToArgvW", 1, ERROR_OUTOFMEMORY}, ERROR_OUTOFMEMORY},
  };
  for (const auto& c : cases) {
    sim::Process& process = Start({c.fault});
    int count = 77;
    SetLastError(0);
    EXPECT_EQ(CommandLineToArgvW(u"p x", &count), nullptr) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
    EXPECT_EQ(process.Snapshot().live_local_blocks, 0u) << c.name;
  }
  Start();
  int count = 0;
  EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CommandLineToArgvW(u"p", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
