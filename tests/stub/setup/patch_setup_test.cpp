// FindPreviousSetup against values stored byte for byte in the simulated registry, and
// PatchSetup running the installed setup stand-in, judged by what it received and by
// what stays on disk.
#include "stub/setup/patch_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "platform/errors.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/text.h"
#include "stub/setup/previous_setup.h"
#include "tests/support/host_command.h"
#include "tests/stub/setup/setup_child_fixture.h"
#include "tools/standins/setup_patch.h"

namespace {

using sim::RegistryRoot;
using sim::RegistryView;
using setup_tests::Fill;
using setup_tests::kStubPath;

constexpr char16_t kClientState[] = u"Software\\Pellora\\Update\\ClientState";
constexpr char16_t kInstalled[] = u"C:\\Program Files (x86)\\Pellora\\Application\\4.2.1.7\\Installer\\setup.exe";
constexpr char16_t kPatch[] = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\SETUP.EX_";
constexpr char16_t kNewSetup[] = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\setup.exe";

std::vector<BYTE> Units(const std::u16string& units) {
  std::vector<BYTE> bytes;
  for (char16_t unit : units) {
    bytes.push_back(static_cast<BYTE>(unit));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

std::vector<BYTE> Terminated(const std::u16string& text) { return Units(text + std::u16string(1, u'\0')); }

std::u16string Quoted(const std::u16string& text) { return u"\"" + text + u"\""; }

class PreviousSetupTest : public setup_tests::SetupChildTest {
 protected:
  void Store(RegistryRoot root, RegistryView view, DWORD type, std::vector<BYTE> data) {
    sim::RegistryStore store(machine_.root());
    store.SetValue(sim::ViewPath(root, kClientState, view), {u"UninstallString", type, std::move(data)});
    store.Save();
  }
  void StoreUninstallString(const std::u16string& text, RegistryRoot root = RegistryRoot::kCurrentUser) {
    Store(root, RegistryView::k32, REG_SZ, Terminated(text));
  }
  void ClearRegistry() {
    sim::RegistryStore store(machine_.root());
    store.DeleteKey(u"HKEY_CURRENT_USER\\Software");
    store.DeleteKey(u"HKEY_LOCAL_MACHINE\\Software");
    store.Save();
  }
  // The result, and what the buffer holds afterwards when it is a success.
  ExitResult Find(bool system_level, LPCWSTR previous_version, std::u16string* found = nullptr) {
    PathString buffer;
    const ExitResult result = FindPreviousSetup(system_level, previous_version, buffer.Data(), buffer.kCapacity);
    if (found != nullptr) *found = buffer.Data();
    EXPECT_EQ(OpenHandles(), 0u) << "the client-state key stays open";
    return result;
  }
};

TEST_F(PreviousSetupTest, EachRunReadsOnlyItsOwnRootThroughThe32BitView) {
  struct Case {
    const char* what;
    RegistryRoot root;
    RegistryView view;  // where the value is stored
    bool system_level;
    ExitResult expected;
  } cases[] = {
      {"system level, 32-bit view of HKLM", RegistryRoot::kLocalMachine, RegistryView::k32, true, {0, 0}},
      {"system level, only the 64-bit view of HKLM", RegistryRoot::kLocalMachine, RegistryView::k64, true,
       {110u, ERROR_FILE_NOT_FOUND}},
      {"system level, value only under HKCU", RegistryRoot::kCurrentUser, RegistryView::k32, true,
       {110u, ERROR_FILE_NOT_FOUND}},
      {"user level, HKCU (32-bit view)", RegistryRoot::kCurrentUser, RegistryView::k32, false, {0, 0}},
      {"user level, HKCU written in the 64-bit view: shared", RegistryRoot::kCurrentUser, RegistryView::k64, false,
       {0, 0}},
      {"user level, value only under HKLM", RegistryRoot::kLocalMachine, RegistryView::k32, false,
       {110u, ERROR_FILE_NOT_FOUND}},
  };
  for (const auto& c : cases) {
    ClearRegistry();
    Store(c.root, c.view, REG_SZ, Terminated(kInstalled));
    std::u16string found;
    const ExitResult result = Find(c.system_level, u"4.2.1.7", &found);
    EXPECT_EQ(result.exit_code, c.expected.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, c.expected.extra_code) << c.what;
    if (result.Succeeded()) {
      EXPECT_EQ(sim::ToUtf8(found), sim::ToUtf8(kInstalled)) << c.what;
    }
  }
}

TEST_F(PreviousSetupTest, EnclosingQuotesAreRemovedOnlyWhenTheyEncloseTheWholeValue) {
  const std::u16string path = kInstalled;
  struct Case {
    const char* what;
    std::u16string value;
    std::u16string found;
  } cases[] = {
      {"bare path", path, path},
      {"quoted path", Quoted(path), path},
      {"quoted path followed by switches", Quoted(path) + u" --uninstall", Quoted(path) + u" --uninstall"},
      {"one quote alone", u"\"", u"\""},
      {"two quotes", u"\"\"", u""},
      {"three quotes", u"\"\"\"", u"\""},
      {"quote at the end only", path + u"\"", path + u"\""},
      {"257 units between quotes, the buffer full", Quoted(std::u16string(257, u'x')), std::u16string(257, u'x')},
  };
  for (const auto& c : cases) {
    StoreUninstallString(c.value);
    std::u16string found;
    const ExitResult result = Find(false, nullptr, &found);
    EXPECT_EQ(result.exit_code, 0u) << c.what;
    EXPECT_EQ(result.extra_code, 0u) << c.what;
    EXPECT_EQ(sim::ToUtf8(found), sim::ToUtf8(c.found)) << c.what;
  }
}

TEST_F(PreviousSetupTest, PreviousVersionMatchesFoldingAsciiLettersOnly) {
  struct Case {
    const char* what;
    std::u16string value;
    LPCWSTR previous_version;
    DWORD exit_code;
  } cases[] = {
      {"exact", u"C:\\P\\4.2.1.7\\setup.exe", u"4.2.1.7", 0},
      {"other ASCII case", u"C:\\P\\Beta-ABC\\setup.exe", u"beta-abc", 0},
      {"at the very start", u"v1\\setup.exe", u"V1", 0},
      {"at the very end", u"C:\\setup.exe v1", u"V1", 0},
      {"inside the quotes", u"\"C:\\P\\4.2\\setup.exe\"", u"4.2", 0},
      {"absent", u"C:\\P\\4.2.1.6\\setup.exe", u"4.2.1.7", 111u},
      {"non-ASCII letter in another case", u"C:\\P\\\u00C9t\u00E9\\setup.exe", u"\u00E9t\u00E9",
       111u},
      {"non-ASCII letter in the same case", u"C:\\P\\\u00C9t\u00E9\\setup.exe", u"\u00C9T\u00E9", 0},
      {"longer than the value", u"4.2", u"4.2.1", 111u},
      {"no previous version", u"anything at all", nullptr, 0},
      {"empty previous version", u"", u"", 0},
  };
  for (const auto& c : cases) {
    StoreUninstallString(c.value);
    const ExitResult result = Find(false, c.previous_version);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, 0u) << c.what;
  }
}

TEST_F(PreviousSetupTest, UnreadableValuesGiveTheRegistryStatus) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;  // empty with no_value: nothing stored
    bool no_value;
    DWORD extra_code;
  } cases[] = {
      {"missing value", REG_SZ, {}, true, ERROR_FILE_NOT_FOUND},
      {"expandable string", REG_EXPAND_SZ, Terminated(kInstalled), false, ERROR_NOT_SUPPORTED},
      {"number", REG_DWORD, {1, 0, 0, 0}, false, ERROR_NOT_SUPPORTED},
      {"260 units with terminator", REG_SZ, Terminated(std::u16string(260, u'a')), false, ERROR_MORE_DATA},
      {"260 units without terminator", REG_SZ, Units(std::u16string(260, u'a')), false, ERROR_MORE_DATA},
  };
  for (const auto& c : cases) {
    ClearRegistry();
    if (c.no_value) {
      sim::RegistryStore store(machine_.root());
      store.CreateKey(sim::ViewPath(RegistryRoot::kCurrentUser, kClientState, RegistryView::k32));
      store.Save();
    } else {
      Store(RegistryRoot::kCurrentUser, RegistryView::k32, c.type, c.data);
    }
    const ExitResult result = Find(false, nullptr);
    EXPECT_EQ(result.exit_code, 110u) << c.what;
    EXPECT_EQ(result.extra_code, c.extra_code) << c.what;
  }
  ClearRegistry();
  const ExitResult no_key = Find(false, nullptr);
  EXPECT_EQ(no_key.exit_code, 110u);
  EXPECT_EQ(no_key.extra_code, ERROR_FILE_NOT_FOUND);
}

TEST_F(PreviousSetupTest, ABufferOfNoUnitsIsNeverWritten) {
  Store(RegistryRoot::kCurrentUser, RegistryView::k32, REG_SZ, {});  // reads as the empty string
  WCHAR buffer[1] = {0xBEEF};
  const ExitResult result = FindPreviousSetup(false, nullptr, buffer, 0);
  EXPECT_EQ(result.exit_code, 110u);
  EXPECT_EQ(result.extra_code, ERROR_MORE_DATA);
  EXPECT_EQ(buffer[0], 0xBEEF);
  EXPECT_EQ(OpenHandles(), 0u);
  // One unit holds the empty string's terminator.
  const ExitResult one_unit = FindPreviousSetup(false, nullptr, buffer, 1);
  EXPECT_EQ(one_unit.exit_code, 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(OpenHandles(), 0u);
}

// The installed setup stand-in registered under HKCU, a patch from it to the setup
// stand-in in the work directory.
class PatchSetupTest : public PreviousSetupTest {
 protected:
  void SetUp() override {
    PreviousSetupTest::SetUp();
    testing_support::InstallStandIn(machine_, kInstalled, "installed_setup_standin");
    StoreUninstallString(Quoted(kInstalled));
    WritePatch(kPatch);
  }
  static std::string StandInBytes(const char* name) {
    return testing_support::ReadHostFile(testing_support::StandInProgram(name).string());
  }
  void WritePatch(const std::u16string& path) {
    machine_.WriteFile(path, standins::MakeSetupPatch(StandInBytes("installed_setup_standin"),
                                                      StandInBytes("setup_standin")));
  }
  bool Exists(const std::u16string& path) const { return std::filesystem::exists(machine_.HostPath(path, false)); }

  ExitResult Patch(const std::u16string& raw_command_line, bool system_level = false,
                   LPCWSTR previous_version = u"4.2.1.7", const std::u16string& patch = kPatch,
                   const std::u16string& new_setup = kNewSetup) {
    Configuration configuration;
    configuration.command_line = raw_command_line.c_str();
    configuration.system_level = system_level;
    configuration.previous_version = previous_version;
    PathString patch_path;
    Fill(patch_path, patch);
    PathString new_setup_path;
    Fill(new_setup_path, new_setup);
    const ExitResult result = PatchSetup(configuration, patch_path, new_setup_path);
    EXPECT_EQ(OpenHandles(), 0u);
    return result;
  }
};

TEST_F(PatchSetupTest, RunsTheInstalledProgramWithTheExactLineAndDeletesThePatch) {
  const std::u16string user_arguments = u" --pellora-silent --system-level  \"a b\"";
  const ExitResult result = Patch(Quoted(kStubPath) + user_arguments);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.extra_code, 0u);

  const auto runs = Runs();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].program, "installed-setup");
  EXPECT_EQ(runs[0].outcome, "patched");
  EXPECT_EQ(sim::ToUtf8(runs[0].command_line),
            sim::ToUtf8(Quoted(kInstalled) + u" --update-setup-exe=" + Quoted(kPatch) + u" --new-setup-exe=" +
                        Quoted(kNewSetup) + user_arguments));
  EXPECT_EQ(runs[0].module, kInstalled);
  EXPECT_FALSE(Exists(kPatch));
  EXPECT_TRUE(testing_support::ReadHostFile(machine_.HostPath(kNewSetup).string()) ==
              StandInBytes("setup_standin"))
      << "not the setup stand-in";
}

TEST_F(PatchSetupTest, ThePatchGoesWhateverTheInstalledProgramEndsWith) {
  struct Case {
    const char* what;
    const char* forced_exit_code;  // empty: the stand-in patches
    bool damaged_patch;
    ExitResult expected;
    const char* outcome;
  } cases[] = {
      {"exits with 7", "7", false, {7, 0}, "forced"},
      {"exit code above 2^31", "0xC0000135", false, {0xC0000135, 0}, "forced"},
      {"a stub's own code passed on", "105", false, {105, 0}, "forced"},
      {"refuses a patch made against another program", "", true, {4, 0}, "patch-mismatch"},
  };
  for (const auto& c : cases) {
    testing_support::SetMachineSetting(machine_, standins::kInstalledExitCodeSetting, c.forced_exit_code);
    if (c.damaged_patch) {
      machine_.WriteFile(kPatch, standins::MakeSetupPatch("another installed program", "new"));
    } else {
      WritePatch(kPatch);
    }
    const ExitResult result = Patch(Quoted(kStubPath));
    EXPECT_EQ(result.exit_code, c.expected.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, c.expected.extra_code) << c.what;
    ASSERT_FALSE(Runs().empty()) << c.what;
    EXPECT_EQ(Runs().back().outcome, c.outcome) << c.what;
    EXPECT_FALSE(Exists(kPatch)) << c.what;
    EXPECT_FALSE(Exists(kNewSetup)) << c.what;
  }
}

TEST_F(PatchSetupTest, AnInstalledProgramThatCannotStartStillEndsThePatch) {
  machine_.WriteFile(u"C:\\Program Files (x86)\\Pellora\\notes.txt", "text");
  struct Case {
    const char* what;
    std::u16string registered;
    ExitResult expected;
  } cases[] = {
      {"file gone", u"C:\\Program Files (x86)\\Pellora\\gone.exe", {119u, INVALID_FILE_ATTRIBUTES}},
      {"folder gone", u"C:\\Gone\\setup.exe", {120u, INVALID_FILE_ATTRIBUTES}},
      {"no program", u"C:\\Program Files (x86)\\Pellora\\notes.txt", {121u, ERROR_BAD_EXE_FORMAT}},
  };
  for (const auto& c : cases) {
    StoreUninstallString(c.registered);
    WritePatch(kPatch);
    const ExitResult result = Patch(Quoted(kStubPath), false, nullptr);
    EXPECT_EQ(result.exit_code, c.expected.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, c.expected.extra_code) << c.what;
    EXPECT_FALSE(Exists(kPatch)) << c.what;
  }
  EXPECT_TRUE(Runs().empty());
}

TEST_F(PatchSetupTest, StoppingBeforeTheRunKeepsThePatch) {
  struct Case {
    const char* what;
    bool system_level;
    LPCWSTR previous_version;
    ExitResult expected;
  } cases[] = {
      {"no client state under HKLM", true, u"4.2.1.7", {110u, ERROR_FILE_NOT_FOUND}},
      {"another version installed", false, u"5.0", {111u, 0}},
  };
  for (const auto& c : cases) {
    const ExitResult result = Patch(Quoted(kStubPath), c.system_level, c.previous_version);
    EXPECT_EQ(result.exit_code, c.expected.exit_code) << c.what;
    EXPECT_EQ(result.extra_code, c.expected.extra_code) << c.what;
    EXPECT_TRUE(Exists(kPatch)) << c.what;
  }
  EXPECT_TRUE(Runs().empty());
}

// A patch stored as "setup.exe" names the very file the installed program rebuilds: it is
// deleted only when the run failed, never the rebuilt program after a success.
TEST_F(PatchSetupTest, APatchNamedLikeTheRebuiltProgramIsNotDeletedAfterASuccess) {
  const std::u16string patch = u"C:\\Users\\Ann\\Downloads\\TS_3FA9C.tmp\\SETUP.EXE";
  WritePatch(patch);
  const ExitResult rebuilt = Patch(Quoted(kStubPath), false, nullptr, patch);
  EXPECT_EQ(rebuilt.exit_code, 0u);
  ASSERT_EQ(Runs().size(), 1u);
  EXPECT_EQ(Runs()[0].outcome, "patched");
  EXPECT_TRUE(testing_support::ReadHostFile(machine_.HostPath(kNewSetup).string()) ==
              StandInBytes("setup_standin"))
      << "not the setup stand-in";

  WritePatch(patch);
  testing_support::SetMachineSetting(machine_, standins::kInstalledExitCodeSetting, "7");
  const ExitResult failed = Patch(Quoted(kStubPath), false, nullptr, patch);
  EXPECT_EQ(failed.exit_code, 7u);
  EXPECT_FALSE(Exists(patch));
}

// Three paths of 259 units make the longest line the step can build: 820 units, which
// always fits the command capacity, so the overflow result cannot arise from paths that
// fit their own capacity. The line is still handed over whole.
TEST_F(PatchSetupTest, TheLongestPathsStillGiveACompleteLine) {
  const auto path_of_259 = [](const std::u16string& directory, const std::u16string& name) {
    std::u16string path = directory + u"\\";
    path += std::u16string(259 - path.size() - name.size() - 1, u'd') + u"\\" + name;
    EXPECT_EQ(path.size(), 259u);
    return path;
  };
  const std::u16string installed = path_of_259(u"C:\\Installed", u"setup.exe");
  const std::u16string patch = path_of_259(u"C:\\Work", u"SETUP.EX_");
  const std::u16string new_setup = path_of_259(u"C:\\Work", u"setup.exe");
  testing_support::InstallStandIn(machine_, installed, "installed_setup_standin");
  StoreUninstallString(installed);
  WritePatch(patch);

  const ExitResult result = Patch(Quoted(kStubPath) + u" --x", false, nullptr, patch, new_setup);
  EXPECT_EQ(result.exit_code, 0u);
  const std::u16string expected = Quoted(installed) + u" --update-setup-exe=" + Quoted(patch) +
                                  u" --new-setup-exe=" + Quoted(new_setup) + u" --x";
  EXPECT_EQ(expected.size(), 820u + 4u);
  ASSERT_EQ(Runs().size(), 1u);
  EXPECT_EQ(sim::ToUtf8(Runs()[0].command_line), sim::ToUtf8(expected));
  EXPECT_FALSE(Exists(patch));
  EXPECT_TRUE(Exists(new_setup));
}

}  // namespace
