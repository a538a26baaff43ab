// Child processes against Windows' documented behaviour: CreateProcessW with an
// application path, what the child is given, waiting, exit codes and the two handles.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_files.h"
#include "platform/kernel32_handles.h"
#include "platform/kernel32_processes.h"
#include "sim/core/file_metadata.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tests/support/host_command.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::InstallStandIn;
using testing_support::RecordedRuns;
using testing_support::SetMachineSetting;

constexpr char16_t kSetup[] = u"C:\\Programs\\setup.exe";

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallStandIn(machine_, kSetup, "setup_standin"); }

  sim::Process& Start(sim::ProcessOptions options = {}) {
    options.image = u"C:\\Downloads\\installer.exe";
    options.command_line = u"\"C:\\Downloads\\installer.exe\"";
    return machine_.Start(std::move(options));
  }

  // CreateProcessW as the stub calls it, with a writable copy of `line`.
  BOOL Create(const std::u16string& application, const std::u16string& line, PROCESS_INFORMATION& child,
              DWORD creation_flags = CREATE_NO_WINDOW, DWORD startup_flags = 0, WORD show = 0,
              LPCWSTR current_directory = nullptr) {
    std::u16string buffer = line;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = startup_flags;
    startup.wShowWindow = show;
    child = {};
    return CreateProcessW(application.c_str(), buffer.data(), nullptr, nullptr, FALSE, creation_flags, nullptr,
                          current_directory, &startup, &child);
  }

  // Waits for the child, closes both handles and returns its exit code.
  DWORD Finish(PROCESS_INFORMATION& child) {
    EXPECT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_TRUE(CloseHandle(child.hThread));
    EXPECT_TRUE(CloseHandle(child.hProcess));
    return code;
  }

  size_t OpenHandles() { return sim::CurrentProcess().Snapshot().open_handles.size(); }

  testing_support::TestMachine machine_;
};

TEST_F(ProcessesTest, StartFailuresGiveTheDocumentedErrors) {
  machine_.WriteFile(u"C:\\Programs\\notes.txt", "not a program\n");
  machine_.WriteFile(u"C:\\Programs\\windows.exe", std::string("MZ\x90\0\3\0\0\0", 8) + std::string(120, '\0'));
  machine_.WriteFile(u"C:\\Programs\\empty.exe", "");
  machine_.WriteFile(u"C:\\Programs\\lost.exe", "#!/no/such/interpreter\n");
  std::filesystem::create_directories(machine_.HostPath(u"C:\\Programs\\folder.exe\\x").parent_path());
  Start();
  struct Case {
    const char* what;
    std::u16string application;
    std::u16string line;
    DWORD error;
  } cases[] = {
      {"missing file", u"C:\\Programs\\missing.exe", u"x", ERROR_FILE_NOT_FOUND},
      {"missing folder", u"C:\\Missing\\setup.exe", u"x", ERROR_PATH_NOT_FOUND},
      {"missing drive", u"Q:\\setup.exe", u"x", ERROR_PATH_NOT_FOUND},
      {"file on the way", u"C:\\Programs\\notes.txt\\setup.exe", u"x", ERROR_PATH_NOT_FOUND},
      {"text file", u"C:\\Programs\\notes.txt", u"x", ERROR_BAD_EXE_FORMAT},
      {"Windows image", u"C:\\Programs\\windows.exe", u"x", ERROR_BAD_EXE_FORMAT},
      {"empty file", u"C:\\Programs\\empty.exe", u"x", ERROR_BAD_EXE_FORMAT},
      {"missing interpreter", u"C:\\Programs\\lost.exe", u"x", ERROR_BAD_EXE_FORMAT},
      {"folder", u"C:\\Programs\\folder.exe", u"x", ERROR_ACCESS_DENIED},
      {"invalid name", u"C:\\Programs\\a|b.exe", u"x", ERROR_INVALID_NAME},
      {"command line too long", kSetup, std::u16string(32768, u'x'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    PROCESS_INFORMATION child;
    EXPECT_FALSE(Create(c.application, c.line, child)) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_TRUE(RecordedRuns(machine_).empty());
}

TEST_F(ProcessesTest, TheRawCommandLineReachesTheChildExactly) {
  Start();
  const std::u16string lines[] = {
      u"\"C:\\Programs\\setup.exe\" --install-archive=\"C:\\a b\\x.7z\" --pellora-mini",
      u"\"C:\\Programs\\setup.exe\"\t\"a b\"   --x=\"y z\" \\\\\\\" \u00e9\u4e2d\U0001F600 ",
      u"C:\\Prog\rrams\nsetup.exe %PATH% 100%",
      u"no program name at all",
      u"",
  };
  for (const auto& line : lines) {
    PROCESS_INFORMATION child;
    ASSERT_TRUE(Create(kSetup, line, child));
    Finish(child);
  }
  const auto runs = RecordedRuns(machine_);
  ASSERT_EQ(runs.size(), std::size(lines));
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].command_line, lines[i]);
    EXPECT_EQ(runs[i].module, kSetup);  // the application path is the child's module
  }
}

TEST_F(ProcessesTest, WithoutACommandLineTheApplicationNameIsTheLine) {
  Start();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(CreateProcessW(kSetup, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  Finish(child);
  ASSERT_EQ(RecordedRuns(machine_).size(), 1u);
  EXPECT_EQ(RecordedRuns(machine_)[0].command_line, kSetup);
}

TEST_F(ProcessesTest, TheChildSeesItsStartupRecordAndCreationFlags) {
  Start();
  struct Case {
    DWORD startup_flags;
    WORD show;
    DWORD creation_flags;
  } cases[] = {
      {STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK, SW_HIDE, CREATE_NO_WINDOW},
      {0, 0, CREATE_NO_WINDOW},
      {STARTF_USESHOWWINDOW, SW_SHOWNORMAL, CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT},
  };
  for (const auto& c : cases) {
    PROCESS_INFORMATION child;
    ASSERT_TRUE(Create(kSetup, u"setup", child, c.creation_flags, c.startup_flags, c.show));
    Finish(child);
  }
  const auto runs = RecordedRuns(machine_);
  ASSERT_EQ(runs.size(), std::size(cases));
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].startup_flags, cases[i].startup_flags) << i;
    EXPECT_EQ(runs[i].show_window, cases[i].show) << i;
    EXPECT_EQ(runs[i].creation_flags, cases[i].creation_flags) << i;
    EXPECT_EQ(runs[i].current_directory, u"C:\\") << i;  // the parent's
  }
}

TEST_F(ProcessesTest, StartupInfoOfTheCurrentProcess) {
  sim::ProcessOptions options;
  options.startup_flags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
  options.show_window = SW_HIDE;
  Start(options);
  STARTUPINFOW startup;
  std::memset(&startup, 0xAB, sizeof startup);
  GetStartupInfoW(&startup);
  EXPECT_EQ(startup.cb, sizeof(STARTUPINFOW));
  EXPECT_EQ(startup.dwFlags, 0x81u);
  EXPECT_EQ(startup.wShowWindow, SW_HIDE);
  EXPECT_EQ(startup.lpTitle, nullptr);
  EXPECT_EQ(startup.hStdOutput, nullptr);
}

TEST_F(ProcessesTest, Full32BitExitCodesCrossToTheParent) {
  Start();
  // 259 is STILL_ACTIVE: after the wait it is still read back as the exit code.
  for (DWORD code : {0u, 3u, 105u, 259u, 0x80000000u, 0xC0000135u, 0xFFFFFFFFu}) {
    SetMachineSetting(machine_, standins::kSetupExitCodeSetting, std::to_string(code));
    PROCESS_INFORMATION child;
    ASSERT_TRUE(Create(kSetup, u"setup", child));
    EXPECT_EQ(Finish(child), code);
  }
}

TEST_F(ProcessesTest, ARunningChildIsStillActiveUntilItEnds) {
  SetMachineSetting(machine_, standins::kSetupWaitForSetting, "C:\\go");
  SetMachineSetting(machine_, standins::kSetupExitCodeSetting, "42");
  Start();
  PROCESS_INFORMATION child;
  ASSERT_TRUE(Create(kSetup, u"setup", child));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(child.hThread, 0), WAIT_TIMEOUT);

  machine_.WriteFile(u"C:\\go", "");
  EXPECT_EQ(WaitForSingleObject(child.hThread, INFINITE), WAIT_OBJECT_0);  // the only thread ends with it
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

TEST_F(ProcessesTest, ProcessAndThreadHandlesAreClosedOnceEach) {
  Start();
  PROCESS_INFORMATION child;
  ASSERT_TRUE(Create(kSetup, u"setup", child));
  EXPECT_NE(child.hProcess, child.hThread);
  EXPECT_NE(child.dwProcessId, 0u);
  auto open = sim::CurrentProcess().Snapshot().open_handles;
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].kind, "process");
  EXPECT_EQ(open[1].kind, "thread");

  DWORD code = 0;
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeProcess(child.hThread, &code));  // a thread is no process
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(child.hThread));
  EXPECT_FALSE(CloseHandle(child.hThread));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenHandles(), 1u);

  EXPECT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(child.hProcess));
  EXPECT_EQ(OpenHandles(), 0u);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ProcessesTest, TheCurrentProcessPseudoHandleIsStillActive) {
  Start();
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
}

TEST_F(ProcessesTest, AReducedHandleNeedsItsAccessRights) {
  Start();
  PROCESS_INFORMATION child;
  ASSERT_TRUE(Create(kSetup, u"setup", child));
  HANDLE no_rights = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &no_rights, 0, FALSE, 0));
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(no_rights, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(GetExitCodeProcess(no_rights, &code));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(no_rights);
  Finish(child);
}

TEST_F(ProcessesTest, TheApplicationNameIsNeverSearchedFor) {
  InstallStandIn(machine_, u"C:\\Windows\\System32\\helper.exe", "setup_standin");
  InstallStandIn(machine_, u"C:\\Work\\local.exe", "setup_standin");
  sim::ProcessOptions options;
  options.current_directory = u"C:\\Work";
  Start(options);
  PROCESS_INFORMATION child;
  // A bare name is completed from the current directory only.
  EXPECT_FALSE(Create(u"helper.exe", u"helper", child));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(Create(u"local.exe", u"local", child));
  Finish(child);
  ASSERT_EQ(RecordedRuns(machine_).size(), 1u);
  EXPECT_EQ(RecordedRuns(machine_)[0].module, u"C:\\Work\\local.exe");
  EXPECT_EQ(RecordedRuns(machine_)[0].current_directory, u"C:\\Work");
}

TEST_F(ProcessesTest, AGivenCurrentDirectoryMustExist) {
  std::filesystem::create_directories(machine_.HostPath(u"C:\\Elsewhere\\x").parent_path());
  Start();
  PROCESS_INFORMATION child;
  EXPECT_FALSE(Create(kSetup, u"setup", child, 0, 0, 0, u"C:\\Nowhere"));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  ASSERT_TRUE(Create(kSetup, u"setup", child, 0, 0, 0, u"C:\\Elsewhere"));
  Finish(child);
  ASSERT_EQ(RecordedRuns(machine_).size(), 1u);
  EXPECT_EQ(RecordedRuns(machine_)[0].current_directory, u"C:\\Elsewhere");
}

TEST_F(ProcessesTest, HostScriptsRunDirectlyWithoutTheirExecuteBit) {
  machine_.WriteFile(u"C:\\Programs\\script.exe", "#!/bin/sh\nexit 7\n");
  std::filesystem::permissions(machine_.HostPath(u"C:\\Programs\\script.exe"),
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Start();
  PROCESS_INFORMATION child;
  ASSERT_TRUE(Create(u"C:\\Programs\\script.exe", u"script", child));
  // A host program that ends without ExitProcess gives its host exit status.
  EXPECT_EQ(Finish(child), 7u);
}

TEST_F(ProcessesTest, TheChildRunsOnTheSameMachineWithTraceSleepAndItsOwnAccounting) {
  const std::string trace = (machine_.root() / "trace.txt").string();
  const std::string accounting = (machine_.root() / "accounting.txt").string();
  const std::string report = (machine_.root() / "report.txt").string();
  std::filesystem::copy_file(testing_support::BuildDirectory() / "tests" / "report_program",
                             machine_.HostPath(u"C:\\Programs\\report.exe"));
  sim::ProcessOptions options;
  options.trace_file = trace;
  options.accounting_file = accounting;
  options.virtual_sleep = true;
  // The parent's fault rules are its own: the child's GetModuleFileNameW must work.
  options.faults.push_back({"GetModuleFileNameW", 0, ERROR_ACCESS_DENIED});
  Start(options);
  // The host environment passes to the child; a real pause of a minute would show.
  ::setenv("REPORT_PROGRAM_OUTPUT", report.c_str(), 1);
  ::setenv("REPORT_PROGRAM_SLEEP_MS", "60000", 1);
  ::setenv("REPORT_PROGRAM_LEAK_BLOCKS", "1", 1);
  PROCESS_INFORMATION child;
  const BOOL created = Create(u"C:\\Programs\\report.exe", u"report --x", child);
  ::unsetenv("REPORT_PROGRAM_OUTPUT");
  ::unsetenv("REPORT_PROGRAM_SLEEP_MS");
  ::unsetenv("REPORT_PROGRAM_LEAK_BLOCKS");
  ASSERT_TRUE(created);
  const DWORD child_pid = child.dwProcessId;
  EXPECT_EQ(Finish(child), 0u);

  EXPECT_EQ(testing_support::ReadHostFile(report), "report --x\nC:\\Programs\\report.exe\n");
  const std::string child_accounting = testing_support::ReadHostFile(accounting + ".child-1");
  EXPECT_NE(child_accounting.find("live_local_blocks 1\n"), std::string::npos) << child_accounting;
  EXPECT_NE(child_accounting.find("pause_milliseconds 60000\n"), std::string::npos) << child_accounting;
  const std::string lines = testing_support::ReadHostFile(trace);
  const std::string child_tag = "[" + std::to_string(child_pid) + "] ";
  EXPECT_NE(lines.find("CreateProcessW(\"C:\\\\Programs\\\\report.exe\""), std::string::npos) << lines;
  EXPECT_NE(lines.find(child_tag + "GetCommandLineW() -> \"report --x\""), std::string::npos) << lines;
  EXPECT_NE(lines.find(child_tag + "Sleep(60000) -> (virtual)"), std::string::npos) << lines;
  // In the parent itself the rule fails every call.
  WCHAR name[64];
  EXPECT_EQ(GetModuleFileNameW(nullptr, name, 64), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ProcessesTest, FaultRulesFailTheProcessCalls) {
  sim::ProcessOptions options;
  options.faults = {{"CreateProcessW", 1, ERROR_NOT_ENOUGH_MEMORY},
                    {"WaitForSingleObject", 1, ERROR_INVALID_HANDLE},
                    {"GetExitCodeProcess", 1, ERROR_ACCESS_DENIED}};
  Start(options);
  PROCESS_INFORMATION child;
  EXPECT_FALSE(Create(kSetup, u"setup", child));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_TRUE(Create(kSetup, u"setup", child));
  EXPECT_EQ(WaitForSingleObject(child.hProcess, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Finish(child), 0u);  // the second calls succeed
}

TEST_F(ProcessesTest, FileAttributesOfWhatIsThere) {
  machine_.WriteFile(u"C:\\Programs\\hidden.txt", "x");
  sim::WriteFileAttributes(machine_.HostPath(u"C:\\Programs\\hidden.txt"), sim::kFileAttributeHidden);
  Start();
  struct Case {
    std::u16string path;
    DWORD attributes;
    DWORD error;
  } cases[] = {
      {kSetup, sim::kFileAttributeNormal, 0},
      {u"c:\\PROGRAMS\\Hidden.TXT", sim::kFileAttributeHidden, 0},
      {u"C:\\Programs", sim::kFileAttributeDirectory, 0},
      {u"C:\\Programs\\missing.exe", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"C:\\Missing\\setup.exe", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), c.attributes) << sim::ToUtf8(c.path);
    EXPECT_EQ(GetLastError(), c.error) << sim::ToUtf8(c.path);
  }
}

}  // namespace
