// LaunchSetup: the setup program's exact command line, judged by what the setup stand-in
// received, and the failure codes of the launch.
#include "stub/setup/launch_setup.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "sim/core/text.h"
#include "tests/stub/setup/setup_child_fixture.h"

namespace {

using setup_tests::Fill;
using setup_tests::kSetupPath;
using setup_tests::kStubPath;

constexpr char16_t kArchive[] = u"C:\\Users\\Ann Lee\\Downloads\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z";

class LaunchSetupTest : public setup_tests::SetupChildTest {
 protected:
  ExitResult Launch(const std::u16string& raw_command_line, LPCWSTR previous_version, bool compressed,
                    const std::u16string& setup = kSetupPath) {
    Configuration configuration;
    configuration.command_line = raw_command_line.c_str();
    configuration.previous_version = previous_version;
    PathString archive_path;
    Fill(archive_path, kArchive);
    PathString setup_path;
    Fill(setup_path, setup);
    return LaunchSetup(configuration, archive_path, setup_path, compressed);
  }
  static std::u16string Quoted(const std::u16string& text) { return u"\"" + text + u"\""; }
};

TEST_F(LaunchSetupTest, CommandLineForEachArchiveTagAndPreviousVersion) {
  machine_.WriteFile(kArchive, "7z archive");
  SetExitCode(7);
  const std::u16string stub = Quoted(kStubPath);
  const std::u16string head = Quoted(kSetupPath);
  struct Case {
    const char* what;
    bool compressed;  // the archive's type tag is "B7"
    LPCWSTR previous_version;
    std::u16string raw_command_line;
    std::u16string expected;
  } cases[] = {
      {"B7, no previous version", true, nullptr, stub,
       head + u" --install-archive=" + Quoted(kArchive) + u" --pellora-mini"},
      {"BL, no previous version", false, nullptr, stub,
       head + u" --uncompressed-archive=" + Quoted(kArchive) + u" --pellora-mini"},
      {"BN, empty previous version", false, u"", stub,
       head + u" --uncompressed-archive=" + Quoted(kArchive) + u" --previous-version=\"\" --pellora-mini"},
      {"B7, previous version, user's arguments", true, u"4.2.1.7",
       stub + u" --pellora-silent --system-level \"a b\"",
       head + u" --install-archive=" + Quoted(kArchive) + u" --previous-version=\"4.2.1.7\" --pellora-mini" +
           u" --pellora-silent --system-level \"a b\""},
      {"BL, unquoted program name, TAB", false, nullptr, std::u16string(kStubPath) + u"\t--x",
       head + u" --uncompressed-archive=" + Quoted(kArchive) + u" --pellora-mini\t--x"},
      {"B7, version between quotes as it is", true, u"1 \"2\"", stub + u"--glued",
       head + u" --install-archive=" + Quoted(kArchive) + u" --previous-version=\"1 \"2\"\" --pellora-mini --glued"},
  };
  for (const auto& c : cases) {
    const ExitResult result = Launch(c.raw_command_line, c.previous_version, c.compressed);
    EXPECT_EQ(result.exit_code, 7u) << c.what;
    EXPECT_EQ(result.extra_code, 0u) << c.what;
  }
  const auto runs = Runs();
  ASSERT_EQ(runs.size(), std::size(cases));
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(sim::ToUtf8(runs[i].command_line), sim::ToUtf8(cases[i].expected)) << cases[i].what;
  }
  // Setup found its archive, with what lies beside it.
  EXPECT_EQ(runs[0].archive, kArchive);
  ASSERT_EQ(runs[0].beside.size(), 1u);
  EXPECT_EQ(runs[0].beside[0].first, u"PELLORA.PACKED.7Z");
  EXPECT_EQ(runs[0].beside[0].second, 10u);
}

TEST_F(LaunchSetupTest, ALineOf1039UnitsFitsAndOneMoreOverflows) {
  const std::u16string base = Quoted(kSetupPath) + u" --install-archive=" + Quoted(kArchive) +
                              u" --previous-version=\"\" --pellora-mini";
  ASSERT_LT(base.size(), 1039u);
  const std::u16string fitting_version(1039 - base.size(), u'9');
  const std::u16string stub = Quoted(kStubPath) + u" --user-argument";

  const ExitResult fits = Launch(stub, fitting_version.c_str(), true);
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.extra_code, 0u);
  ASSERT_EQ(Runs().size(), 1u);
  // Setup runs without the user's arguments, which no longer fit.
  const std::u16string received = Runs()[0].command_line;
  EXPECT_EQ(received.size(), 1039u);
  EXPECT_EQ(received.substr(received.size() - 15), u" --pellora-mini");

  const std::u16string one_more = fitting_version + u"9";
  const ExitResult overflow = Launch(stub, one_more.c_str(), true);
  EXPECT_EQ(overflow.exit_code, 105u);
  EXPECT_EQ(overflow.extra_code, 0u);
  EXPECT_EQ(Runs().size(), 1u);  // nothing started
  EXPECT_EQ(OpenHandles(), 0u);

  // The version fills the line to its last unit: its closing quote no longer fits.
  const ExitResult no_quote = Launch(stub, (fitting_version + std::u16string(16, u'9')).c_str(), true);
  EXPECT_EQ(no_quote.exit_code, 105u);
  EXPECT_EQ(Runs().size(), 1u);
}

TEST_F(LaunchSetupTest, SetupThatCannotStartGivesTheSetupCodes) {
  machine_.WriteFile(u"C:\\Programs\\setup.txt", "text");
  struct Case {
    const char* what;
    std::u16string setup;
    ExitResult expected;
  } cases[] = {
      {"missing file", u"C:\\Programs\\Pellora Setup\\gone.exe", {122u, INVALID_FILE_ATTRIBUTES}},
      {"missing folder", u"C:\\Gone\\setup.exe", {123u, INVALID_FILE_ATTRIBUTES}},
      {"no program", u"C:\\Programs\\setup.txt", {124u, ERROR_BAD_EXE_FORMAT}},
  };
  for (const auto& c : cases) {
    const ExitResult result = Launch(Quoted(kStubPath), nullptr, true, c.setup);
    EXPECT_EQ(result.exit_code, c.expected.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, c.expected.extra_code) << c.what;
  }
  EXPECT_TRUE(Runs().empty());
}

}  // namespace
