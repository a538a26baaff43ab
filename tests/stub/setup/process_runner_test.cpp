// RunAndWait against the simulated Windows with the setup stand-in as the child, and
// AppendUserArguments on its own.
#include "stub/setup/process_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "sim/core/file_metadata.h"
#include "sim/core/text.h"
#include "stub/config/configuration.h"
#include "tests/stub/setup/setup_child_fixture.h"

namespace {

using setup_tests::Fill;
using setup_tests::kSetupPath;

struct Codes {
  DWORD file_not_found, path_not_found, launch_failed;
};
// The two callers' code sets.
constexpr Codes kPatchCodes = {119u, 120u, 121u};
constexpr Codes kSetupCodes = {122u, 123u, 124u};

class RunAndWaitTest : public setup_tests::SetupChildTest {
 protected:
  ExitResult Run(const std::u16string& executable, const std::u16string& line, Codes codes = kSetupCodes) {
    PathString path;
    Fill(path, executable);
    CommandString command_line;
    Fill(command_line, line);
    return RunAndWait(path, command_line, codes.file_not_found, codes.path_not_found, codes.launch_failed);
  }
};

void ExpectResult(const ExitResult& result, DWORD exit_code, DWORD extra_code, const std::string& what) {
  EXPECT_EQ(result.exit_code, exit_code) << what;
  EXPECT_EQ(result.extra_code, extra_code) << what;
}

TEST_F(RunAndWaitTest, TheChildsExitCodeComesBackUnchanged) {
  const std::u16string line = std::u16string(u"\"") + kSetupPath + u"\" --install-archive=\"C:\\a b\\x.7z\" --y";
  // 105 is one of the stub's own codes; 0x80000005 needs all 32 bits.
  for (DWORD code : {0u, 3u, 105u, 0x80000005u}) {
    SetExitCode(code);
    ExpectResult(Run(kSetupPath, line), code, 0, std::to_string(code));
    EXPECT_EQ(OpenHandles(), 0u) << code;
  }
  const auto runs = Runs();
  ASSERT_EQ(runs.size(), 4u);
  for (const auto& run : runs) EXPECT_EQ(run.command_line, line);
}

TEST_F(RunAndWaitTest, StartFailuresGiveTheCallersCodes) {
  machine_.WriteFile(u"C:\\Programs\\readme.txt", "not a program");
  struct Case {
    const char* what;
    std::u16string path;
    Codes codes;
    ExitResult expected;
  } cases[] = {
      {"missing file, setup", u"C:\\Programs\\Pellora Setup\\gone.exe", kSetupCodes, {122, INVALID_FILE_ATTRIBUTES}},
      {"missing file, patch", u"C:\\Programs\\Pellora Setup\\gone.exe", kPatchCodes, {119, INVALID_FILE_ATTRIBUTES}},
      {"missing folder, setup", u"C:\\Gone\\setup.exe", kSetupCodes, {123, INVALID_FILE_ATTRIBUTES}},
      {"missing folder, patch", u"C:\\Gone\\setup.exe", kPatchCodes, {120, INVALID_FILE_ATTRIBUTES}},
      {"no program, setup", u"C:\\Programs\\readme.txt", kSetupCodes, {124, ERROR_BAD_EXE_FORMAT}},
      {"no program, patch", u"C:\\Programs\\readme.txt", kPatchCodes, {121, ERROR_BAD_EXE_FORMAT}},
      {"a folder", u"C:\\Programs", kSetupCodes, {124, ERROR_ACCESS_DENIED}},
  };
  for (const auto& c : cases) {
    ExpectResult(Run(c.path, u"\"" + c.path + u"\"", c.codes), c.expected.exit_code, c.expected.extra_code, c.what);
  }
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_TRUE(Runs().empty());
}

// The error is taken before the attributes are read: reading them sets errors of its own.
TEST_F(RunAndWaitTest, NotFoundReportsTheAttributesOfWhateverIsThere) {
  sim::WriteFileAttributes(machine_.HostPath(kSetupPath), sim::kFileAttributeHidden | sim::kFileAttributeArchive);
  struct Case {
    const char* what;
    DWORD injected;
    std::u16string path;
    ExitResult expected;
  } cases[] = {
      {"file not found, file there", ERROR_FILE_NOT_FOUND, kSetupPath, {122, 0x22}},
      {"path not found, file there", ERROR_PATH_NOT_FOUND, kSetupPath, {123, 0x22}},
      {"path not found, folder there", ERROR_PATH_NOT_FOUND, u"C:\\Programs", {123, 0x10}},
      {"other error, nothing there", ERROR_NOT_ENOUGH_MEMORY, u"C:\\Gone\\setup.exe", {124, ERROR_NOT_ENOUGH_MEMORY}},
  };
  for (const auto& c : cases) {
    StartWithFaults({{"CreateProcessW", 1, c.injected}});
    ExpectResult(Run(c.path, u"setup"), c.expected.exit_code, c.expected.extra_code, c.what);
  }
  EXPECT_TRUE(Runs().empty());
}

TEST_F(RunAndWaitTest, SilentModeStartsTheChildHidden) {
  for (bool silent : {true, false}) {
    silent_mode = silent;
    ExpectResult(Run(kSetupPath, u"setup"), 0, 0, silent ? "silent" : "not silent");
  }
  const auto runs = Runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].startup_flags, 0x81u);  // STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK
  EXPECT_EQ(runs[0].show_window, 0);        // SW_HIDE
  EXPECT_EQ(runs[1].startup_flags, 0u);
  for (const auto& run : runs) EXPECT_EQ(run.creation_flags, 0x08000000u);  // CREATE_NO_WINDOW alone
  // No handle of the stub's is inherited: bInheritHandles is 0 (FALSE) on every start.
  const std::string trace = Trace();
  size_t starts = 0;
  for (size_t at = trace.find("CreateProcessW("); at != std::string::npos; at = trace.find("CreateProcessW(", at + 1)) {
    ++starts;
    const std::string line = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_NE(line.find("\", 0, 0x8000000, "), std::string::npos) << line;
  }
  EXPECT_EQ(starts, 2u) << trace;
}

TEST_F(RunAndWaitTest, AFailedWaitOrExitCodeReadGivesTheWaitCode) {
  struct Case {
    const char* function;
    DWORD error;
  } cases[] = {{"WaitForSingleObject", ERROR_INVALID_HANDLE}, {"GetExitCodeProcess", ERROR_ACCESS_DENIED}};
  for (const auto& c : cases) {
    StartWithFaults({{c.function, 1, c.error}});
    ExpectResult(Run(kSetupPath, u"setup"), 107u, c.error, c.function);
    EXPECT_EQ(OpenHandles(), 0u) << c.function;  // both handles closed on this path too
  }
}

struct AppendCase {
  const char* what;
  std::u16string raw;
  std::u16string before;
  std::u16string after;
};

TEST(AppendUserArgumentsTest, CopiesWhatFollowsTheProgramName) {
  const std::u16string start = u"\"C:\\setup.exe\" --pellora-mini";
  const std::u16string full_but_6(kCommandCapacity - 1 - 6, u'x');  // room for 6 more units
  const std::u16string full_but_1(kCommandCapacity - 2, u'x');
  const std::u16string full(kCommandCapacity - 1, u'x');
  const AppendCase cases[] = {
      {"quoted name only", u"\"C:\\a b\\installer.exe\"", start, start},
      {"unquoted name only", u"C:\\installer.exe", start, start},
      {"empty line", u"", start, start},
      {"quoted name, arguments", u"\"C:\\a b\\i.exe\" --x \"y z\"", start, start + u" --x \"y z\""},
      {"two spaces kept", u"\"C:\\i.exe\"  --x", start, start + u"  --x"},
      {"nothing between quote and argument", u"\"C:\\i.exe\"--x", start, start + u" --x"},
      {"a quote right after the name", u"\"C:\\i.exe\"\"a b\"", start, start + u" \"a b\""},
      {"quoted name, TAB", u"\"C:\\i.exe\"\t--x", start, start + u"\t--x"},
      {"unquoted name, TAB", u"C:\\i.exe\t--x y", start, start + u"\t--x y"},
      {"unquoted name, space", u"C:\\i.exe --x", start, start + u" --x"},
      {"CR inside an unquoted name", u"C:\\i\r.exe --x", start, start + u" --x"},
      {"LF inside an unquoted name", u"C:\\i\n.exe\t--x", start, start + u"\t--x"},
      {"only a trailing space", u"C:\\i.exe ", start, start + u" "},
      {"no closing quote", u"\"C:\\i.exe --x", start, start},
      // Nothing past the terminator is read, not even a quote.
      {"no closing quote before the terminator", std::u16string(u"\"C:\\i.exe\0\" --x", 15), start, start},
      {"empty quoted name", u"\"\" --x", start, start + u" --x"},
      {"own switches passed on", u"\"C:\\i.exe\" --pellora-silent --system-level --cleanup", start,
       start + u" --pellora-silent --system-level --cleanup"},
      {"nothing escaped", u"\"C:\\i.exe\" \\\"a\\\\\" %TEMP%", start, start + u" \\\"a\\\\\" %TEMP%"},
      {"tail fits exactly", u"\"C:\\i.exe\" --abc", full_but_6, full_but_6 + u" --abc"},
      {"tail one unit too long", u"\"C:\\i.exe\" --abcd", full_but_6, full_but_6},
      {"added space fits, tail does not", u"\"C:\\i.exe\"--abc", full_but_1, full_but_1 + u" "},
      {"added space does not fit", u"\"C:\\i.exe\"--abc", full, full},
  };
  for (const auto& c : cases) {
    CommandString line;
    Fill(line, c.before);
    AppendUserArguments(c.raw.c_str(), line);
    EXPECT_EQ(std::u16string(line.Data()), c.after) << c.what;
    EXPECT_EQ(line.units[kCommandCapacity], 0) << c.what;
  }
}

}  // namespace
