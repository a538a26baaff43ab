// Resource unpacking against the simulated Windows with real images: every return of
// UnpackPayload with its paths, tags and files; the enumeration callback and the
// collector; the chunked writer and what it leaves after a failure.
#include "stub/payload/unpack_payload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_resources.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "stub/payload/cabinet_extraction.h"
#include "stub/payload/resource_collection.h"
#include "stub/payload/resource_writing.h"
#include "tests/support/cabinet_builder.h"
#include "tests/support/host_command.h"
#include "tests/support/resource_image.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ImageResource;
using testing_support::MakeResourceImage;

constexpr char16_t kImage[] = u"C:\\Users\\Demo\\installer.exe";
constexpr char16_t kWork[] = u"C:\\work\\";

ImageResource Named(const std::u16string& type, const std::u16string& name, const std::string& data) {
  return {type, name, data};
}

std::string SetupCabinet(const std::string& program) {
  return testing_support::BuildCabinet({{1, {{"setup.exe", program}}}});
}

std::string Truncated(const std::string& cabinet) { return cabinet.substr(0, cabinet.size() - 20); }

// "C:\work\ddd...\" of exactly `units` units, in components short enough for the host.
std::u16string WorkDirectoryOfLength(size_t units) {
  std::u16string path = kWork;
  while (path.size() < units) {
    size_t take = std::min<size_t>(100, units - path.size());
    if (units - path.size() - take == 1) --take;  // never leave an empty component
    path += std::u16string(take - 1, u'd') + u"\\";
  }
  return path;
}

struct Unpacked {
  ExitResult result;
  std::u16string archive_path, archive_tag, setup_path, setup_tag;
  std::map<std::string, std::string> files;  // name in the work directory -> bytes
};

class ResourceUnpackingTest : public ::testing::Test {
 protected:
  void SetUp() override { cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr}; }

  sim::Process& Start(const std::string& image, std::vector<sim::FaultRule> faults = {}) {
    cabinet_library = CabinetLibrary{nullptr, nullptr, nullptr, nullptr};
    machine_.WriteFile(kImage, image);
    sim::ProcessOptions options;
    options.image = kImage;
    options.faults = std::move(faults);
    trace_file_ = (machine_.root().parent_path() / (machine_.root().filename().string() + ".trace")).string();
    options.trace_file = trace_file_;
    fs::remove(trace_file_);
    process_ = &machine_.Start(options);
    return *process_;
  }

  Unpacked Unpack(const std::vector<ImageResource>& resources, const std::u16string& work = kWork,
                  std::vector<sim::FaultRule> faults = {}) {
    fs::remove_all(machine_.root() / "C" / "work");
    fs::create_directories(machine_.HostPath(work + u"x").parent_path());
    Start(MakeResourceImage(resources), std::move(faults));
    PathString work_directory, archive_path, setup_path;
    TypeString archive_tag, setup_tag;
    work_directory.Assign(work.c_str());
    Unpacked out;
    out.result = UnpackPayload(process_->module(), work_directory, archive_path, archive_tag, setup_path, setup_tag);
    out.archive_path = archive_path.Data();
    out.archive_tag = archive_tag.Data();
    out.setup_path = setup_path.Data();
    out.setup_tag = setup_tag.Data();
    for (const auto& entry : fs::directory_iterator(machine_.HostPath(work + u"x").parent_path())) {
      if (entry.is_regular_file()) out.files[entry.path().filename().string()] = testing_support::ReadHostFile(entry.path());
    }
    return out;
  }

  std::string Trace() const { return testing_support::ReadHostFile(trace_file_); }

  // Nothing of the call outlives it but the file and the loaded library.
  void ExpectNothingLeft(const std::string& what) const { testing_support::ExpectNothingLeft(*process_, what); }

  testing_support::TestMachine machine_;
  sim::Process* process_ = nullptr;
  std::string trace_file_;
};

TEST_F(ResourceUnpackingTest, EveryReturnLeavesItsPathsTagsAndFiles) {
  const std::string archive = "7z archive bytes", patch = "patch bytes", program(70000, 'P');
  const std::u16string W = kWork;
  using Files = std::map<std::string, std::string>;
  struct Case {
    const char* what;
    std::vector<ImageResource> resources;
    ExitResult result;
    std::u16string archive_tag, setup_tag, archive_path, setup_path;
    Files files;
  };
  const Case cases[] = {
      {"both under B7: the setup resource is a patch under its own name",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"B7", u"SETUP.PATCH", patch)},
       {0, 0}, u"B7", u"B7", W + u"PELLORA.PACKED.7Z", W + u"SETUP.PATCH",
       {{"PELLORA.PACKED.7Z", archive}, {"SETUP.PATCH", patch}}},
      {"archive under BL, a plain setup under BN written as setup.exe",
       {Named(u"BL", u"pellora.7z", archive), Named(u"BN", u"SETUP.EX_", program)},
       {0, 0}, u"BL", u"BN", W + u"pellora.7z", W + u"setup.exe", {{"pellora.7z", archive}, {"setup.exe", program}}},
      {"a cabinet under BL is expanded and deleted",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"SETUP.EX_", SetupCabinet(program))},
       {0, 0}, u"B7", u"BL", W + u"PELLORA.PACKED.7Z", W + u"setup.exe",
       {{"PELLORA.PACKED.7Z", archive}, {"setup.exe", program}}},
      {"other types and integer names are no payload",
       {Named(u"B8", u"README", "x"), Named(u"B7", u"PELLORA.PACKED.7Z", archive), {u"B7", WORD{7}, "id"},
        {WORD{10}, WORD{1}, "rc"}, Named(u"BN", u"setup", program)},
       {0, 0}, u"B7", u"BN", W + u"PELLORA.PACKED.7Z", W + u"setup.exe",
       {{"PELLORA.PACKED.7Z", archive}, {"setup.exe", program}}},
      {"a second setup resource under a later type",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"SETUP.EX_", SetupCabinet(program)),
        Named(u"BN", u"SETUP.EXE", program)},
       {115, ERROR_TOO_MANY_NAMES}, u"B7", u"BL", u"", u"", {}},
      {"a second setup resource in the archive's own type",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"B7", u"SETUP.A", patch), Named(u"B7", u"SETUP.B", patch)},
       {112, ERROR_TOO_MANY_NAMES}, u"", u"", u"", u"", {}},
      {"a second archive under a later type",
       {Named(u"B7", u"PELLORA.A", archive), Named(u"BN", u"PELLORA.B", archive), Named(u"BN", u"SETUP", program)},
       {115, ERROR_TOO_MANY_NAMES}, u"B7", u"", u"", u"", {}},
      {"a name with neither prefix under B7, a valid setup following",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"B7", u"README", "x"), Named(u"BN", u"SETUP", program)},
       {112, ERROR_INVALID_DATA}, u"", u"", u"", u"", {}},
      {"a name with neither prefix under BL after the archive",
       {Named(u"B7", u"PELLORA.PACKED.7Z", archive), Named(u"BL", u"INSTALL.EXE", program)},
       {115, ERROR_INVALID_DATA}, u"B7", u"", u"", u"", {}},
      {"an archive name of 260 units",
       {Named(u"B7", u"PELLORA" + std::u16string(253, u'X'), archive), Named(u"BN", u"SETUP", program)},
       {112, ERROR_FILENAME_EXCED_RANGE}, u"", u"", u"", u"", {}},
      {"an archive name that climbs out of the work directory",
       {Named(u"B7", u"PELLORA\\..\\..\\VICTIM.TXT", archive), Named(u"BN", u"SETUP", program)},
       {112, ERROR_INVALID_NAME}, u"", u"", u"", u"", {}},
      {"a setup name with a trailing dot after the archive",
       {Named(u"B7", u"PELLORA", archive), Named(u"BN", u"SETUP.EXE.", program)},
       {115, ERROR_INVALID_NAME}, u"B7", u"", u"", u"", {}},
      {"a setup name that climbs out, in the archive's own type",
       {Named(u"B7", u"PELLORA", archive), Named(u"B7", u"SETUP\\..\\..\\VICTIM.TXT", patch)},
       {112, ERROR_INVALID_NAME}, u"", u"", u"", u"", {}},
      {"a setup name of 260 units after the archive",
       {Named(u"B7", u"PELLORA", archive), Named(u"BN", u"SETUP" + std::u16string(255, u'X'), program)},
       {115, ERROR_FILENAME_EXCED_RANGE}, u"B7", u"", u"", u"", {}},
      {"no archive anywhere",
       {Named(u"BN", u"SETUP.EXE", program), {WORD{10}, WORD{1}, "rc"}},
       {112, ERROR_FILE_NOT_FOUND}, u"", u"BN", u"", u"", {}},
      {"no setup anywhere", {Named(u"BL", u"PELLORA", archive)}, {115, ERROR_FILE_NOT_FOUND}, u"BL", u"", u"", u"", {}},
      {"no payload type at all", {}, {112, ERROR_FILE_NOT_FOUND}, u"", u"", u"", u"", {}},
      {"a zero-size setup resource hides the one after it",
       {Named(u"B7", u"PELLORA", archive), Named(u"BL", u"SETUP.A", ""), Named(u"BL", u"SETUP.B", SetupCabinet(program))},
       {115, ERROR_FILE_NOT_FOUND}, u"B7", u"", u"", u"", {}},
      {"a zero-size archive hides the rest of its type; a later type supplies the archive",
       {Named(u"B7", u"PELLORA.0", ""), Named(u"B7", u"PELLORA.7Z", archive), Named(u"B7", u"SETUP.PATCH", patch),
        Named(u"BL", u"PELLORA.X", archive), Named(u"BN", u"SETUP.EXE", program)},
       {0, 0}, u"BL", u"BN", W + u"PELLORA.X", W + u"setup.exe", {{"PELLORA.X", archive}, {"setup.exe", program}}},
      {"a damaged cabinet: the cabinet is deleted and the setup path names setup.exe",
       {Named(u"B7", u"PELLORA", archive), Named(u"BL", u"SETUP.EX_", Truncated(SetupCabinet(program)))},
       {115, 0}, u"B7", u"BL", W + u"PELLORA", W + u"setup.exe", {{"PELLORA", archive}}},
      {"a cabinet stored as setup.exe cannot be expanded over itself",
       {Named(u"B7", u"PELLORA", archive), Named(u"BL", u"SETUP.EXE", SetupCabinet(program))},
       {115, 0}, u"B7", u"BL", W + u"PELLORA", W + u"setup.exe", {{"PELLORA", archive}}},
  };
  for (const Case& c : cases) {
    const Unpacked out = Unpack(c.resources);
    EXPECT_EQ(out.result.exit_code, c.result.exit_code) << c.what;
    EXPECT_EQ(out.result.extra_code, c.result.extra_code) << c.what;
    EXPECT_EQ(out.archive_tag, c.archive_tag) << c.what;
    EXPECT_EQ(out.setup_tag, c.setup_tag) << c.what;
    EXPECT_EQ(sim::ToUtf8(out.archive_path), sim::ToUtf8(c.archive_path)) << c.what;
    EXPECT_EQ(sim::ToUtf8(out.setup_path), sim::ToUtf8(c.setup_path)) << c.what;
    EXPECT_EQ(out.files, c.files) << c.what;
    // Nothing is written before the search has ended without an error.
    if (c.archive_path.empty()) {
      EXPECT_EQ(Trace().find("CreateFileW("), std::string::npos) << c.what;
    }
    ExpectNothingLeft(c.what);
  }
}

TEST_F(ResourceUnpackingTest, PathsThatDoNotFitEndWithPathOverflow) {
  const std::string archive = "archive", program = "MZ program";
  struct Case {
    const char* what;
    size_t work_units;
    std::vector<ImageResource> resources;
    std::u16string archive_name, setup_name;  // what the paths hold after the work directory
    bool setup_path_set;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"the archive's name", 8, {Named(u"B7", u"PELLORA" + std::u16string(252, u'X'), archive), Named(u"BN", u"SETUP", program)},
       u"", u"", false, {}},
      {"the setup resource's name", 240, {Named(u"B7", u"PELLORA.7Z", archive), Named(u"B7", u"SETUP.PATCH.FILE.NAME", program)},
       u"PELLORA.7Z", u"", true, {"PELLORA.7Z"}},
      {"setup.exe for a plain setup named shorter", 251, {Named(u"B7", u"pellora", archive), Named(u"BN", u"SETUP", program)},
       u"pellora", u"", true, {"pellora"}},
      {"setup.exe as the cabinet's destination", 251,
       {Named(u"B7", u"pellora", archive), Named(u"BL", u"setup", SetupCabinet(program))},
       u"pellora", u"setup", true, {"pellora", "setup"}},
  };
  for (const Case& c : cases) {
    const std::u16string work = WorkDirectoryOfLength(c.work_units);
    ASSERT_EQ(work.size(), c.work_units);
    const Unpacked out = Unpack(c.resources, work);
    EXPECT_EQ(out.result.exit_code, 108u) << c.what;
    EXPECT_EQ(out.result.extra_code, 0u) << c.what;
    // A path that does not fit holds the work directory alone.
    EXPECT_EQ(sim::ToUtf8(out.archive_path), sim::ToUtf8(work + c.archive_name)) << c.what;
    EXPECT_EQ(sim::ToUtf8(out.setup_path), c.setup_path_set ? sim::ToUtf8(work + c.setup_name) : "") << c.what;
    std::vector<std::string> files;
    for (const auto& [name, bytes] : out.files) files.push_back(name);
    EXPECT_EQ(files, c.files) << c.what;
    ExpectNothingLeft(c.what);
  }
}

TEST_F(ResourceUnpackingTest, AFileThatCannotBeWrittenEndsWithItsOwnCodeAndError) {
  const std::string archive(3 * 1024, 'A');
  const std::vector<ImageResource> image = {Named(u"B7", u"PELLORA.PACKED.7Z", archive),
                                            Named(u"BN", u"SETUP.EXE", "MZ")};
  struct Case {
    const char* what;
    std::vector<sim::FaultRule> faults;
    ExitResult result;
    bool setup_path_set;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"the archive cannot be created", {{"CreateFileW", 1, ERROR_ACCESS_DENIED}}, {112, ERROR_ACCESS_DENIED}, false, {}},
      {"the archive cannot be written", {{"WriteFile", 1, ERROR_DISK_FULL}}, {112, ERROR_DISK_FULL}, false, {}},
      // The write's error is the one reported, not that of the failed mark; the empty file
      // stays for the cleanup.
      {"the archive can be neither written nor marked",
       {{"WriteFile", 1, ERROR_DISK_FULL}, {"SetFileInformationByHandle", 1, ERROR_ACCESS_DENIED}},
       {112, ERROR_DISK_FULL}, false, {"PELLORA.PACKED.7Z"}},
      {"the setup file cannot be created", {{"CreateFileW", 2, ERROR_SHARING_VIOLATION}},
       {116, ERROR_SHARING_VIOLATION}, true, {"PELLORA.PACKED.7Z"}},
      {"the setup file cannot be written", {{"WriteFile", 2, ERROR_WRITE_FAULT}}, {116, ERROR_WRITE_FAULT}, true,
       {"PELLORA.PACKED.7Z"}},
  };
  for (const Case& c : cases) {
    const Unpacked out = Unpack(image, kWork, c.faults);
    EXPECT_EQ(out.result.exit_code, c.result.exit_code) << c.what;
    EXPECT_EQ(out.result.extra_code, c.result.extra_code) << c.what;
    EXPECT_EQ(sim::ToUtf8(out.archive_path), "C:\\work\\PELLORA.PACKED.7Z") << c.what;
    EXPECT_EQ(sim::ToUtf8(out.setup_path), c.setup_path_set ? "C:\\work\\setup.exe" : "") << c.what;
    std::vector<std::string> files;
    for (const auto& [name, bytes] : out.files) files.push_back(name);
    EXPECT_EQ(files, c.files) << c.what;
    if (!files.empty()) {
      EXPECT_EQ(out.files.at("PELLORA.PACKED.7Z"), c.result.exit_code == 116 ? archive : "") << c.what;
    }
    ExpectNothingLeft(c.what);
  }
}

// The found resources that a collector is bound to.
struct Found {
  PathString archive_name, setup_name;
  ResourceView archive_view = kEmptyView, setup_view = kEmptyView;
  DWORD error = 0;
  ResourceCollector collector{&archive_name, &archive_view, &setup_name, &setup_view, &error};
};

TEST_F(ResourceUnpackingTest, TheCallbackHandsOverViewsIntoTheMappedImage) {
  const std::string archive(5000, 'a'), setup = "setup";
  const sim::Process& process =
      Start(MakeResourceImage({Named(u"B7", u"Pellora.7z", archive), Named(u"B7", u"sEtUp.Ex_", setup)}));
  Found found;
  CollectResourcesOfType(found.collector, process.module(), u"B7");
  EXPECT_EQ(found.error, 0u);
  EXPECT_EQ(std::u16string(found.archive_name.Data()), u"Pellora.7z");  // spelled as stored
  EXPECT_EQ(std::u16string(found.setup_name.Data()), u"sEtUp.Ex_");
  const std::pair<ResourceView, std::string> views[] = {{found.archive_view, archive}, {found.setup_view, setup}};
  for (const auto& [view, expected] : views) {
    EXPECT_EQ(view.size, expected.size());
    EXPECT_GE(view.data, process.image_base());
    EXPECT_LE(view.data + view.size, process.image_base() + process.image_size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.data), view.size), expected);
  }
  EXPECT_LT(process.Snapshot().largest_block, archive.size());  // nothing was copied

  // A rejected name ends the enumeration: the names after it are not visited.
  const sim::Process& rejecting =
      Start(MakeResourceImage({Named(u"B7", u"ABOUT", "x"), Named(u"B7", u"PELLORA", archive)}));
  Found after_rejection;
  CollectResourcesOfType(after_rejection.collector, rejecting.module(), u"B7");
  EXPECT_EQ(after_rejection.error, ERROR_INVALID_DATA);
  EXPECT_FALSE(after_rejection.archive_view.IsFilled());
  EXPECT_TRUE(after_rejection.archive_name.IsEmpty());
}

TEST(ResourceCollectorTest, OnlyOnePlainFileNameIsKept) {
  const BYTE bytes[] = {1};
  const ResourceView view{bytes, sizeof bytes};
  struct Case {
    std::u16string name;
    DWORD error;  // 0: kept; ERROR_INVALID_NAME is 123, ERROR_INVALID_DATA 13
  };
  const Case cases[] = {
      // Refused: every shape that could name something other than one file in the work directory.
      {u"PELLORA\\..\\..\\VICTIM.TXT", 123},  // backslash, climbing out
      {u"PELLORA\\X", 123},                   // backslash, a folder below
      {u"PELLORA/../VICTIM.TXT", 123},         // slash
      {u"PELLORA:STREAM", 123},                // colon: a stream of another file
      {u"SETUP:", 123},
      {u"PELLORA*", 123},
      {u"PELLORA?", 123},
      {u"PELLORA\"", 123},
      {u"PELLORA<", 123},
      {u"PELLORA>", 123},
      {u"PELLORA|", 123},
      {u"PELLORA\x01X", 123},  // control characters 1 ...
      {u"PELLORA\x1FX", 123},  // ... to 31
      {u"PELLORA\tX", 123},
      {u"PELLORA.", 123},   // a trailing dot is stripped by Windows
      {u"SETUP.EXE.", 123},
      {u"PELLORA ", 123},   // so is a trailing space
      {u"SETUP.EXE ", 123},
      {u".", 123},
      {u"..", 123},
      // Refused before the prefix is looked at, and before the length.
      {u"\\PELLORA", 123},
      {u"SETUP" + std::u16string(300, u'X') + u"\\", 123},
      // Kept: plain names, inner dots and spaces, the first unit past the control range.
      {u"PELLORA.PACKED.7Z", 0},
      {u"PELLORA X.7Z", 0},
      {u"PELLORA..7Z", 0},
      {u"PELLORA\x7F", 0},
      {u"SETUP.EX_", 0},
      {u"setup~1.exe", 0},
      {u"PELLORA\u00e9", 0},
      // A plain name still needs a prefix.
      {u"VICTIM.TXT", 13},
      // And must fit a path: 259 units do, 260 are refused with ERROR_FILENAME_EXCED_RANGE (206).
      {u"SETUP" + std::u16string(254, u'X'), 0},
      {u"SETUP" + std::u16string(255, u'X'), 206},
  };
  for (const Case& c : cases) {
    Found found;
    EXPECT_EQ(found.collector.Collect(c.name.c_str(), view), c.error == 0) << sim::ToUtf8(c.name);
    EXPECT_EQ(found.error, c.error) << sim::ToUtf8(c.name);
    if (c.error != 0) {
      // Nothing is kept from a refused name.
      EXPECT_TRUE(found.archive_name.IsEmpty()) << sim::ToUtf8(c.name);
      EXPECT_TRUE(found.setup_name.IsEmpty()) << sim::ToUtf8(c.name);
      EXPECT_FALSE(found.archive_view.IsFilled()) << sim::ToUtf8(c.name);
      EXPECT_FALSE(found.setup_view.IsFilled()) << sim::ToUtf8(c.name);
    } else {
      const bool archive = c.name[0] == u'P';
      EXPECT_EQ(std::u16string((archive ? found.archive_name : found.setup_name).Data()), c.name);
    }
  }
}

TEST_F(ResourceUnpackingTest, TheCallbackEndsTheTypeOnWhatItCannotUse) {
  const sim::Process& process = Start(MakeResourceImage({Named(u"B7", u"PELLORA", "1"), Named(u"B7", u"SETUP", "2")}));
  Found found;
  const auto parameter = reinterpret_cast<LONG_PTR>(&found.collector);
  EXPECT_EQ(VisitResourceName(process.module(), u"B7", const_cast<LPWSTR>(MakeIntResource(1)), parameter), FALSE);
  EXPECT_EQ(VisitResourceName(process.module(), u"B7", const_cast<LPWSTR>(u"PELLORA"), 0), FALSE);
  EXPECT_EQ(VisitResourceName(process.module(), u"B7", const_cast<LPWSTR>(u"PELLORA.X"), parameter), FALSE);
  EXPECT_FALSE(found.archive_view.IsFilled());
  EXPECT_EQ(found.error, 0u);  // none of these is an error
  EXPECT_EQ(VisitResourceName(process.module(), u"B7", const_cast<LPWSTR>(u"pellora"), parameter), TRUE);
  EXPECT_TRUE(found.archive_view.IsFilled());
  // The same resource again is a second archive.
  EXPECT_EQ(VisitResourceName(process.module(), u"B7", const_cast<LPWSTR>(u"PELLORA"), parameter), FALSE);
  EXPECT_EQ(found.error, ERROR_TOO_MANY_NAMES);

  for (const char* call : {"FindResourceW", "SizeofResource", "LoadResource", "LockResource"}) {
    const sim::Process& failing = Start(MakeResourceImage({Named(u"B7", u"PELLORA", "1"), Named(u"B7", u"SETUP", "2")}),
                                        {{call, 1, ERROR_RESOURCE_DATA_NOT_FOUND}});
    Found after_failure;
    CollectResourcesOfType(after_failure.collector, failing.module(), u"B7");
    EXPECT_EQ(after_failure.error, 0u) << call;
    EXPECT_FALSE(after_failure.archive_view.IsFilled()) << call;
    EXPECT_FALSE(after_failure.setup_view.IsFilled()) << call << ": the second name is not visited either";
  }
}

TEST_F(ResourceUnpackingTest, TheWriterGoesOutInChunksAndLeavesNothingAfterAFailure) {
  Start(MakeResourceImage({}));
  fs::create_directories(machine_.root() / "C" / "work");
  const std::string data(2 * size_t{kWriteChunkBytes} + 5, 'w');
  const ResourceView view{reinterpret_cast<const BYTE*>(data.data()), data.size()};
  ASSERT_TRUE(WriteResourceToFile(view, u"C:\\work\\big"));
  EXPECT_EQ(fs::file_size(machine_.HostPath(u"C:\\work\\big", false)), data.size());
  const std::string trace = Trace();
  EXPECT_NE(trace.find(", 8388608) -> TRUE 8388608\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(", 5) -> TRUE 5\n"), std::string::npos) << trace;
  size_t writes = 0;
  for (size_t at = trace.find("WriteFile("); at != std::string::npos; at = trace.find("WriteFile(", at + 1)) ++writes;
  EXPECT_EQ(writes, 3u);

  // An empty view gives an empty file.
  ASSERT_TRUE(WriteResourceToFile(kEmptyView, u"C:\\work\\empty"));
  EXPECT_EQ(fs::file_size(machine_.HostPath(u"C:\\work\\empty", false)), 0u);

  // The failing write's error survives the clean-up, and the partial file goes.
  Start(MakeResourceImage({}), {{"WriteFile", 2, ERROR_DISK_FULL}});
  SetLastError(0);
  EXPECT_FALSE(WriteResourceToFile(view, u"C:\\work\\partial"));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_FALSE(fs::exists(machine_.HostPath(u"C:\\work\\partial", false)));
  ExpectNothingLeft("failed write");

  EXPECT_FALSE(WriteResourceToFile(view, u"C:\\work\\missing\\file"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ExpectNothingLeft("failed create");
}

}  // namespace
