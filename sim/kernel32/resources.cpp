// Resources of the process's image, read in place from the mapped file: the module
// handle is the base of the image file as mapped (not laid out as a loader would), so
// every RVA is translated to a file offset through the section table. The resource tree
// is type -> name -> language; entries are visited in the order the image stores them.
//
// Choices where the documentation leaves the behaviour open:
// - String names and types match without regard to case (simple upper-casing of each
//   unit); "#258" names the identifier 258.
// - Under a name, the first language stored is taken (FindResourceW has no language).
// - An image without a resource table: ERROR_RESOURCE_DATA_NOT_FOUND; a module handle
//   other than the image's: ERROR_INVALID_HANDLE; a resource handle that is no data entry
//   of the image: ERROR_INVALID_HANDLE; data outside the file: ERROR_INVALID_DATA.
// - SizeofResource of an empty resource returns 0 and leaves the last error alone.
// - The string name given to an EnumResourceNamesW callback lives until it returns.
// Every read is bounds-checked, so a damaged image fails the call instead of the process.
#include <cstring>
#include <optional>
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_resources.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/text.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr size_t kResourceTableIndex = 2;

class Image {
 public:
  Image(const BYTE* base, size_t size) : base_(base), size_(size) {}
  const BYTE* base() const { return base_; }

  std::optional<uint32_t> U32(size_t offset) const { return Read<uint32_t>(offset); }
  std::optional<uint16_t> U16(size_t offset) const { return Read<uint16_t>(offset); }
  bool Contains(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }

  // The file offset of `length` bytes at `rva`, when one section holds them in the file.
  std::optional<size_t> FileOffset(uint32_t rva, uint32_t length) const {
    const auto pe = U32(0x3C);
    if (!pe) return std::nullopt;
    const auto sections = U16(*pe + 6);
    const auto optional_size = U16(*pe + 20);
    if (!sections || !optional_size) return std::nullopt;
    const size_t table = size_t{*pe} + 24 + *optional_size;
    for (size_t i = 0; i < *sections; ++i) {
      const size_t header = table + i * 40;
      const auto address = U32(header + 12), raw_size = U32(header + 16), raw_offset = U32(header + 20);
      if (!address || !raw_size || !raw_offset) return std::nullopt;
      if (rva < *address || uint64_t{rva} - *address + length > *raw_size) continue;
      const size_t offset = size_t{*raw_offset} + (rva - *address);
      if (Contains(offset, length)) return offset;
    }
    return std::nullopt;
  }

  // The file offset of the resource directory's root, if the image has one.
  std::optional<size_t> ResourceRoot() const {
    const auto pe = U32(0x3C);
    if (!pe) return std::nullopt;
    const auto magic = U16(*pe + 24);
    if (!magic || (*magic != 0x20B && *magic != 0x10B)) return std::nullopt;
    const size_t optional = size_t{*pe} + 24;
    const size_t directories = optional + (*magic == 0x20B ? 112 : 96);
    const auto count = U32(directories - 4);
    if (!count || *count <= kResourceTableIndex) return std::nullopt;
    const auto rva = U32(directories + kResourceTableIndex * 8);
    if (!rva || *rva == 0) return std::nullopt;
    return FileOffset(*rva, 16);
  }

 private:
  template <typename T>
  std::optional<T> Read(size_t offset) const {
    if (!Contains(offset, sizeof(T))) return std::nullopt;
    T value;
    std::memcpy(&value, base_ + offset, sizeof(T));
    return value;
  }

  const BYTE* base_;
  size_t size_;
};

struct DirectoryEntry {
  bool named = false;
  uint16_t id = 0;
  std::u16string name;
  bool is_directory = false;
  uint32_t target = 0;  // from the resource root
};

// The entries of the directory at `directory` (from the root), in stored order.
std::optional<std::vector<DirectoryEntry>> ReadDirectory(const Image& image, size_t root, uint32_t directory) {
  const auto named = image.U16(root + directory + 12), ids = image.U16(root + directory + 14);
  if (!named || !ids) return std::nullopt;
  std::vector<DirectoryEntry> entries;
  for (size_t i = 0; i < size_t{*named} + *ids; ++i) {
    const size_t at = root + directory + 16 + i * 8;
    const auto name = image.U32(at), target = image.U32(at + 4);
    if (!name || !target) return std::nullopt;
    DirectoryEntry entry;
    entry.named = (*name & kHighBit) != 0;
    entry.is_directory = (*target & kHighBit) != 0;
    entry.target = *target & ~kHighBit;
    if (entry.named) {
      const size_t string = root + (*name & ~kHighBit);
      const auto length = image.U16(string);
      if (!length || !image.Contains(string + 2, size_t{*length} * 2)) return std::nullopt;
      entry.name.resize(*length);
      std::memcpy(entry.name.data(), image.base() + string + 2, size_t{*length} * 2);
    } else {
      entry.id = static_cast<uint16_t>(*name);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

// A type or name as the caller gives it: an identifier, "#n", or a string.
struct ResourceKey {
  bool is_id;
  uint16_t id = 0;
  std::u16string_view name;
};

ResourceKey KeyOf(LPCWSTR text) {
  if (IsIntResource(text)) return {true, static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(text)), {}};
  const std::u16string_view name = View(text);
  if (name.size() > 1 && name[0] == u'#') {
    uint32_t id = 0;
    bool digits = true;
    for (char16_t unit : name.substr(1)) {
      digits = digits && unit >= u'0' && unit <= u'9' && id <= 0xFFFF;
      id = id * 10 + static_cast<uint32_t>(unit - u'0');
    }
    if (digits && id <= 0xFFFF) return {true, static_cast<uint16_t>(id), {}};
  }
  return {false, 0, name};
}

bool Matches(const DirectoryEntry& entry, const ResourceKey& key) {
  if (entry.named != !key.is_id) return false;
  return key.is_id ? entry.id == key.id : EqualNoCase(entry.name, key.name);
}

std::string KeyText(LPCWSTR text) {
  return IsIntResource(text) ? "#" + Decimal(reinterpret_cast<ULONG_PTR>(text)) : Quoted(text);
}

// The image behind a module handle and the error for one that is not this process's.
struct ModuleImage {
  std::optional<Image> image;
  DWORD error = 0;
};

ModuleImage ImageOf(HMODULE module) {
  Process& process = CurrentProcess();
  if (module == nullptr) module = process.module();
  if (process.image_base() == nullptr) return {std::nullopt, ERROR_RESOURCE_DATA_NOT_FOUND};
  if (module != process.module()) return {std::nullopt, ERROR_INVALID_HANDLE};
  return {Image(process.image_base(), process.image_size()), 0};
}

// The data entry of a resource handle, checked to lie inside the image.
std::optional<size_t> DataEntryOf(const Image& image, HRSRC resource) {
  // Compared as addresses: the handle may point anywhere, not only into the image.
  const auto at = reinterpret_cast<ULONG_PTR>(resource), base = reinterpret_cast<ULONG_PTR>(image.base());
  if (at < base) return std::nullopt;
  const size_t offset = at - base;
  if (!image.Contains(offset, 16)) return std::nullopt;
  return offset;
}

// Finds the type's directory (or a failure code) among the root's entries.
struct TypeLookup {
  std::optional<size_t> root;
  uint32_t directory = 0;
  DWORD error = 0;
};

TypeLookup FindType(const Image& image, LPCWSTR type) {
  const auto root = image.ResourceRoot();
  if (!root) return {std::nullopt, 0, ERROR_RESOURCE_DATA_NOT_FOUND};
  const auto types = ReadDirectory(image, *root, 0);
  if (!types) return {std::nullopt, 0, ERROR_RESOURCE_DATA_NOT_FOUND};
  const ResourceKey key = KeyOf(type);
  for (const auto& entry : *types) {
    if (entry.is_directory && Matches(entry, key)) return {root, entry.target, 0};
  }
  return {std::nullopt, 0, ERROR_RESOURCE_TYPE_NOT_FOUND};
}

}  // namespace

extern "C" HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
  TraceLine trace("FindResourceW");
  trace.Arg(Pointer(module)).Arg(KeyText(name)).Arg(KeyText(type));
  const CallFailure<HRSRC> fail(trace, nullptr, "null");
  const ModuleImage module_image = ImageOf(module);
  if (!module_image.image) return fail(module_image.error);
  if (auto fault = CurrentProcess().TakeFault("FindResourceW")) return fail(*fault);
  const Image& image = *module_image.image;
  const TypeLookup found_type = FindType(image, type);
  if (!found_type.root) return fail(found_type.error);
  const size_t root = *found_type.root;
  const auto names = ReadDirectory(image, root, found_type.directory);
  if (!names) return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
  const ResourceKey key = KeyOf(name);
  for (const auto& entry : *names) {
    if (!Matches(entry, key)) continue;
    uint32_t data_entry = entry.target;
    if (entry.is_directory) {
      const auto languages = ReadDirectory(image, root, entry.target);
      if (!languages || languages->empty() || languages->front().is_directory) {
        return fail(ERROR_RESOURCE_LANG_NOT_FOUND);
      }
      data_entry = languages->front().target;
    }
    if (!image.Contains(root + data_entry, 16)) return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    auto* resource = reinterpret_cast<HRSRC>(const_cast<BYTE*>(image.base() + root + data_entry));
    trace.Result(Pointer(resource));
    return resource;
  }
  return fail(ERROR_RESOURCE_NAME_NOT_FOUND);
}

extern "C" DWORD SizeofResource(HMODULE module, HRSRC resource) {
  TraceLine trace("SizeofResource");
  trace.Arg(Pointer(module)).Arg(Pointer(resource));
  const ModuleImage module_image = ImageOf(module);
  DWORD error = module_image.error;
  std::optional<size_t> entry;
  if (module_image.image && !(entry = DataEntryOf(*module_image.image, resource))) error = ERROR_INVALID_HANDLE;
  if (!error) {
    if (auto fault = CurrentProcess().TakeFault("SizeofResource")) error = *fault;
  }
  if (error) {
    SetLastErrorValue(error);
    trace.Result("0", error);
    return 0;
  }
  const DWORD size = *module_image.image->U32(*entry + 4);
  trace.Result(Decimal(size));
  return size;
}

extern "C" HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  TraceLine trace("LoadResource");
  trace.Arg(Pointer(module)).Arg(Pointer(resource));
  const CallFailure<HGLOBAL> fail(trace, nullptr, "null");
  const ModuleImage module_image = ImageOf(module);
  if (!module_image.image) return fail(module_image.error);
  const Image& image = *module_image.image;
  const auto entry = DataEntryOf(image, resource);
  if (!entry) return fail(ERROR_INVALID_HANDLE);
  if (auto fault = CurrentProcess().TakeFault("LoadResource")) return fail(*fault);
  const auto offset = image.FileOffset(*image.U32(*entry), *image.U32(*entry + 4));
  if (!offset) return fail(ERROR_INVALID_DATA);
  auto* data = const_cast<BYTE*>(image.base() + *offset);
  trace.Result(Pointer(data));
  return data;
}

extern "C" LPVOID LockResource(HGLOBAL resource) {
  TraceLine trace("LockResource");
  trace.Arg(Pointer(resource));
  const CallFailure<LPVOID> fail(trace, nullptr, "null");
  if (auto fault = CurrentProcess().TakeFault("LockResource")) return fail(*fault);
  trace.Result(Pointer(resource));
  return resource;
}

extern "C" BOOL EnumResourceNamesW(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW callback, LONG_PTR parameter) {
  TraceLine trace("EnumResourceNamesW");
  trace.Arg(Pointer(module)).Arg(KeyText(type));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (callback == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const ModuleImage module_image = ImageOf(module);
  if (!module_image.image) return fail(module_image.error);
  if (auto fault = CurrentProcess().TakeFault("EnumResourceNamesW")) return fail(*fault);
  const Image& image = *module_image.image;
  const TypeLookup found_type = FindType(image, type);
  if (!found_type.root) return fail(found_type.error);
  const auto names = ReadDirectory(image, *found_type.root, found_type.directory);
  if (!names) return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
  const HMODULE handle = CurrentProcess().module();
  size_t visited = 0;
  for (const auto& entry : *names) {
    ++visited;
    std::u16string name = entry.name;  // terminated copy for the callback's lifetime
    LPWSTR argument = entry.named ? name.data() : const_cast<LPWSTR>(MakeIntResource(entry.id));
    if (!callback(handle, type, argument, parameter)) {
      return fail(ERROR_RESOURCE_ENUM_USER_STOP);
    }
  }
  trace.Result("TRUE (" + Decimal(visited) + " names)");
  return TRUE;
}
