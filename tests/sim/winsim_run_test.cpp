// winsim run, judged from outside as a user would: exit status, what the program was
// given, the trace and the accounting report.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

class WinsimRunTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return (machine_.root() / name).string(); }
  testing_support::HostCommandResult Run(std::vector<std::string> options,
                                         std::map<std::string, std::string> environment = {}) {
    std::vector<std::string> arguments = {(BuildDirectory() / "winsim").string(), "run", "--root",
                                          machine_.root().string(), "--image", "C:\\Setup\\installer.exe"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back((BuildDirectory() / "tests" / "report_program").string());
    environment["REPORT_PROGRAM_OUTPUT"] = Path("report.txt");
    return RunHostCommand(arguments, environment);
  }
  void SetUp() override { machine_.WriteFile(u"C:\\Setup\\installer.exe", "MZ"); }
  testing_support::TestMachine machine_;
};

TEST_F(WinsimRunTest, TheRawCommandLineReachesTheProgramExactly) {
  const std::string lines[] = {
      "\"C:\\Setup\\installer.exe\" --pellora-silent",
      "\"C:\\Setup\\installer.exe\"\t\"a b\"   --x=\"y z\" \\\\\\\" ",
      "C:\\Setup\\installer.exe",
      "   leading spaces and a \"lone quote",
      "",
  };
  for (const std::string& line : lines) {
    const auto result = Run({"--command-line", line});
    EXPECT_EQ(result.exit_status, 0) << result.output;
    EXPECT_EQ(ReadHostFile(Path("report.txt")), line + "\nC:\\Setup\\installer.exe\n");
  }
}

TEST_F(WinsimRunTest, TheDefaultCommandLineIsTheQuotedImagePath) {
  Run({});
  EXPECT_EQ(ReadHostFile(Path("report.txt")), "\"C:\\Setup\\installer.exe\"\nC:\\Setup\\installer.exe\n");
}

TEST_F(WinsimRunTest, ExitStatusIsTheProgramsExitCode) {
  for (const char* code : {"0", "3", "118", "255"}) {
    EXPECT_EQ(Run({}, {{"REPORT_PROGRAM_EXIT_CODE", code}}).exit_status, std::stoi(code));
  }
}

TEST_F(WinsimRunTest, TheFull32BitExitCodeCrossesToWinsim) {
  const auto result = Run({"--print-exit-code"}, {{"REPORT_PROGRAM_EXIT_CODE", "0xC0000135"}});
  EXPECT_NE(result.output.find("exit code: 3221225781 (0xC0000135)"), std::string::npos) << result.output;
  EXPECT_EQ(result.exit_status, 0x35);
}

TEST_F(WinsimRunTest, AccountingReportsLiveBlocksAndPauses) {
  Run({"--accounting", Path("accounting.txt"), "--virtual-sleep"},
      {{"REPORT_PROGRAM_LEAK_BLOCKS", "2"}, {"REPORT_PROGRAM_SLEEP_MS", "5000"}});
  const std::string report = ReadHostFile(Path("accounting.txt"));
  EXPECT_NE(report.find("live_local_blocks 2\n"), std::string::npos) << report;
  EXPECT_NE(report.find("open_handles 0\n"), std::string::npos) << report;
  EXPECT_NE(report.find("pauses 1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("pause_milliseconds 5000\n"), std::string::npos) << report;
}

TEST_F(WinsimRunTest, TraceShowsEveryCallWithItsResult) {
  Run({"--trace", Path("trace.txt"), "--command-line", "\"C:\\Setup\\installer.exe\" x"},
      {{"REPORT_PROGRAM_EXIT_CODE", "7"}});
  const std::string trace = ReadHostFile(Path("trace.txt"));
  EXPECT_NE(trace.find("GetModuleFileNameW("), std::string::npos) << trace;
  EXPECT_NE(trace.find("-> 22 \"C:\\\\Setup\\\\installer.exe\""), std::string::npos) << trace;
  EXPECT_NE(trace.find("GetCommandLineW() -> \"\\\"C:\\\\Setup\\\\installer.exe\\\" x\""), std::string::npos)
      << trace;
  EXPECT_NE(trace.find("ExitProcess(7)"), std::string::npos) << trace;
}

TEST_F(WinsimRunTest, FaultOptionReachesTheProgram) {
  Run({"--trace", Path("trace.txt"), "--fault", "GetModuleFileNameW:1:5"});
  EXPECT_NE(ReadHostFile(Path("trace.txt")).find("GetModuleFileNameW(null, 300) -> 0 [error 5]"), std::string::npos);
}

TEST_F(WinsimRunTest, RefusesBadUsageWithItsOwnStatus) {
  EXPECT_EQ(RunHostCommand({(BuildDirectory() / "winsim").string(), "run", "--fault", "nonsense", "x"}).exit_status,
            125);
  EXPECT_EQ(RunHostCommand({(BuildDirectory() / "winsim").string(), "run", "/no/such/program"}).exit_status, 125);
  EXPECT_EQ(RunHostCommand({(BuildDirectory() / "winsim").string(), "frobnicate"}).exit_status, 2);
}

}  // namespace
