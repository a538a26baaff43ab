// Whole runs of the stub (installer_host) through winsim with real images, judged by the
// exit code, the files beside the executable, the trace and the accounting: the payload
// unpacked from release-like and odd images, every unpacking failure, chunked writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "sim/core/text.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/standins.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ImageResource;
using testing_support::MakeResourceImage;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;

constexpr char kImage[] = "C:\\Users\\Demo\\Downloads\\installer.exe";

ImageResource Named(const std::u16string& type, const std::u16string& name, const std::string& data) {
  return {type, name, data};
}

// Bytes that compress unevenly.
std::string Bytes(size_t count, char seed) {
  std::string data(count, '\0');
  for (size_t i = 0; i < count; ++i) data[i] = static_cast<char>((i * 13 + seed + (i >> 11)) % 253);
  return data;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

struct RunOutcome {
  int exit_status = -1;
  std::string output, trace, accounting;
};

class PayloadUnpackingTest : public ::testing::Test {
 protected:
  PayloadUnpackingTest() { fs::create_directories(scratch_); }
  void TearDown() override { fs::remove_all(scratch_); }

  void Install(const std::string& image, const std::string& path = kImage) {
    image_ = path;
    machine_.WriteFile(std::u16string(path.begin(), path.end()), image);
  }

  RunOutcome Start(const std::string& arguments, std::vector<std::string> options = {}) {
    const fs::path trace = scratch_ / "trace.txt", accounting = scratch_ / "accounting.txt";
    fs::remove(trace);
    fs::remove(accounting);
    std::vector<std::string> command = {(BuildDirectory() / "winsim").string(), "run", "--root",
                                        machine_.root().string(), "--image", image_, "--command-line",
                                        "\"" + image_ + "\"" + arguments, "--trace", trace.string(),
                                        "--accounting", accounting.string(), "--virtual-sleep"};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back((BuildDirectory() / "installer_host").string());
    const auto result = RunHostCommand(command);
    return {result.exit_status, result.output, ReadHostFile(trace.string()), ReadHostFile(accounting.string())};
  }

  // The files and folders beside the executable, the executable left out.
  std::set<std::string> BesideImage() const {
    std::set<std::string> names;
    const fs::path folder = machine_.HostPath(std::u16string(image_.begin(), image_.end())).parent_path();
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() != "installer.exe") names.insert(entry.path().filename().string());
    }
    return names;
  }
  std::string BesideImageFile(const std::string& name) const {
    const fs::path folder = machine_.HostPath(std::u16string(image_.begin(), image_.end())).parent_path();
    return ReadHostFile((folder / name).string());
  }
  void ClearBesideImage() const {
    const fs::path folder = machine_.HostPath(std::u16string(image_.begin(), image_.end())).parent_path();
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.path().filename() != "installer.exe") fs::remove_all(entry.path());
    }
  }

  // No handle open and no block allocated at exit; the cabinet library, once loaded, stays.
  // Every fault rule given failed its call.
  static void ExpectNothingLeft(const RunOutcome& run, const std::string& what, bool cabinet_loaded) {
    EXPECT_NE(run.accounting.find("unfired_faults 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("open_handles 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("live_heap_blocks 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find("live_local_blocks 0\n"), std::string::npos) << what << "\n" << run.accounting;
    EXPECT_NE(run.accounting.find(cabinet_loaded ? "loaded_modules 1\n" : "loaded_modules 0\n"), std::string::npos)
        << what << "\n" << run.accounting;
    if (cabinet_loaded) {
      EXPECT_NE(run.accounting.find("C:\\Windows\\System32\\cabinet.dll loads 1\n"), std::string::npos)
          << what << "\n" << run.accounting;
    }
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
  std::string image_ = kImage;
};

// A signed image made by the release-image command from a 7z-named archive and a plain
// setup program that the command packs with the cabinet maker, as the release build does.
class ReleaseLikeImageTest : public PayloadUnpackingTest {
 protected:
  void SetUp() override {
    const fs::path release = BuildDirectory() / "release";
    if (!fs::exists(release / "stub.lib") || !fs::exists(release / "image-link.rsp")) {
      GTEST_SKIP() << "this build makes no release image";
    }
    archive_ = Bytes(300000, 1);
    std::ofstream(scratch_ / "PELLORA.PACKED.7Z", std::ios::binary) << archive_;
    setup_ = ReadHostFile(testing_support::StandInProgram("setup_standin").string());
    std::ofstream(scratch_ / "setup.exe", std::ios::binary) << setup_;
    const auto made = RunHostCommand({(fs::path(SOURCE_DIR) / "tools" / "image" / "make-installer").string(),
                                      "--archive", (scratch_ / "PELLORA.PACKED.7Z").string(), "--archive-type", "B7",
                                      "--setup", (scratch_ / "setup.exe").string(), "--setup-type", "BL",
                                      "--release-dir", release.string(), "--output",
                                      (scratch_ / "installer.exe").string()});
    ASSERT_EQ(made.exit_status, 0) << made.output;
    Install(ReadHostFile((scratch_ / "installer.exe").string()));
  }

  std::string archive_, setup_;
};

TEST_F(ReleaseLikeImageTest, UnpackOnlyWritesTheArchiveAndSetupBesideTheExecutableAndStops) {
  const RunOutcome run = Start(" --pellora-unpack");
  EXPECT_EQ(run.exit_status, 0) << run.output << run.trace;
  EXPECT_EQ(BesideImage(), (std::set<std::string>{"PELLORA.PACKED.7Z", "setup.exe"}));
  EXPECT_EQ(BesideImageFile("PELLORA.PACKED.7Z"), archive_);
  EXPECT_EQ(BesideImageFile("setup.exe"), setup_);
  // The cabinet went out in one write beside the executable, was expanded and deleted.
  EXPECT_NE(run.trace.find("CreateFileW(\"C:\\\\Users\\\\Demo\\\\Downloads\\\\SETUP.EX_\""), std::string::npos)
      << run.trace;
  EXPECT_NE(run.trace.find("FDICopy("), std::string::npos);
  EXPECT_EQ(run.trace.find("CreateDirectoryW("), std::string::npos);
  EXPECT_EQ(run.trace.find("CreateProcessW("), std::string::npos);
  EXPECT_EQ(run.trace.find("SetProcessWorkingSetSize("), std::string::npos);
  ExpectNothingLeft(run, "unpack only", true);
}

TEST_F(ReleaseLikeImageTest, ANormalRunUnpacksIntoTheWorkDirectoryRunsTheExpandedSetupAndCleansUp) {
  const RunOutcome run = Start("");
  EXPECT_EQ(run.exit_status, 0) << run.output << run.trace;
  // The expanded setup program is the one that ran, with the archive from the work directory.
  const auto runs = testing_support::RecordedRuns(machine_);
  ASSERT_EQ(runs.size(), 1u) << run.output;
  const std::string line = sim::ToUtf8(runs[0].command_line);
  EXPECT_EQ(line.rfind("\"C:\\Users\\Demo\\Downloads\\TS_", 0), 0u) << line;
  EXPECT_NE(line.find("\\setup.exe\" --install-archive=\""), std::string::npos) << line;
  EXPECT_NE(line.find("\\PELLORA.PACKED.7Z\""), std::string::npos) << line;
  EXPECT_EQ(BesideImage(), std::set<std::string>{});
  ExpectNothingLeft(run, "normal run", true);
}

TEST_F(PayloadUnpackingTest, EachUnpackingOutcomeEndsTheRunWithItsCodeAndLeavesItsFiles) {
  const std::string archive = Bytes(5000, 2), program = Bytes(70000, 3);
  const std::string cabinet = testing_support::BuildCabinet({{1, {{"setup.exe", program}}}});
  struct Case {
    const char* what;
    std::vector<ImageResource> resources;
    std::vector<std::string> options;
    int exit_status;
    std::set<std::string> files;  // beside the executable after an unpack-only run
    bool cabinet_loaded;
  };
  const Case cases[] = {
      {"archive B7, cabinet BL",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"SETUP.EX_", cabinet)}, {}, 0,
       {"PELLORA.PACKED.7Z", "setup.exe"}, true},
      {"archive under BL, plain setup under BN",
       {Named(u"BL", u"pellora.7z", archive), Named(u"BN", u"SETUP.EX_", program)}, {}, 0,
       {"pellora.7z", "setup.exe"}, false},
      {"a name with neither prefix under B7",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"B7", u"README", "x"), Named(u"BN", u"SETUP", program)}, {},
       112, {}, false},
      {"a name with neither prefix under BL after the archive",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"README", "x")}, {}, 115, {}, false},
      {"a second setup resource",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"B7", u"SETUP.A", "a"), Named(u"B7", u"SETUP.B", "b")}, {},
       112, {}, false},
      {"a second setup resource under a later type",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"SETUP.EX_", cabinet), Named(u"BN", u"SETUP", program)},
       {}, 115, {}, false},
      {"an archive name of 260 units",
       {Named(u"B7", u"PELLORA" + std::u16string(253, u'X'), archive), Named(u"BN", u"SETUP", program)}, {}, 112, {},
       false},
      {"no archive", {Named(u"BN", u"SETUP", program)}, {}, 112, {}, false},
      {"no setup", {Named(u"B7", u"PELLORA", archive)}, {}, 115, {}, false},
      {"a zero-size setup resource hides the one after it",
       {Named(u"B7", u"PELLORA", archive), Named(u"BL", u"SETUP.A", ""), Named(u"BL", u"SETUP.B", cabinet)}, {}, 115, {},
       false},
      {"the archive cannot be written",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BN", u"SETUP.EXE", program)}, {"--fault", "WriteFile:1:112"},
       112, {}, false},
      {"the setup file cannot be written",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BN", u"SETUP.EXE", program)}, {"--fault", "WriteFile:2:112"},
       116, {"PELLORA.PACKED.7Z"}, false},
      {"a damaged cabinet",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"SETUP.EX_", cabinet.substr(0, cabinet.size() - 9))},
       {}, 115, {"PELLORA.PACKED.7Z"}, true},
  };
  for (const Case& c : cases) {
    Install(MakeResourceImage(c.resources));
    ClearBesideImage();
    const RunOutcome run = Start(" --pellora-unpack", c.options);
    EXPECT_EQ(run.exit_status, c.exit_status) << c.what << "\n" << run.output;
    EXPECT_EQ(BesideImage(), c.files) << c.what;
    if (c.exit_status == 116) {
      // The write error itself, and the partial setup file marked for deletion.
      EXPECT_NE(run.trace.find("-> FALSE [error 112]"), std::string::npos) << c.what << "\n" << run.trace;
      EXPECT_NE(run.trace.find("DeleteFile=TRUE) -> TRUE"), std::string::npos) << c.what << "\n" << run.trace;
    }
    EXPECT_EQ(run.trace.find("CreateProcessW("), std::string::npos) << c.what;
    ExpectNothingLeft(run, c.what, c.cabinet_loaded);
  }
}

TEST_F(PayloadUnpackingTest, AFailedUnpackingInANormalRunIsCleanedUpAndLaunchesNothing) {
  const std::string cabinet = testing_support::BuildCabinet({{1, {{"setup.exe", Bytes(70000, 4)}}}});
  const std::vector<ImageResource> cases[] = {
      {Named(u"B7", u"PELLORA.PACKED.7Z", "archive"), Named(u"BL", u"SETUP.EX_", cabinet.substr(0, 100))},
      {Named(u"B7", u"PELLORA.PACKED.7Z", "archive")},
  };
  for (const auto& resources : cases) {
    Install(MakeResourceImage(resources));
    const RunOutcome run = Start("");
    EXPECT_EQ(run.exit_status, 115) << run.output;
    EXPECT_EQ(BesideImage(), std::set<std::string>{}) << "the work directory and the archive are gone";
    EXPECT_NE(run.trace.find("CreateDirectoryW("), std::string::npos);
    EXPECT_EQ(run.trace.find("CreateProcessW("), std::string::npos);
    EXPECT_NE(run.trace.find("SetProcessWorkingSetSize("), std::string::npos);
  }
}

TEST_F(PayloadUnpackingTest, APathTooLongBesideADeepExecutableEndsWithPathOverflow) {
  // The executable's folder is 245 units: the archive's name does not fit after it.
  std::string folder = "C:\\";
  while (folder.size() < 245) folder += std::string(std::min<size_t>(80, 244 - folder.size()), 'f') + "\\";
  ASSERT_EQ(folder.size(), 245u);
  Install(MakeResourceImage({Named(u"B7", u"PELLORA.PACKED.7Z", "archive"), Named(u"BN", u"SETUP", "MZ")}),
          folder + "i.exe");
  const RunOutcome run = Start(" --pellora-unpack");
  EXPECT_EQ(run.exit_status, 108) << run.output << run.trace;
  EXPECT_EQ(run.trace.find("CreateFileW("), std::string::npos);
  ExpectNothingLeft(run, "deep executable", false);
}

TEST_F(PayloadUnpackingTest, ThePayloadGoesOutInChunksStraightFromTheImage) {
  const size_t kChunk = 8388608;
  const std::string archive = Bytes(kChunk + 1, 5);
  Install(MakeResourceImage({Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BN", u"SETUP.EXE", "MZ")}));
  const RunOutcome run = Start(" --pellora-unpack");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(BesideImageFile("PELLORA.PACKED.7Z"), archive);
  // Two writes for the archive, 8 MiB and then one byte, and one for the setup program.
  EXPECT_EQ(Occurrences(run.trace, "WriteFile("), 3u) << run.trace;
  EXPECT_EQ(Occurrences(run.trace, ", 8388608) -> TRUE 8388608\n"), 1u) << run.trace;
  EXPECT_EQ(Occurrences(run.trace, ", 1) -> TRUE 1\n"), 1u) << run.trace;
  // Never copied: no block anywhere near the payload's size was allocated.
  const size_t at = run.accounting.find("largest_block ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::stoull(run.accounting.substr(at + 14)), 65536u) << run.accounting;
  ExpectNothingLeft(run, "chunked", false);
}

}  // namespace
