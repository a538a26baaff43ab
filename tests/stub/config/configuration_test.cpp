// The configuration as the stub loads it: switches from the raw command line, the
// cleanup policy from the simulated registry and the previous version from real images.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/advapi32_registry.h"
#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_resources.h"
#include "sim/advapi32/registry_store.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "stub/config/configuration.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

using sim::RegistryRoot;
using sim::RegistryView;
using testing_support::ImageResource;
using testing_support::MakeResourceImage;
using testing_support::Utf16Bytes;

constexpr char16_t kImage[] = u"C:\\Users\\Demo\\Downloads\\installer.exe";
constexpr char16_t kUninstallKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora";
constexpr char16_t kPolicy[] = u"TarselInstallerCleanup";

std::vector<BYTE> Bytes(const std::string& text) { return std::vector<BYTE>(text.begin(), text.end()); }

// An image without any resource, made once: linking takes a moment.
const std::string& PlainImage() {
  static const std::string image = MakeResourceImage({});
  return image;
}

class ConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    silent_mode = false;
    unpack_only = false;
  }
  sim::Process& Start(const std::u16string& command_line, const std::string& image = PlainImage(),
                      std::vector<sim::FaultRule> faults = {}) {
    machine_.WriteFile(kImage, image);
    sim::ProcessOptions options;
    options.image = kImage;
    options.command_line = command_line;
    options.faults = std::move(faults);
    return machine_.Start(options);
  }
  void StorePolicy(RegistryRoot root, RegistryView view, DWORD type, const std::string& bytes) {
    sim::RegistryStore store(machine_.root());
    store.SetValue(sim::ViewPath(root, kUninstallKey, view), {kPolicy, type, Bytes(bytes)});
    store.Save();
  }
  testing_support::TestMachine machine_;
};

TEST_F(ConfigurationTest, CleanupPolicyFollowsTheUsersRegistryValue) {
  const std::string zero("0\0", 2), zero_terminated("0\0\0\0", 4);
  struct Case {
    const char* what;
    enum { kNoKey, kNoValue, kUser, kMachine, kMachine32 } where;
    DWORD type;
    std::string bytes;
    bool cleanup;
  } cases[] = {
      {"key absent", Case::kNoKey, 0, "", true},
      {"value absent", Case::kNoValue, 0, "", true},
      {"REG_DWORD 0", Case::kUser, REG_DWORD, std::string(4, '\0'), true},
      {"REG_EXPAND_SZ \"0\"", Case::kUser, REG_EXPAND_SZ, zero_terminated, true},
      {"REG_SZ \"0\" with terminator", Case::kUser, REG_SZ, zero_terminated, false},
      {"REG_SZ \"0\" without terminator", Case::kUser, REG_SZ, zero, false},
      {"REG_SZ empty, no bytes", Case::kUser, REG_SZ, "", true},
      {"REG_SZ empty, a lone terminator", Case::kUser, REG_SZ, std::string(2, '\0'), true},
      {"REG_SZ one other character", Case::kUser, REG_SZ, std::string("1\0\0\0", 4), true},
      {"REG_SZ one other character without terminator", Case::kUser, REG_SZ, std::string("x\0", 2), true},
      {"REG_SZ \"00\" with terminator", Case::kUser, REG_SZ, std::string("0\0" "0\0\0\0", 6), true},
      {"REG_SZ \"00\" without terminator", Case::kUser, REG_SZ, std::string("0\0" "0\0", 4), true},
      {"REG_SZ \"0abc\"", Case::kUser, REG_SZ, Utf16Bytes(u"0abc"), true},
      {"REG_SZ \"0\" under the machine only", Case::kMachine, REG_SZ, zero_terminated, true},
      {"REG_SZ \"0\" under the machine's 32-bit view only", Case::kMachine32, REG_SZ, zero_terminated, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(machine_.root() / "registry.reg");
    if (c.where == Case::kNoValue) {
      sim::RegistryStore store(machine_.root());
      store.SetValue(sim::ViewPath(RegistryRoot::kCurrentUser, kUninstallKey, RegistryView::k64),
                     {u"OtherValue", REG_SZ, Bytes(zero_terminated)});
      store.Save();
    } else if (c.where == Case::kUser) {
      StorePolicy(RegistryRoot::kCurrentUser, RegistryView::k64, c.type, c.bytes);
    } else if (c.where == Case::kMachine || c.where == Case::kMachine32) {
      StorePolicy(RegistryRoot::kLocalMachine, c.where == Case::kMachine ? RegistryView::k64 : RegistryView::k32,
                  c.type, c.bytes);
    }
    sim::Process& process = Start(u"\"C:\\Users\\Demo\\Downloads\\installer.exe\" --system-level");
    Configuration configuration;
    ASSERT_TRUE(configuration.LoadFromModule(GetModuleHandleW(nullptr))) << c.what;
    EXPECT_EQ(configuration.cleanup_enabled, c.cleanup) << c.what;
    configuration.Reset();
    EXPECT_TRUE(process.Snapshot().open_handles.empty()) << c.what << ": a key was left open";
  }
}

struct Switches {
  bool system_level;
  bool rejected;
  bool silent;
  bool unpack;
  bool operator==(const Switches&) const = default;
};

TEST_F(ConfigurationTest, SwitchesAreWholeArgumentsInAnyLetterCase) {
  struct Case {
    std::u16string line;
    Switches expected;
  } cases[] = {
      {u"p", {false, false, false, false}},
      {u"p --system-level", {true, false, false, false}},
      {u"p --SYSTEM-LEVEL", {true, false, false, false}},
      {u"p --System-Level", {true, false, false, false}},
      {u"p --system-level=1", {false, false, false, false}},
      {u"p --system-level=", {false, false, false, false}},
      {u"p -system-level", {false, false, false, false}},
      {u"p --system-levelx --xsystem-level", {false, false, false, false}},
      {u"p \"--system-level x\"", {false, false, false, false}},
      {u"p --cleanup", {false, true, false, false}},
      {u"p \"--cleanup\"", {false, true, false, false}},
      {u"p --c\"leanup\"", {false, true, false, false}},
      {u"p --TARSEL-FRAME", {false, true, false, false}},
      {u"p --tarsel-frame=1", {false, false, false, false}},
      {u"p --pellora-silent", {false, false, true, false}},
      {u"p --pellora-silent --pellora-silent", {false, false, true, false}},
      {u"p --pellora-unpack", {false, false, false, true}},
      {u"p --pellora-unpack --tarsel-frame", {false, true, false, true}},
      {u"p --cleanup --cleanup --system-level", {true, true, false, false}},
      {u"--system-level", {false, false, false, false}},
      {u"--cleanup --pellora-silent", {false, false, true, false}},
      {u"\"--tarsel-frame\" x", {false, false, false, false}},
      {u"p\t--pellora-unpack\t--PELLORA-SILENT --System-Level --Cleanup", {true, true, true, true}},
  };
  Start(u"");
  for (const auto& c : cases) {
    silent_mode = false;
    unpack_only = false;
    Configuration configuration;
    ASSERT_TRUE(configuration.ParseArguments(c.line.c_str())) << sim::ToUtf8(c.line);
    const Switches seen{configuration.system_level, configuration.rejected_switch_seen, silent_mode, unpack_only};
    EXPECT_EQ(seen, c.expected) << sim::ToUtf8(c.line);
    EXPECT_EQ(configuration.command_line, c.line.c_str());
    configuration.Reset();
  }
}

TEST_F(ConfigurationTest, ParsingKeepsEveryArgumentAndTheRawLine) {
  sim::Process& process = Start(u"");
  const std::u16string line = u"\"C:\\a b\\installer.exe\" --cleanup \"x y\" --pellora-silent";
  Configuration configuration;
  ASSERT_TRUE(configuration.ParseArguments(line.c_str()));
  ASSERT_EQ(configuration.argc, 4);
  EXPECT_EQ(std::u16string(configuration.argv[0]), u"C:\\a b\\installer.exe");
  EXPECT_EQ(std::u16string(configuration.argv[2]), u"x y");
  EXPECT_EQ(std::u16string(configuration.argv[3]), u"--pellora-silent");
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  // Parsing again lets the first vector go.
  ASSERT_TRUE(configuration.ParseArguments(u"p --system-level"));
  EXPECT_EQ(configuration.argc, 2);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  configuration.Reset();
  EXPECT_EQ(configuration.argv, nullptr);
  EXPECT_EQ(configuration.argc, 0);
  EXPECT_EQ(configuration.command_line, nullptr);
  EXPECT_FALSE(configuration.rejected_switch_seen);
  EXPECT_FALSE(configuration.system_level);
  EXPECT_TRUE(configuration.cleanup_enabled);
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
  // The process-wide flag outlives the record.
  EXPECT_TRUE(silent_mode);
}

TEST_F(ConfigurationTest, LoadingAgainReleasesTheOldVector) {
  sim::Process& process = Start(u"p --system-level");
  Configuration configuration;
  ASSERT_TRUE(configuration.LoadFromModule(GetModuleHandleW(nullptr)));
  configuration.rejected_switch_seen = true;  // left from before: the load starts afresh
  ASSERT_TRUE(configuration.LoadFromModule(GetModuleHandleW(nullptr)));
  EXPECT_EQ(process.Snapshot().live_local_blocks, 1u);
  EXPECT_FALSE(configuration.rejected_switch_seen);
  EXPECT_TRUE(configuration.system_level);
  EXPECT_EQ(configuration.command_line, GetCommandLineW());
  configuration.Reset();
  EXPECT_EQ(process.Snapshot().live_local_blocks, 0u);
}

TEST_F(ConfigurationTest, OnlyAFailedSplitFailsTheLoad) {
  struct Case {
    const char* what;
    sim::FaultRule fault;
    bool loaded;
    DWORD error;
  } cases[] = {
      {"argument splitting", {"CommandLineToArgvW", 1, ERROR_NOT_ENOUGH_MEMORY}, false, ERROR_NOT_ENOUGH_MEMORY},
      {"the vector's allocation", {"LocalAlloc", 1, ERROR_OUTOFMEMORY}, false, ERROR_OUTOFMEMORY},
      {"resource lookup", {"FindResourceW", 1, ERROR_ACCESS_DENIED}, true, 0},
      {"resource loading", {"LoadResource", 1, ERROR_ACCESS_DENIED}, true, 0},
      {"registry open", {"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED}, true, 0},
      {"registry query", {"RegQueryValueExW", 1, ERROR_ACCESS_DENIED}, true, 0},
  };
  StorePolicy(RegistryRoot::kCurrentUser, RegistryView::k64, REG_SZ, std::string("0\0", 2));
  const std::string image = MakeResourceImage({{RT_RCDATA, WORD{1}, Utf16Bytes(u"1.0")}});
  for (const auto& c : cases) {
    sim::Process& process = Start(u"p --cleanup", image, {c.fault});
    Configuration configuration;
    EXPECT_EQ(configuration.LoadFromModule(GetModuleHandleW(nullptr)), c.loaded) << c.what;
    if (!c.loaded) {
      EXPECT_EQ(GetLastError(), c.error) << c.what;
      EXPECT_EQ(configuration.argv, nullptr) << c.what;
      EXPECT_EQ(configuration.argc, 0) << c.what;
    } else {
      EXPECT_TRUE(configuration.rejected_switch_seen) << c.what;
    }
    configuration.Reset();
    EXPECT_EQ(process.Snapshot().live_local_blocks, 0u) << c.what;
    EXPECT_TRUE(process.Snapshot().open_handles.empty()) << c.what;
  }
}

TEST_F(ConfigurationTest, PreviousVersionComesFromAValidResourceOnly) {
  struct Case {
    const char* what;
    std::vector<ImageResource> resources;
    bool present;
    std::u16string text;
  } cases[] = {
      {"absent", {{RT_RCDATA, WORD{2}, Utf16Bytes(u"1.0")}}, false, u""},
      {"under another type", {{std::u16string(u"B7"), WORD{1}, Utf16Bytes(u"1.0")}}, false, u""},
      {"under a string name \"1\"", {{RT_RCDATA, std::u16string(u"1"), Utf16Bytes(u"1.0")}}, false, u""},
      {"zero bytes", {{RT_RCDATA, WORD{1}, ""}}, false, u""},
      {"7 bytes", {{RT_RCDATA, WORD{1}, std::string("1\0.\0" "0\0\0", 7)}}, false, u""},
      // Its first three units end with a zero unit: only the odd size refuses it.
      {"7 bytes, a zero unit at bytes 4 and 5", {{RT_RCDATA, WORD{1}, std::string("1\0.\0\0\0\0", 7)}}, false, u""},
      {"8 bytes without final zero unit", {{RT_RCDATA, WORD{1}, Utf16Bytes(u"1.00", 0)}}, false, u""},
      {"a single zero unit", {{RT_RCDATA, WORD{1}, std::string(2, '\0')}}, true, u""},
      {"8 bytes ending with a zero unit", {{RT_RCDATA, WORD{1}, Utf16Bytes(u"1.0")}}, true, u"1.0"},
      {"a zero unit inside", {{RT_RCDATA, WORD{1}, Utf16Bytes(std::u16string(u"1\0x", 3))}}, true, u"1"},
      {"a normal version", {{RT_RCDATA, WORD{1}, Utf16Bytes(u"121.0.6167.140")}}, true, u"121.0.6167.140"},
  };
  for (const auto& c : cases) {
    const sim::Process& process = Start(u"p", MakeResourceImage(c.resources));
    Configuration configuration;
    ASSERT_TRUE(configuration.LoadFromModule(GetModuleHandleW(nullptr))) << c.what;
    EXPECT_EQ(configuration.previous_version != nullptr, c.present) << c.what;
    if (c.present && configuration.previous_version != nullptr) {
      EXPECT_EQ(std::u16string(configuration.previous_version), c.text) << c.what;
      // It points into the mapped image, not at a copy.
      const auto* at = reinterpret_cast<const BYTE*>(configuration.previous_version);
      EXPECT_GE(at, process.image_base()) << c.what;
      EXPECT_LT(at, process.image_base() + process.image_size()) << c.what;
    }
    configuration.Reset();
    EXPECT_EQ(configuration.previous_version, nullptr);
  }
}

}  // namespace
