// make_cabinet: the layout of the setup cabinet, judged field by field and by
// independent readers (cabextract, gcab) and the cabinet library stand-in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/fdi_harness.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::RunHostCommand;

constexpr const char* kGcab = "/usr/bin/gcab";
constexpr const char* kCabextract = "/usr/bin/cabextract";

uint32_t Read16(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8);
}
uint32_t Read32(const std::string& s, size_t at) { return Read16(s, at) | (Read16(s, at + 2) << 16); }

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Part noise, part text, so that blocks compress differently and refer back.
std::string SetupProgram(size_t size) {
  std::mt19937 generator(42);
  std::string bytes;
  while (bytes.size() < size) {
    for (int i = 0; i < 3000; ++i) bytes += static_cast<char>(generator());
    for (int i = 0; i < 200; ++i) bytes += "MZ section text " + std::to_string(i % 37);
  }
  return bytes.substr(0, size);
}

class CabinetMakerTest : public ::testing::Test {
 protected:
  std::filesystem::path Path(const std::string& name) const { return machine_.root() / name; }
  std::string WriteInput(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
    return Path(name).string();
  }
  testing_support::HostCommandResult Make(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), MAKE_CABINET);
    return RunHostCommand(arguments, {{"TZ", "UTC"}});
  }
  testing_support::TestMachine machine_;
};

TEST_F(CabinetMakerTest, LayoutOfTheSetupCabinet) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{32768}, size_t{32769}, size_t{200000}}) {
    const std::string input = WriteInput("setup.exe", SetupProgram(size));
    const auto made = Make({"--date-time", "2020-01-02T10:20:30", input, Path("setup.cab").string()});
    ASSERT_EQ(made.exit_status, 0) << made.output;
    const std::string cab = ReadFile(Path("setup.cab"));
    const size_t blocks = (size + 32767) / 32768;
    EXPECT_EQ(cab.substr(0, 4), "MSCF");
    EXPECT_EQ(Read32(cab, 8), cab.size()) << "cabinet-size field";
    EXPECT_EQ(Read32(cab, 16), 44u) << "file list";
    EXPECT_EQ(cab[24], 3);
    EXPECT_EQ(cab[25], 1);
    EXPECT_EQ(Read16(cab, 26), 1u) << "folders";
    EXPECT_EQ(Read16(cab, 28), 1u) << "files";
    EXPECT_EQ(Read16(cab, 30), 0u) << "flags";
    EXPECT_EQ(Read32(cab, 36), 70u) << "data blocks";
    EXPECT_EQ(Read16(cab, 40), blocks);
    EXPECT_EQ(Read16(cab, 42), 1u) << "MSZIP";
    EXPECT_EQ(Read32(cab, 44), size);
    EXPECT_EQ(Read32(cab, 48), 0u);
    EXPECT_EQ(Read16(cab, 52), 0u);
    EXPECT_EQ(Read16(cab, 54), (40u << 9) | (1 << 5) | 2);
    EXPECT_EQ(Read16(cab, 56), (10u << 11) | (20 << 5) | 15);
    EXPECT_EQ(Read16(cab, 58), 0u) << "attributes: none, as in the release payload";
    EXPECT_EQ(cab.substr(60, 10), std::string("setup.exe\0", 10));
    size_t at = 70;
    for (size_t block = 0; block < blocks; ++block) {
      ASSERT_LE(at + 10, cab.size());
      EXPECT_EQ(Read32(cab, at), 0u) << "checksum of block " << block;
      const size_t expanded = block + 1 < blocks ? 32768 : size - 32768 * block;
      EXPECT_EQ(Read16(cab, at + 6), expanded) << "block " << block;
      EXPECT_EQ(cab.substr(at + 8, 2), "CK") << "block " << block;
      at += 8 + Read16(cab, at + 4);
    }
    EXPECT_EQ(at, cab.size()) << "blocks fill the cabinet";
  }
}

TEST_F(CabinetMakerTest, IndependentReadersAndTheStandInExpandItByteForByte) {
  const std::string program = SetupProgram(150000);
  const std::string input = WriteInput("input.bin", program);
  ASSERT_EQ(Make({input, Path("plain.cab").string()}).exit_status, 0);
  ASSERT_EQ(Make({"--checksums", input, Path("summed.cab").string()}).exit_status, 0);

  // cabextract verifies and expands both.
  for (const char* cab : {"plain.cab", "summed.cab"}) {
    const auto tested = RunHostCommand({kCabextract, "-t", Path(cab).string()});
    EXPECT_EQ(tested.exit_status, 0) << tested.output;
    EXPECT_NE(tested.output.find("setup.exe  OK"), std::string::npos) << tested.output;
    const std::filesystem::path out = Path(std::string("cabextract-") + cab);
    const auto extracted = RunHostCommand({kCabextract, "-q", "-d", out.string(), Path(cab).string()});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.output;
    EXPECT_TRUE(ReadFile(out / "setup.exe") == program) << cab;
  }
  // gcab 1.5 treats a block checksum of 0 as wrong rather than as "not computed", so it
  // judges the checksummed form; the two differ in nothing else.
  const std::string plain = ReadFile(Path("plain.cab")), summed = ReadFile(Path("summed.cab"));
  ASSERT_EQ(plain.size(), summed.size());
  size_t differing = 0;
  for (size_t i = 0; i < plain.size(); ++i) differing += plain[i] != summed[i];
  EXPECT_LE(differing, 4u * 5) << "only the five checksums may differ";
  std::filesystem::create_directories(Path("gcab"));
  const auto gcab = RunHostCommand({kGcab, "-x", "-C", Path("gcab").string(), Path("summed.cab").string()});
  ASSERT_EQ(gcab.exit_status, 0) << gcab.output;
  EXPECT_TRUE(ReadFile(Path("gcab") / "setup.exe") == program);

  machine_.Start();
  for (const char* cab : {"plain.cab", "summed.cab"}) {
    const auto result = testing_support::RunFdiCopy(machine_.root().string() + "/", cab);
    EXPECT_TRUE(result.copied) << cab;
    EXPECT_TRUE(result.output.at("setup.exe") == program) << cab;
  }
}

TEST_F(CabinetMakerTest, DateTimeComesFromTheInputAndAttributesAreZeroUnlessGiven) {
  const std::string input = WriteInput("input.bin", "program");
  // 2021-06-07 08:09:10 UTC, and TZ=UTC for the maker.
  const utimbuf times{1623053350, 1623053350};
  ASSERT_EQ(::utime(input.c_str(), &times), 0);
  struct Case {
    std::vector<std::string> options;
    mode_t mode;
    uint32_t date, time, attributes;
    std::string name;
  } cases[] = {
      {{}, 0644, (41u << 9) | (6 << 5) | 7, (8u << 11) | (9 << 5) | 5, 0, "setup.exe"},
      // A read-only input does not make a read-only entry: the word stays 0.
      {{}, 0444, (41u << 9) | (6 << 5) | 7, (8u << 11) | (9 << 5) | 5, 0, "setup.exe"},
      {{"--attributes", "61", "--name", "other.exe"}, 0644, (41u << 9) | (6 << 5) | 7, (8u << 11) | (9 << 5) | 5,
       0x61, "other.exe"},
      {{"--attributes", "21"}, 0644, (41u << 9) | (6 << 5) | 7, (8u << 11) | (9 << 5) | 5, 0x21, "setup.exe"},
      {{"--date-time", "1975-05-05T05:05:05"}, 0644, (1u << 5) | 1, 0, 0, "setup.exe"},  // before DOS dates
  };
  for (const Case& c : cases) {
    ::chmod(input.c_str(), c.mode);
    std::vector<std::string> arguments = c.options;
    arguments.push_back(input);
    arguments.push_back(Path("out.cab").string());
    const auto made = Make(arguments);
    ASSERT_EQ(made.exit_status, 0) << made.output;
    const std::string cab = ReadFile(Path("out.cab"));
    EXPECT_EQ(Read16(cab, 54), c.date) << c.name;
    EXPECT_EQ(Read16(cab, 56), c.time) << c.name;
    EXPECT_EQ(Read16(cab, 58), c.attributes) << c.name;
    EXPECT_EQ(cab.substr(60, c.name.size() + 1), c.name + '\0');
    EXPECT_EQ(Read32(cab, 36), 44u + 16 + c.name.size() + 1);
  }
  ::chmod(input.c_str(), 0644);
}

TEST_F(CabinetMakerTest, RefusesBadUsageAndUnreadableInput) {
  const std::string input = WriteInput("input.bin", "program");
  const std::string output = Path("out.cab").string();
  struct Case {
    std::vector<std::string> arguments;
    int status;
  } cases[] = {
      {{input}, 2},
      {{input, output, "third"}, 2},
      {{"--date-time", "2020-13-01T00:00:00", input, output}, 2},
      {{"--date-time", "2108-01-01T00:00:00", input, output}, 2},
      {{"--attributes", "zz", input, output}, 2},
      {{"--frobnicate", input, output}, 2},
      {{"--name", std::string(257, 'n'), input, output}, 1},
      {{Path("missing.bin").string(), output}, 1},
      {{input, Path("no-such-dir/out.cab").string()}, 1},
  };
  for (const Case& c : cases) {
    const auto made = Make(c.arguments);
    EXPECT_EQ(made.exit_status, c.status) << made.output;
    EXPECT_FALSE(made.output.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(output));
}

}  // namespace
