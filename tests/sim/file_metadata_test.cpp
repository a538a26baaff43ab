// Attributes and descriptors that the simulation keeps beside host files.
#include "sim/core/file_metadata.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

TEST(FileMetadataTest, AttributesDeriveWhatTheHostObjectIsAndKeepWhatWasStored) {
  testing_support::TestMachine machine;
  const fs::path file = machine.root() / "C" / "file.txt";
  const fs::path directory = machine.root() / "C" / "folder";
  const fs::path link = machine.root() / "C" / "link";
  std::ofstream(file) << "x";
  fs::create_directory(directory);
  fs::create_symlink(file, link);

  EXPECT_EQ(sim::ReadFileAttributes(file), sim::kFileAttributeNormal);
  EXPECT_EQ(sim::ReadFileAttributes(directory), sim::kFileAttributeDirectory);
  EXPECT_EQ(sim::ReadFileAttributes(link), sim::kFileAttributeReparsePoint);
  EXPECT_FALSE(sim::ReadFileAttributes(machine.root() / "C" / "missing"));

  ASSERT_TRUE(sim::WriteFileAttributes(file, sim::kFileAttributeReadOnly | sim::kFileAttributeNormal));
  EXPECT_EQ(sim::ReadFileAttributes(file), sim::kFileAttributeReadOnly);
  ASSERT_TRUE(sim::WriteFileAttributes(directory, sim::kFileAttributeHidden | sim::kFileAttributeDirectory));
  EXPECT_EQ(sim::ReadFileAttributes(directory), sim::kFileAttributeHidden | sim::kFileAttributeDirectory);
  ASSERT_TRUE(sim::WriteFileAttributes(file, 0));
  EXPECT_EQ(sim::ReadFileAttributes(file), sim::kFileAttributeNormal);
}

TEST(FileMetadataTest, SecurityDescriptorIsKeptWithTheObject) {
  testing_support::TestMachine machine;
  const fs::path directory = machine.root() / "C" / "TS_3FA9C.tmp";
  fs::create_directory(directory);
  EXPECT_FALSE(sim::ReadSecurityDescriptor(directory));
  ASSERT_TRUE(sim::WriteSecurityDescriptor(directory, "D:PAI(A;;FA;;;SY)"));
  EXPECT_EQ(sim::ReadSecurityDescriptor(directory), "D:PAI(A;;FA;;;SY)");
}

}  // namespace
