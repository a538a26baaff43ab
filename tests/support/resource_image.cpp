#include "tests/support/resource_image.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/host_command.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

void PutU16(std::string& out, unsigned value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void PutU32(std::string& out, unsigned value) {
  PutU16(out, value & 0xFFFF);
  PutU16(out, value >> 16);
}

void PadToDword(std::string& out) {
  while (out.size() % 4 != 0) out += '\0';
}

// An ordinal is 0xFFFF and the number; a name is terminated UTF-16.
void PutId(std::string& out, const ResourceId& id) {
  if (const WORD* ordinal = std::get_if<WORD>(&id)) {
    PutU16(out, 0xFFFF);
    PutU16(out, *ordinal);
    return;
  }
  for (char16_t unit : std::get<std::u16string>(id)) PutU16(out, unit);
  PutU16(out, 0);
}

// One RESOURCEHEADER with its data, padded to a DWORD.
std::string ResourceEntry(const ImageResource& resource) {
  std::string names;
  PutId(names, resource.type);
  PutId(names, resource.name);
  while ((8 + names.size()) % 4 != 0) names += '\0';
  std::string tail;
  PutU32(tail, 0);                   // DataVersion
  PutU16(tail, 0x0030);              // MemoryFlags: MOVEABLE | PURE
  PutU16(tail, resource.language);   // LanguageId
  PutU32(tail, 0);                   // Version
  PutU32(tail, 0);                   // Characteristics
  std::string entry;
  PutU32(entry, static_cast<unsigned>(resource.data.size()));
  PutU32(entry, static_cast<unsigned>(8 + names.size() + tail.size()));
  entry += names + tail + resource.data;
  PadToDword(entry);
  return entry;
}

std::string ResFile(const std::vector<ImageResource>& resources) {
  std::string res;
  // The leading empty entry that marks a 32-bit resource file.
  PutU32(res, 0);
  PutU32(res, 0x20);
  PutU16(res, 0xFFFF);
  PutU16(res, 0);
  PutU16(res, 0xFFFF);
  PutU16(res, 0);
  res.append(16, '\0');
  for (const auto& resource : resources) res += ResourceEntry(resource);
  return res;
}

class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "resource-image-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

std::string MakeResourceImage(const std::vector<ImageResource>& resources) {
  TemporaryDirectory directory;
  const fs::path image = directory.path() / "image.dll";
  std::vector<std::string> arguments = {LLD_LINK, "/dll", "/noentry", "/machine:arm64", "/out:" + image.string()};
  const fs::path res = directory.path() / "resources.res";
  std::ofstream(res, std::ios::binary) << ResFile(resources);
  arguments.push_back(res.string());
  const HostCommandResult linked = RunHostCommand(arguments);
  if (linked.exit_status != 0) throw std::runtime_error("lld-link failed: " + linked.output);
  return ReadHostFile(image.string());
}

std::string MakeReleaseImage(const std::vector<ImageResource>& resources, const std::string& release_dir) {
  TemporaryDirectory directory;
  const fs::path image = directory.path() / "installer.exe";
  const fs::path res = directory.path() / "resources.res";
  std::ofstream(res, std::ios::binary) << ResFile(resources);
  const HostCommandResult linked =
      RunHostCommand({LLD_LINK, "@" + release_dir + "/image-link.rsp", res.string(), "/out:" + image.string()});
  if (linked.exit_status != 0) throw std::runtime_error("lld-link failed: " + linked.output);
  return ReadHostFile(image.string());
}

std::string Utf16Bytes(const std::u16string& text, int terminators) {
  std::string bytes;
  for (char16_t unit : text) PutU16(bytes, unit);
  for (int i = 0; i < terminators; ++i) PutU16(bytes, 0);
  return bytes;
}

}  // namespace testing_support
