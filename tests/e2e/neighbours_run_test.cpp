// Whole installations beside busy or hostile neighbours: installer_host run by winsim with
// tests/programs/neighbour_program as its setup program (and as that setup's children),
// judged by exit codes, what is left on disk, the runs' traces and accounting.
// Host-only: another process's timing, fault injection and virtual sleep are the
// simulation's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/core/text.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BuildDirectory;
using testing_support::ReadHostFile;

constexpr char16_t kDownloads[] = u"C:\\Users\\Ann\\Downloads\\";
constexpr char16_t kImage[] = u"C:\\Users\\Ann\\Downloads\\installer.exe";
constexpr char16_t kWork[] = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\";
constexpr char16_t kNeighbour[] = u"C:\\Tools\\neighbour.exe";
// Scripted random bytes: the first work directory drawn is TS_3FA9C.tmp.
constexpr char kRandom[] = "3FA9C0DE";

using Left = std::set<std::string>;

fs::path NeighbourProgram() { return BuildDirectory() / "tests" / "neighbour_program"; }

// The 32-bit exit code that winsim --print-exit-code printed, or 0xDEADBEEF.
DWORD PrintedExitCode(const std::string& output) {
  const size_t at = output.find("exit code: ");
  return at == std::string::npos ? 0xDEADBEEF : static_cast<DWORD>(std::stoul(output.substr(at + 11)));
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// A path as the trace quotes it: backslashes doubled.
std::string Traced(const std::u16string& path) {
  std::string quoted;
  for (char c : sim::ToUtf8(path)) quoted += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return quoted;
}

struct RunOptions {
  std::u16string arguments;
  std::string random = kRandom;  // empty: the host's random source
  bool virtual_sleep = true;
  std::vector<std::string> faults;
  std::string name = "run";  // names its trace, accounting and output in the scratch folder
};

struct RunOutcome {
  DWORD exit_code = 0xDEADBEEF;
  std::string output;
  std::string trace;
  std::string accounting;
};

class NeighboursRunTest : public ::testing::Test {
 protected:
  NeighboursRunTest() {
    fs::create_directories(scratch_);
    const std::string setup = ReadHostFile(NeighbourProgram().string());
    machine_.WriteFile(kImage, testing_support::MakeResourceImage(
                                   {{u"B7", u"PELLORA.PACKED.7Z", "7z\xBC\xAF\x27\x1C archive"}, {u"BN", u"SETUP.EXE", setup}}));
    machine_.WriteFile(kNeighbour, setup);
  }
  ~NeighboursRunTest() override { fs::remove_all(scratch_); }

  std::vector<std::string> WinsimArguments(const RunOptions& options) const {
    std::vector<std::string> arguments = {(BuildDirectory() / "winsim").string(), "run", "--root",
                                          machine_.root().string(), "--image", sim::ToUtf8(kImage),
                                          "--command-line", "\"" + sim::ToUtf8(kImage) + "\"" + sim::ToUtf8(options.arguments),
                                          "--trace", (scratch_ / (options.name + ".trace")).string(),
                                          "--accounting", (scratch_ / (options.name + ".accounting")).string(),
                                          "--print-exit-code"};
    if (options.virtual_sleep) arguments.push_back("--virtual-sleep");
    if (!options.random.empty()) arguments.insert(arguments.end(), {"--random", options.random});
    for (const auto& fault : options.faults) arguments.insert(arguments.end(), {"--fault", fault});
    arguments.push_back((BuildDirectory() / "installer_host").string());
    return arguments;
  }
  std::map<std::string, std::string> Environment() const {
    return {{"NEIGHBOUR_DIR", scratch_.string()}, {"NEIGHBOUR_RECORD", (scratch_ / "record.txt").string()}};
  }
  RunOutcome Outcome(const RunOptions& options, std::string output) const {
    RunOutcome outcome;
    outcome.output = std::move(output);
    outcome.exit_code = PrintedExitCode(outcome.output);
    outcome.trace = ReadHostFile((scratch_ / (options.name + ".trace")).string());
    outcome.accounting = ReadHostFile((scratch_ / (options.name + ".accounting")).string());
    return outcome;
  }
  // Waits for the stub and for every program that it, or its setup, left running.
  RunOutcome Run(const RunOptions& options) {
    return Outcome(options, testing_support::RunHostCommand(WinsimArguments(options), Environment()).output);
  }

  // Everything below the installer's folder, relative to it, with '/' between names.
  Left LeftInDownloads() const {
    Left left;
    const fs::path folder = machine_.HostPath(kDownloads, false);
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
      left.insert(it->path().lexically_relative(folder).string());
    }
    return left;
  }
  // The module paths that the setup programs recorded, one per run.
  std::vector<std::string> Recorded() const {
    std::vector<std::string> lines;
    std::istringstream text(ReadHostFile((scratch_ / "record.txt").string()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  static uint64_t Pauses(const RunOutcome& run) {
    const size_t at = run.accounting.find("\npauses ");
    return at == std::string::npos ? ~uint64_t{0} : std::stoull(run.accounting.substr(at + 8));
  }
  static void ExpectNothingHeld(const RunOutcome& run) {
    EXPECT_NE(run.accounting.find("open_handles 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find("live_heap_blocks 0\n"), std::string::npos) << run.accounting;
    EXPECT_NE(run.accounting.find("live_local_blocks 0\n"), std::string::npos) << run.accounting;
  }

  testing_support::TestMachine machine_;
  fs::path scratch_ = machine_.root().parent_path() / (machine_.root().filename().string() + "-scratch");
};

// Setup starts a child that holds the archive without sharing deletion and ends at once;
// the child lets go half a second later. The cleanup is refused, pauses (for real) and
// removes the archive once it is free, well inside its 100 attempts of 100 ms.
TEST_F(NeighboursRunTest, AFileHeldBySetupsChildDelaysTheCleanupUntilItIsReleased) {
  const std::u16string archive = std::u16string(kWork) + u"PELLORA.PACKED.7Z";
  RunOptions options;
  options.virtual_sleep = false;
  options.arguments = u" --spawn=" + std::u16string(kNeighbour) + u" --hold=" + archive + u" --hold-ms=500";
  const RunOutcome run = Run(options);
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(LeftInDownloads(), Left({"installer.exe"}));
  // Each refused pass over the archive is followed by one pause of 100 ms.
  const size_t refused = Count(run.trace, "CreateFileW(\"" + Traced(archive) + "\", 0x10000, 0x7, 3, 0x2200000) -> "
                                          "INVALID_HANDLE_VALUE [error 32]");
  EXPECT_GE(refused, 1u) << run.trace;
  EXPECT_EQ(Pauses(run), refused) << run.accounting;
  EXPECT_LT(Pauses(run), 99u) << run.accounting;
  EXPECT_NE(run.accounting.find("pause_milliseconds " + std::to_string(refused * 100) + "\n"), std::string::npos);
  ExpectNothingHeld(run);
}

// The wait for setup fails while setup still runs. What the stub can remove it removes
// (the archive, which setup has not opened); the rest is what Windows leaves too: the
// running program's image, whose deletion is refused, and the folder that holds it.
TEST_F(NeighboursRunTest, ASetupStillRunningAfterAFailedWaitKeepsItsFiles) {
  RunOptions options;
  options.arguments = u" --until-parent-ends";
  options.faults = {"WaitForSingleObject:1:6"};
  const RunOutcome run = Run(options);
  EXPECT_EQ(run.exit_code, 107u) << run.output;
  EXPECT_EQ(LeftInDownloads(), Left({"installer.exe", "TS_3FA9C.tmp", "TS_3FA9C.tmp/setup.exe"})) << run.trace;
  // Every one of the 100 passes over each: the image's deletion refused with
  // ERROR_ACCESS_DENIED, the folder's with ERROR_DIR_NOT_EMPTY.
  const std::string setup = Traced(std::u16string(kWork) + u"setup.exe");
  EXPECT_EQ(Count(run.trace, "CreateFileW(\"" + setup + "\", 0x10000, 0x7, 3, 0x2200000) -> 0x"), 100u);
  EXPECT_EQ(Count(run.trace, "DeleteFile=TRUE) -> FALSE [error 5]"), 100u);
  EXPECT_EQ(Count(run.trace, "DeleteFile=TRUE) -> FALSE [error 145]"), 100u);
  // Two deletions that each give up after 100 passes and 99 pauses.
  EXPECT_EQ(Pauses(run), 2u * 99u) << run.accounting;
  ExpectNothingHeld(run);
}

// Two stubs drawing the same work-directory name. A neighbour holds the first run's
// directory (sharing everything), so that its deletion is pending and the run waits; the
// neighbour lets go as soon as the run has been refused once, and starts the second run at
// once, which creates the same name while the first one still pauses. The first run's
// next pass finds another directory under its name and leaves it alone.
TEST_F(NeighboursRunTest, TwoStubsForcedOntoOneNameEachKeepTheirDirectory) {
  RunOptions first, second;
  first.name = "first";
  first.virtual_sleep = false;  // the second run steps in during a real pause
  first.arguments = u" --spawn=" + std::u16string(kNeighbour) + u" --hold-dir=" + kWork + u" --until-refused";
  second.name = "second";
  std::string then;
  for (const auto& argument : WinsimArguments(second)) then += argument + "\n";
  auto environment = Environment();
  environment["NEIGHBOUR_THEN"] = then;
  const RunOutcome run = Outcome(first, testing_support::RunHostCommand(WinsimArguments(first), environment).output);
  const RunOutcome other = Outcome(second, ReadHostFile((scratch_ / "then.txt").string()));
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  EXPECT_EQ(other.exit_code, 0u) << other.output << other.trace;
  // Both setups ran from the same work directory, one after the other.
  const std::string setup = sim::ToUtf8(std::u16string(kWork) + u"setup.exe");
  EXPECT_EQ(Recorded(), (std::vector<std::string>{setup, setup}));
  EXPECT_NE(other.trace.find("CreateDirectoryW(\"" + Traced(kWork).substr(0, Traced(kWork).size() - 2) + "\""),
            std::string::npos);
  EXPECT_GE(Pauses(run), 1u) << run.accounting;
  EXPECT_EQ(LeftInDownloads(), Left({"installer.exe"}));
  ExpectNothingHeld(run);
  ExpectNothingHeld(other);
}

// Fifty stubs started at once in one folder, each drawing its names from the host's
// random source: all succeed, each in a directory of its own, and nothing is left.
TEST_F(NeighboursRunTest, FiftyStubsAtOnceInOneFolder) {
  constexpr int kRuns = 50;
  std::vector<std::unique_ptr<testing_support::StartedHostCommand>> runs;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRuns; ++i) {
    RunOptions options;
    options.random.clear();
    options.name = "run-" + std::to_string(i);
    runs.push_back(std::make_unique<testing_support::StartedHostCommand>(WinsimArguments(options), Environment(),
                                                                         (scratch_ / (options.name + ".out")).string()));
  }
  for (auto& started : runs) started->Wait();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::set<std::string> directories;
  for (int i = 0; i < kRuns; ++i) {
    RunOptions options;
    options.name = "run-" + std::to_string(i);
    const RunOutcome run = Outcome(options, ReadHostFile((scratch_ / (options.name + ".out")).string()));
    EXPECT_EQ(run.exit_code, 0u) << options.name << ": " << run.output;
    ExpectNothingHeld(run);
  }
  for (const auto& module : Recorded()) directories.insert(module.substr(0, module.rfind('\\')));
  EXPECT_EQ(directories.size(), static_cast<size_t>(kRuns));
  EXPECT_EQ(Recorded().size(), static_cast<size_t>(kRuns));
  EXPECT_EQ(LeftInDownloads(), Left({"installer.exe"}));
  std::printf("%d runs at once took %.1f s\n", kRuns, seconds);
}

// A name taken by someone else, whatever it is, costs one attempt: the stub goes on with
// the next name drawn and leaves the squatter as it was.
TEST_F(NeighboursRunTest, SquattedNamesAreSkippedAndLeftAsTheyWere) {
  const fs::path squat = machine_.HostPath(u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp");
  const fs::path elsewhere = machine_.HostPath(u"C:\\Users\\Ann\\Documents\\mine.txt");
  struct Case {
    const char* what;
    std::function<void()> make;
    Left left;
  } cases[] = {
      {"folder", [&] { machine_.WriteFile(u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\theirs.txt", "theirs"); },
       {"installer.exe", "TS_3FA9C.tmp", "TS_3FA9C.tmp/theirs.txt"}},
      {"file", [&] { machine_.WriteFile(u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp", "theirs"); },
       {"installer.exe", "TS_3FA9C.tmp"}},
      {"link to a folder", [&] { fs::create_directory_symlink(elsewhere.parent_path(), squat); },
       {"installer.exe", "TS_3FA9C.tmp"}},
      {"link to nothing", [&] { fs::create_symlink(elsewhere.parent_path() / "missing", squat); },
       {"installer.exe", "TS_3FA9C.tmp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    machine_.WriteFile(u"C:\\Users\\Ann\\Documents\\mine.txt", "mine");
    c.make();
    fs::remove(scratch_ / "record.txt");
    RunOptions options;
    options.random = "3FA9C0DE12345678";  // then TS_12345.tmp
    const RunOutcome run = Run(options);
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_EQ(Recorded(), (std::vector<std::string>{"C:\\Users\\Ann\\Downloads\\TS_12345.tmp\\setup.exe"}));
    EXPECT_EQ(LeftInDownloads(), c.left);
    EXPECT_EQ(ReadHostFile(elsewhere.string()), "mine");
    if (c.left.count("TS_3FA9C.tmp/theirs.txt") != 0) {
      EXPECT_EQ(ReadHostFile((squat / "theirs.txt").string()), "theirs");
    }
    if (fs::is_regular_file(fs::symlink_status(squat))) {
      EXPECT_EQ(ReadHostFile(squat.string()), "theirs");
    }
    ExpectNothingHeld(run);
    fs::remove_all(squat);
  }
}

// Every one of the ten names drawn is taken: the run fails with 109 (work directory
// failed) after ten attempts, creates nothing and touches none of them.
TEST_F(NeighboursRunTest, TenSquattedNamesFailTheRunWith109) {
  // Attempt i draws the bytes AB 0i i0 00: the name TS_AB0ii.tmp.
  std::string random;
  Left left = {"installer.exe"};
  for (int i = 0; i < 10; ++i) {
    const std::string name = std::string("TS_AB0") + char('0' + i) + char('0' + i) + ".tmp";
    random += std::string("AB0") + char('0' + i) + char('0' + i) + "000";
    machine_.WriteFile(sim::ToUtf16("C:\\Users\\Ann\\Downloads\\" + name + "\\theirs.txt"), "theirs");
    left.insert(name);
    left.insert(name + "/theirs.txt");
  }
  RunOptions options;
  options.random = random;
  const RunOutcome run = Run(options);
  EXPECT_EQ(run.exit_code, 109u) << run.output;
  EXPECT_EQ(Count(run.trace, "CreateDirectoryW("), 10u);
  EXPECT_EQ(Count(run.trace, "[error 183]"), 10u);
  EXPECT_TRUE(Recorded().empty());
  EXPECT_EQ(LeftInDownloads(), left);
  ExpectNothingHeld(run);
}

// While setup runs, the work directory is renamed away so that a link to another folder
// can be put in its place. The stub holds its work directory open without sharing
// deletion, so the rename is refused as a sharing violation (32), the cleanup removes the
// whole work directory, and the folder the link would have named keeps everything, files
// named like the payload included.
TEST_F(NeighboursRunTest, AWorkDirectorySwappedForALinkWhileSetupRunsDeletesNothingOutside) {
  const std::vector<std::pair<std::u16string, std::string>> outside = {
      {u"C:\\Users\\Ann\\Documents\\notes.txt", "notes"},
      {u"C:\\Users\\Ann\\Documents\\Inner\\deep.txt", "deep"},
      {u"C:\\Users\\Ann\\Documents\\setup.exe", "the user's own setup.exe"},
      {u"C:\\Users\\Ann\\Documents\\PELLORA.PACKED.7Z", "the user's own archive"},
  };
  for (const auto& [path, bytes] : outside) machine_.WriteFile(path, bytes);
  RunOptions options;
  options.arguments = u" --swap-to=C:\\Users\\Ann\\Documents";
  const RunOutcome run = Run(options);
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  for (const auto& [path, bytes] : outside) {
    EXPECT_EQ(ReadHostFile(machine_.HostPath(path).string()), bytes) << sim::ToUtf8(path);
  }
  EXPECT_EQ(ReadHostFile((scratch_ / "swap").string()), "32") << "refused as a sharing violation";
  EXPECT_EQ(LeftInDownloads(), Left({"installer.exe"}));
  ExpectNothingHeld(run);
}

}  // namespace
