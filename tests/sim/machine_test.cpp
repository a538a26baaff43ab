// Windows paths on a simulated machine's root.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/errors.h"
#include "sim/core/machine.h"
#include "tests/support/test_machine.h"

namespace {

TEST(MachineTest, MapsDrivePathsUnderTheRoot) {
  testing_support::TestMachine machine;
  sim::Machine m(machine.root());
  EXPECT_EQ(m.Resolve(u"C:\\Setup\\a.exe").path, machine.root() / "C" / "Setup" / "a.exe");
  EXPECT_EQ(m.Resolve(u"c:/Setup/a.exe").path, machine.root() / "C" / "Setup" / "a.exe");
  EXPECT_EQ(m.Resolve(u"\\\\?\\C:\\Setup").path, machine.root() / "C" / "Setup");
  EXPECT_EQ(m.Resolve(u"C:\\a\\..\\b\\.\\c").path, machine.root() / "C" / "b" / "c");
  EXPECT_EQ(m.Resolve(u"C:\\").path, machine.root() / "C");
}

TEST(MachineTest, MatchesExistingNamesWithoutRegardToCase) {
  testing_support::TestMachine machine;
  std::filesystem::create_directories(machine.root() / "C" / "Program Files" / "Pellora");
  sim::Machine m(machine.root());
  EXPECT_EQ(m.Resolve(u"C:\\PROGRAM FILES\\pellora\\New.txt").path,
            machine.root() / "C" / "Program Files" / "Pellora" / "New.txt");
}

TEST(MachineTest, RefusesWhatIsNoPathOfThisMachine) {
  testing_support::TestMachine machine;
  sim::Machine m(machine.root());
  EXPECT_EQ(m.Resolve(u"relative\\a").error, ERROR_INVALID_NAME);
  EXPECT_EQ(m.Resolve(u"C:\\a<b").error, ERROR_INVALID_NAME);
  EXPECT_EQ(m.Resolve(u"C:\\a\tb").error, ERROR_INVALID_NAME);
  EXPECT_EQ(m.Resolve(u"Q:\\a").error, ERROR_PATH_NOT_FOUND);  // no such drive
}

TEST(MachineTest, WindowsPathOfAHostPathInsideTheRoot) {
  testing_support::TestMachine machine;
  sim::Machine m(machine.root());
  EXPECT_EQ(m.WindowsPathOf(machine.root() / "C" / "Setup" / "a.exe"), u"C:\\Setup\\a.exe");
  EXPECT_EQ(m.WindowsPathOf(machine.root() / "C"), u"C:\\");
  EXPECT_FALSE(m.WindowsPathOf("/etc/passwd"));
}

TEST(MachineTest, SettingsPersistInTheRoot) {
  testing_support::TestMachine machine;
  sim::Machine(machine.root()).SetSetting("owner_sid", "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(sim::Machine(machine.root()).Setting("owner_sid"), "S-1-5-21-1-2-3-1001");
  EXPECT_FALSE(sim::Machine(machine.root()).Setting("missing"));
}

}  // namespace
