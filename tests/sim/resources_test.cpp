// Resources read from real images (made by lld-link from the resources each case needs):
// lookup by identifier and by name without regard to case, sizes and bytes in place,
// enumeration in the image's order, and Windows' error codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_resources.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

using testing_support::ImageResource;
using testing_support::MakeResourceImage;

const std::u16string kLongName(600, u'N');

class ResourcesTest : public ::testing::Test {
 protected:
  sim::Process& Load(const std::vector<ImageResource>& resources, std::vector<sim::FaultRule> faults = {}) {
    const std::u16string image = u"C:\\Images\\case.exe";
    machine_.WriteFile(image, MakeResourceImage(resources));
    sim::ProcessOptions options;
    options.image = image;
    options.faults = std::move(faults);
    return machine_.Start(options);
  }
  // The bytes of a resource as the four calls give them, or the failing call's error.
  std::string Read(LPCWSTR name, LPCWSTR type, DWORD* error = nullptr) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceW(module, name, type);
    if (resource == nullptr) {
      if (error) *error = GetLastError();
      return "<missing>";
    }
    const HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) {
      if (error) *error = GetLastError();
      return "<not loaded>";
    }
    const DWORD size = SizeofResource(module, resource);
    const auto* data = static_cast<const char*>(LockResource(loaded));
    return std::string(data, size);
  }
  testing_support::TestMachine machine_;
};

const std::vector<ImageResource> kPayload = {
    {RT_RCDATA, WORD{1}, "odd"},
    {std::u16string(u"B7"), std::u16string(u"Pellora.Packed.7z"), "archive bytes"},
    {std::u16string(u"B7"), WORD{7}, "id under a string type"},
    {std::u16string(u"BL"), std::u16string(u"SETUP.EX_"), ""},
    {std::u16string(u"BL"), kLongName, "long"},
    {WORD{300}, std::u16string(u"numbered type"), "n"},
};

TEST_F(ResourcesTest, FindsEveryKindOfNameAndReadsItsBytesInPlace) {
  const sim::Process& process = Load(kPayload);
  struct Case {
    LPCWSTR name;
    LPCWSTR type;
    std::string bytes;
  } cases[] = {
      {MakeIntResource(1), MakeIntResource(RT_RCDATA), "odd"},
      {u"#1", u"#10", "odd"},
      {u"Pellora.Packed.7z", u"B7", "archive bytes"},
      {u"PELLORA.PACKED.7Z", u"b7", "archive bytes"},
      {u"pellora.packed.7z", u"B7", "archive bytes"},
      {MakeIntResource(7), u"B7", "id under a string type"},
      {u"#7", u"B7", "id under a string type"},
      {u"setup.ex_", u"bl", ""},
      {kLongName.c_str(), u"BL", "long"},
      {u"NUMBERED TYPE", MakeIntResource(300), "n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Read(c.name, c.type), c.bytes) << sim::ToUtf8(sim::View(IsIntResource(c.name) ? u"(id)" : c.name));
  }
  // The data is the mapped image itself, not a copy.
  const HRSRC resource = FindResourceW(nullptr, u"Pellora.Packed.7z", u"B7");
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
  EXPECT_GE(data, process.image_base());
  EXPECT_LE(data + 13, process.image_base() + process.image_size());
}

TEST_F(ResourcesTest, ReportsWhatIsMissing) {
  Load(kPayload);
  struct Case {
    const char* what;
    LPCWSTR name;
    LPCWSTR type;
    DWORD error;
  } cases[] = {
      {"type", MakeIntResource(1), u"BN", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"integer type", MakeIntResource(1), MakeIntResource(RT_VERSION), ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"name", u"SETUP.EXE", u"BL", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"id", MakeIntResource(2), MakeIntResource(RT_RCDATA), ERROR_RESOURCE_NAME_NOT_FOUND},
      {"name as id", MakeIntResource(7), u"BL", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"id as name", u"7", u"B7", ERROR_RESOURCE_NAME_NOT_FOUND},
      {"prefix of a name", u"Pellora", u"B7", ERROR_RESOURCE_NAME_NOT_FOUND},
  };
  for (const auto& c : cases) {
    DWORD error = 0;
    EXPECT_EQ(Read(c.name, c.type, &error), "<missing>") << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

TEST_F(ResourcesTest, AnEmptyTableAndAMissingTableHoldNothing) {
  Load({});
  DWORD error = 0;
  EXPECT_EQ(Read(MakeIntResource(1), MakeIntResource(RT_RCDATA), &error), "<missing>");
  EXPECT_EQ(error, ERROR_RESOURCE_TYPE_NOT_FOUND);

  // The same image with its resource-table directory entry (index 2) cleared.
  std::string image = MakeResourceImage({{RT_RCDATA, WORD{1}, "x"}});
  const size_t pe = static_cast<BYTE>(image[0x3C]) | static_cast<BYTE>(image[0x3D]) << 8;
  ASSERT_EQ(image.substr(pe, 4), std::string("PE\0\0", 4));
  image.replace(pe + 24 + 112 + 2 * 8, 8, std::string(8, '\0'));
  const std::u16string path = u"C:\\Images\\no-table.exe";
  machine_.WriteFile(path, image);
  sim::ProcessOptions options;
  options.image = path;
  machine_.Start(options);
  EXPECT_EQ(Read(MakeIntResource(1), MakeIntResource(RT_RCDATA), &error), "<missing>");
  EXPECT_EQ(error, ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_FALSE(EnumResourceNamesW(nullptr, u"B7", [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR) { return TRUE; }, 0));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST_F(ResourcesTest, OtherModulesAndHandlesAreRefused) {
  Load(kPayload);
  const HMODULE other = reinterpret_cast<HMODULE>(0x10000);
  EXPECT_EQ(FindResourceW(other, MakeIntResource(1), MakeIntResource(RT_RCDATA)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  int not_a_resource = 0;
  EXPECT_EQ(SizeofResource(nullptr, reinterpret_cast<HRSRC>(&not_a_resource)), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LoadResource(nullptr, reinterpret_cast<HRSRC>(&not_a_resource)), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

struct Enumerated {
  std::vector<std::u16string> names;
  int stop_after = -1;
};

BOOL Collect(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
  auto* seen = reinterpret_cast<Enumerated*>(parameter);
  EXPECT_EQ(module, GetModuleHandleW(nullptr));
  EXPECT_NE(type, nullptr);
  seen->names.push_back(IsIntResource(name) ? u"#" + sim::ToUtf16(std::to_string(reinterpret_cast<ULONG_PTR>(name)))
                                            : std::u16string(name));
  return static_cast<int>(seen->names.size()) != seen->stop_after;
}

TEST_F(ResourcesTest, EnumeratesInTheImagesOrderAndStopsWhenAsked) {
  Load({
      {std::u16string(u"B7"), WORD{9}, "9"},
      {std::u16string(u"B7"), std::u16string(u"zeta"), "z"},
      {std::u16string(u"B7"), WORD{2}, "2"},
      {std::u16string(u"B7"), std::u16string(u"Alpha"), "a"},
      {std::u16string(u"BL"), std::u16string(u"other"), "o"},
  });
  // The linker sorts the table: names first, then identifiers in ascending order.
  Enumerated all;
  ASSERT_TRUE(EnumResourceNamesW(nullptr, u"b7", Collect, reinterpret_cast<LONG_PTR>(&all)));
  EXPECT_EQ(all.names, (std::vector<std::u16string>{u"Alpha", u"zeta", u"#2", u"#9"}));

  Enumerated stopped;
  stopped.stop_after = 2;
  EXPECT_FALSE(EnumResourceNamesW(nullptr, u"B7", Collect, reinterpret_cast<LONG_PTR>(&stopped)));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_ENUM_USER_STOP);
  EXPECT_EQ(stopped.names.size(), 2u);

  Enumerated none;
  EXPECT_FALSE(EnumResourceNamesW(nullptr, u"BN", Collect, reinterpret_cast<LONG_PTR>(&none)));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_TRUE(none.names.empty());
}

TEST_F(ResourcesTest, FaultInjectionFailsTheChosenCall) {
  for (const char* call : {"FindResourceW", "LoadResource", "SizeofResource", "EnumResourceNamesW"}) {
    Load(kPayload, {{call, 1, ERROR_NOT_ENOUGH_MEMORY}});
    const HRSRC resource = FindResourceW(nullptr, MakeIntResource(1), MakeIntResource(RT_RCDATA));
    const bool failed = resource == nullptr || LoadResource(nullptr, resource) == nullptr ||
                        SizeofResource(nullptr, resource) == 0 ||
                        !EnumResourceNamesW(nullptr, u"B7", [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR) { return TRUE; }, 0);
    EXPECT_TRUE(failed) << call;
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << call;
  }
}

TEST_F(ResourcesTest, ADamagedImageFailsTheCallNotTheProcess) {
  const std::string image = MakeResourceImage(kPayload);
  const size_t section = image.find(std::string(".rsrc\0\0\0", 8));
  ASSERT_NE(section, std::string::npos);
  const size_t raw_offset = static_cast<BYTE>(image[section + 20]) | static_cast<BYTE>(image[section + 21]) << 8;
  const size_t data = image.find("archive bytes");
  ASSERT_NE(data, std::string::npos);
  struct Case {
    const char* what;
    size_t keep;  // bytes of the image left
    DWORD find_error;
    DWORD load_error;
  } cases[] = {
      {"directory entries cut off", raw_offset + 16, ERROR_RESOURCE_DATA_NOT_FOUND, 0},
      {"data cut off", data + 4, 0, ERROR_INVALID_DATA},
      {"no image headers", 2, ERROR_RESOURCE_DATA_NOT_FOUND, 0},
  };
  for (const auto& c : cases) {
    const std::u16string path = u"C:\\Images\\cut.exe";
    machine_.WriteFile(path, image.substr(0, c.keep));
    sim::ProcessOptions options;
    options.image = path;
    machine_.Start(options);
    const HRSRC resource = FindResourceW(nullptr, u"Pellora.Packed.7z", u"B7");
    if (c.find_error != 0) {
      EXPECT_EQ(resource, nullptr) << c.what;
      EXPECT_EQ(GetLastError(), c.find_error) << c.what;
      continue;
    }
    ASSERT_NE(resource, nullptr) << c.what;
    EXPECT_EQ(LoadResource(nullptr, resource), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.load_error) << c.what;
  }
}

}  // namespace
