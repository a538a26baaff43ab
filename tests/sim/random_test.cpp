// RtlGenRandom (SystemFunction036): scripted bytes first, then the host's random source,
// in-process and through winsim.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/advapi32_random.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "sim/core/process.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::BuildDirectory;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

std::vector<BYTE> Draw(ULONG count) {
  std::vector<BYTE> bytes(count, 0xEE);
  EXPECT_TRUE(RtlGenRandom(bytes.data(), count));
  return bytes;
}

TEST(RandomTest, ScriptedBytesComeFirstInOrderThenTheHostSource) {
  testing_support::TestMachine machine;
  sim::ProcessOptions options;
  options.random_bytes = {0x3F, 0xA9, 0xC2, 0x07, 0x11, 0x22};
  machine.Start(options);
  EXPECT_EQ(Draw(4), (std::vector<BYTE>{0x3F, 0xA9, 0xC2, 0x07}));
  // A draw that outlasts the script takes the rest from the host.
  const std::vector<BYTE> mixed = Draw(34);
  EXPECT_EQ(mixed[0], 0x11);
  EXPECT_EQ(mixed[1], 0x22);
  const std::vector<BYTE> tail(mixed.begin() + 2, mixed.end());
  // 32 host bytes equal to the next 32 (or all 0xEE, untouched) would be a broken source.
  const std::vector<BYTE> next = Draw(32);
  EXPECT_NE(tail, next);
  EXPECT_NE(tail, std::vector<BYTE>(32, 0xEE));
}

TEST(RandomTest, FailedDrawLeavesTheBufferAndTheLastErrorAlone) {
  testing_support::TestMachine machine;
  sim::ProcessOptions options;
  options.random_bytes = {1, 2, 3, 4};
  options.faults.push_back({"SystemFunction036", 1, ERROR_NOT_ENOUGH_MEMORY});
  machine.Start(options);
  BYTE bytes[4] = {9, 9, 9, 9};
  SetLastError(77);
  EXPECT_FALSE(RtlGenRandom(bytes, 4));
  EXPECT_EQ(GetLastError(), 77u);
  EXPECT_EQ(bytes[0], 9);
  // The failed call took nothing from the script.
  EXPECT_EQ(Draw(4), (std::vector<BYTE>{1, 2, 3, 4}));
}

TEST(RandomTest, WinsimRunScriptsTheBytes) {
  testing_support::TestMachine machine;
  const std::string report = (machine.root() / "report.txt").string();
  const std::string winsim = (BuildDirectory() / "winsim").string();
  const std::string program = (BuildDirectory() / "tests" / "random_program").string();
  auto result = RunHostCommand({winsim, "run", "--root", machine.root().string(), "--random", "3FA9C207",
                                "--random", "0b", program},
                               {{"REPORT_PROGRAM_OUTPUT", report}, {"RANDOM_PROGRAM_BYTES", "5"}});
  EXPECT_EQ(result.exit_status, 0) << result.output;
  EXPECT_EQ(ReadHostFile(report), "3FA9C2070B\n");
  for (const char* bad : {"3FA", "XY", "3F A9"}) {
    EXPECT_EQ(RunHostCommand({winsim, "run", "--root", machine.root().string(), "--random", bad, program}).exit_status,
              125)
        << bad;
  }
}

}  // namespace
