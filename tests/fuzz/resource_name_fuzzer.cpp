// libFuzzer target for the names of the payload resources in the stub's own image: up to
// eight resources of the payload types "B7", "BL", "BN" and of other types, with names
// of any text and length (or identifiers), unpacked by the stub into a work directory of
// the simulated machine. Checked on every input:
// - the result is one the unpacking can give, and a refusal names a cause that the
//   resources really have (a name that is not one plain file name for 123, a name of
//   260 units or more for 206, a payload name with neither prefix for 13, a second
//   archive or setup name for 68);
// - a refused or missing name never leads to a write: the work directory stays empty;
// - after a success the archive file bears a payload name beginning with "pellora" and
//   holds exactly the bytes of one such resource;
// - nothing is ever written outside the work directory, and no handle or block is left.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/machine.h"
#include "stub/payload/unpack_payload.h"
#include "tests/fuzz/fuzz_image.h"
#include "tests/fuzz/fuzz_machine.h"

using fuzzing::Check;

namespace {

constexpr size_t kMaxResources = 8;

std::u16string Fold(std::u16string text) {
  for (auto& unit : text) unit = (unit >= u'a' && unit <= u'z') ? unit - 0x20 : unit;
  return text;
}
bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return Fold(text.substr(0, prefix.size())) == Fold(prefix);
}

bool IsPayloadType(const fuzzing::ResourceKey& type) {
  const auto* name = std::get_if<std::u16string>(&type);
  return name != nullptr && (*name == u"B7" || *name == u"BL" || *name == u"BN");
}

// One plain file name, from the characters Windows file names may not hold or end with.
bool IsPlainName(const std::u16string& name) {
  if (name.empty() || name.back() == u'.' || name.back() == u' ') return false;
  for (char16_t c : name) {
    if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos) return false;
  }
  return true;
}

std::vector<fuzzing::Resource> ReadResources(fuzzing::InputReader& input) {
  static const fuzzing::ResourceKey kTypes[4] = {std::u16string(u"B7"), std::u16string(u"BL"),
                                                 std::u16string(u"BN"), WORD{10}};
  static const char16_t* const kPrefixes[3] = {u"pellora", u"setup", u""};
  std::vector<fuzzing::Resource> resources;
  while (!input.Empty() && resources.size() < kMaxResources) {
    const uint8_t kind = input.Byte();
    fuzzing::Resource resource{kTypes[kind & 3], WORD{0}, {}};
    if (((kind >> 2) & 3) == 3) {
      resource.name = static_cast<WORD>(input.Byte() + 1);
    } else {
      // Lengths reach past 260 units, so that both sides of the limit are tried.
      const size_t length = input.Byte() + ((kind & 0x10) ? 200 : 0);
      resource.name = kPrefixes[(kind >> 2) & 3] + input.Units(length);
    }
    const size_t size = input.Byte() & 15;
    for (size_t i = 0; i < size; ++i) resource.data.push_back(static_cast<char>(input.Byte()));
    resources.push_back(std::move(resource));
  }
  return resources;
}

// The payload names the stub may see: string names under payload types, up to the
// first zero unit (the enumeration hands names over as terminated strings).
std::vector<std::pair<std::u16string, const std::string*>> PayloadNames(const std::vector<fuzzing::Resource>& resources) {
  std::vector<std::pair<std::u16string, const std::string*>> names;
  for (const auto& resource : resources) {
    const auto* name = std::get_if<std::u16string>(&resource.name);
    if (IsPayloadType(resource.type) && name != nullptr) {
      names.push_back({name->substr(0, name->find(u'\0')), &resource.data});
    }
  }
  return names;
}

std::vector<std::filesystem::path> FilesBelow(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) files.push_back(entry.path());
  return files;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void CheckRefusalCause(const ExitResult& result, const std::vector<fuzzing::Resource>& resources) {
  const auto names = PayloadNames(resources);
  bool long_name = false, stray_name = false, bad_name = false;
  int archives = 0, setups = 0;
  for (const auto& [name, data] : names) {
    long_name |= name.size() >= 260;
    bad_name |= !IsPlainName(name);
    if (StartsWith(name, u"pellora")) ++archives;
    else if (StartsWith(name, u"setup")) ++setups;
    else stray_name = true;
  }
  switch (result.extra_code) {
    case 123: Check(bad_name); break;
    case 206: Check(long_name); break;
    case 13: Check(stray_name); break;
    case 68: Check(archives > 1 || setups > 1); break;
    case 2: break;  // a resource not found
    default: Check(false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::InputReader input(data, size);
  const std::vector<fuzzing::Resource> resources = ReadResources(input);

  const auto root = fuzzing::MachineRoot() / "C";
  const auto image_path = root / "installer.exe";
  const auto work = root / "work";
  sim::EndProcess();
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(work);
  std::ofstream(image_path, std::ios::binary | std::ios::trunc) << fuzzing::MakeImage(resources);
  sim::Process& process = fuzzing::StartFuzzProcess(u"C:\\installer.exe", u"installer.exe");

  PathString work_directory, archive_path, setup_path;
  TypeString archive_tag, setup_tag;
  Check(work_directory.Assign(u"C:\\work\\"));
  const ExitResult result = UnpackPayload(process.module(), work_directory, archive_path, archive_tag, setup_path,
                                          setup_tag);

  const auto written = FilesBelow(work);
  for (const auto& path : FilesBelow(root)) {
    const auto relative = path.lexically_relative(work);
    Check(path == image_path || path == work || (!relative.empty() && *relative.begin() != ".."));
  }
  const bool refused = (result.exit_code == 112 || result.exit_code == 115) && result.extra_code != 0 &&
                       archive_path.IsEmpty();
  if (refused) {
    CheckRefusalCause(result, resources);
    Check(written.empty());
  } else if (result.exit_code == 0) {
    Check(result.extra_code == 0);
    const std::u16string archive(archive_path.Data());
    Check(archive.rfind(u"C:\\work\\", 0) == 0);
    const std::u16string name = archive.substr(8);
    const sim::HostPath host = sim::Machine(fuzzing::MachineRoot()).Resolve(archive);
    Check(host.ok());
    const std::string bytes = ReadFile(host.path);
    bool found = false;
    for (const auto& [payload_name, payload_data] : PayloadNames(resources)) {
      found |= payload_name == name && StartsWith(name, u"pellora") && name.size() < 260 && bytes == *payload_data;
    }
    Check(found);
  } else {
    // A path that does not fit, a file the platform would not create, a cabinet that
    // does not expand: all after the names were accepted.
    Check(result.exit_code == 108 || result.exit_code == 112 || result.exit_code == 115 ||
          result.exit_code == 116);
  }
  const sim::Accounting accounting = process.Snapshot();
  Check(accounting.open_handles.empty() && accounting.live_local_blocks == 0 && accounting.live_heap_blocks == 0);
  return 0;
}
