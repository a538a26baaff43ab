// The release image as an independent tool, llvm-readobj, sees it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "tests/support/host_command.h"

namespace {

const std::string kImage = std::string(RELEASE_DIR) + "/installer.exe";

std::string ReadObj(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {LLVM_READOBJ};
  arguments.insert(arguments.end(), options.begin(), options.end());
  arguments.push_back(kImage);
  const auto result = testing_support::RunHostCommand(arguments);
  EXPECT_EQ(result.exit_status, 0) << result.output;
  return result.output;
}

std::string Field(const std::string& text, const std::string& name) {
  const std::regex pattern("\\n\\s*" + name + ": ([^\\n]*)");
  std::smatch match;
  return std::regex_search(text, match, pattern) ? match[1].str() : "";
}

TEST(ReleaseImageTest, IsAPe32PlusGuiImageForArm64) {
  const std::string headers = ReadObj({"--file-headers"});
  EXPECT_EQ(Field(headers, "Format"), "COFF-ARM64");
  EXPECT_NE(Field(headers, "Machine").find("IMAGE_FILE_MACHINE_ARM64"), std::string::npos);
  EXPECT_EQ(Field(headers, "Magic"), "0x20B");  // PE32+
  EXPECT_NE(Field(headers, "Subsystem").find("IMAGE_SUBSYSTEM_WINDOWS_GUI"), std::string::npos);
}

TEST(ReleaseImageTest, EntryPointIsTheStubsOwnFunction) {
  const std::string headers = ReadObj({"--file-headers"});
  const unsigned long entry = std::stoul(Field(headers, "AddressOfEntryPoint"), nullptr, 16);
  const unsigned long base = std::stoul(Field(headers, "ImageBase"), nullptr, 16);
  // The linker's map names the address of every symbol.
  const std::string map = testing_support::ReadHostFile(std::string(RELEASE_DIR) + "/installer.map");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(map, match, std::regex("\\sInstallerEntry\\s+([0-9a-fA-F]+)\\s")))
      << map;
  EXPECT_EQ(std::stoul(match[1].str(), nullptr, 16), base + entry);
}

// 64-bit Arm Windows unwinds through the exception directory (.pdata): a function that is
// not a leaf and has no entry there cannot be unwound when something faults inside it.
TEST(ReleaseImageTest, ExceptionDirectoryCoversTheEntryPoint) {
  const std::string headers = ReadObj({"--file-headers"});
  ASSERT_NE(std::stoul(Field(headers, "ExceptionTableRVA"), nullptr, 16), 0u) << headers;
  const unsigned long table_size = std::stoul(Field(headers, "ExceptionTableSize"), nullptr, 16);
  EXPECT_NE(table_size, 0u);
  EXPECT_EQ(table_size % 8, 0u) << "entries of 8 bytes: function start and unwind data";
  const unsigned long entry = std::stoul(Field(headers, "AddressOfEntryPoint"), nullptr, 16) +
                              std::stoul(Field(headers, "ImageBase"), nullptr, 16);

  const std::string unwind = ReadObj({"--unwind"});
  const std::regex function("RuntimeFunction \\{\\s*Function: (0x[0-9A-Fa-f]+)[^}]*?FunctionLength: (\\d+)");
  bool covered = false;
  size_t functions = 0;
  for (std::sregex_iterator it(unwind.begin(), unwind.end(), function), end; it != end; ++it, ++functions) {
    const unsigned long start = std::stoul((*it)[1].str(), nullptr, 16);
    const unsigned long length = std::stoul((*it)[2].str());
    covered = covered || (entry >= start && entry < start + length);
  }
  EXPECT_EQ(functions, table_size / 8) << unwind;
  EXPECT_TRUE(covered) << "no unwind entry covers the entry point\n" << unwind;
}

TEST(ReleaseImageTest, ImportsOnlyFromKernel32Advapi32AndShell32) {
  const std::string imports = ReadObj({"--coff-imports"});
  std::set<std::string> dlls;
  const std::regex name("Name: ([^\\n]+\\.dll)");
  for (std::sregex_iterator it(imports.begin(), imports.end(), name), end; it != end; ++it) {
    dlls.insert((*it)[1].str());
  }
  ASSERT_FALSE(dlls.empty()) << imports;
  const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "shell32.dll"};
  for (const auto& dll : dlls) EXPECT_TRUE(allowed.count(dll)) << dll << " imported";
  EXPECT_NE(imports.find("Symbol: ExitProcess"), std::string::npos) << imports;
}

}  // namespace

namespace {

// What the compiler calls on its own comes from the stub, not from a runtime library.
TEST(ReleaseImageTest, StubSuppliesTheCompilersOwnHelpers) {
  const std::string map = testing_support::ReadHostFile(std::string(RELEASE_DIR) + "/compiler_needs_probe.map");
  ASSERT_FALSE(map.empty()) << "the probe image did not link";
  for (const char* helper : {"__chkstk", "memset", "memcpy"}) {
    EXPECT_TRUE(std::regex_search(map, std::regex(std::string("\\s") + helper + "\\s+[0-9a-fA-F]+\\s+stub:")))
        << helper << " not supplied by the stub's objects";
  }
}

}  // namespace
