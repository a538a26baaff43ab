#include "tests/fuzz/fuzz_image.h"

#include <cstdint>
#include <cstring>

namespace fuzzing {

namespace {

constexpr uint32_t kSectionRva = 0x1000;
constexpr uint32_t kSectionOffset = 0x200;
constexpr uint32_t kPeOffset = 0x40;
constexpr uint16_t kOptionalHeaderSize = 240;  // PE32+ with 16 data directories

class Writer {
 public:
  void U16(size_t at, uint16_t value) { Put(at, &value, 2); }
  void U32(size_t at, uint32_t value) { Put(at, &value, 4); }
  void Put(size_t at, const void* bytes, size_t count) {
    if (bytes_.size() < at + count) bytes_.resize(at + count);
    if (count != 0) std::memcpy(bytes_.data() + at, bytes, count);
  }
  size_t Size() const { return bytes_.size(); }
  void Align(size_t alignment) { bytes_.resize((bytes_.size() + alignment - 1) / alignment * alignment); }
  std::string Take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

struct Name {
  ResourceKey key;
  const std::string* data;
};
struct Type {
  ResourceKey key;
  std::vector<Name> names;
};

bool IsNamed(const ResourceKey& key) { return std::holds_alternative<std::u16string>(key); }

// Named entries first, each group in the order given.
template <typename T>
std::vector<const T*> InDirectoryOrder(const std::vector<T>& items) {
  std::vector<const T*> ordered;
  for (const auto& item : items) if (IsNamed(item.key)) ordered.push_back(&item);
  for (const auto& item : items) if (!IsNamed(item.key)) ordered.push_back(&item);
  return ordered;
}

// The resource section's bytes, its offsets measured from its own start.
std::string ResourceSection(const std::vector<Type>& types) {
  // Directories and entries first, then strings, then data entries, then data.
  Writer section;
  std::vector<std::pair<size_t, const ResourceKey*>> strings;  // entry offset, name
  std::vector<std::pair<size_t, const std::string*>> leaves;   // entry offset, data
  auto directory = [&](size_t at, size_t named, size_t ids) {
    section.U16(at + 12, static_cast<uint16_t>(named));
    section.U16(at + 14, static_cast<uint16_t>(ids));
    return at + 16;
  };
  auto count_named = [](const auto& ordered) {
    size_t named = 0;
    for (const auto* item : ordered) named += IsNamed(item->key);
    return named;
  };
  const auto ordered_types = InDirectoryOrder(types);
  size_t next = 16 + ordered_types.size() * 8;
  size_t entry = directory(0, count_named(ordered_types), ordered_types.size() - count_named(ordered_types));
  for (const Type* type : ordered_types) {
    const auto ordered_names = InDirectoryOrder(type->names);
    const size_t names_directory = next;
    next += 16 + ordered_names.size() * 8;
    if (IsNamed(type->key)) strings.push_back({entry, &type->key});
    else section.U32(entry, std::get<WORD>(type->key));
    section.U32(entry + 4, 0x80000000u | static_cast<uint32_t>(names_directory));
    entry += 8;
    size_t name_entry = directory(names_directory, count_named(ordered_names),
                                  ordered_names.size() - count_named(ordered_names));
    for (const Name* name : ordered_names) {
      const size_t languages = next;
      next += 16 + 8;
      if (IsNamed(name->key)) strings.push_back({name_entry, &name->key});
      else section.U32(name_entry, std::get<WORD>(name->key));
      section.U32(name_entry + 4, 0x80000000u | static_cast<uint32_t>(languages));
      name_entry += 8;
      directory(languages, 0, 1);
      section.U32(languages + 16, 0x0409);
      leaves.push_back({languages + 16 + 4, name->data});
    }
  }
  section.Put(next, "", 0);
  for (const auto& [at, key] : strings) {
    const std::u16string& text = std::get<std::u16string>(*key);
    const size_t offset = section.Size();
    section.U32(at, 0x80000000u | static_cast<uint32_t>(offset));
    section.U16(offset, static_cast<uint16_t>(text.size()));
    section.Put(offset + 2, text.data(), text.size() * 2);
  }
  section.Align(4);
  std::vector<size_t> data_entries;
  for (const auto& [at, data] : leaves) {
    data_entries.push_back(section.Size());
    section.U32(at, static_cast<uint32_t>(section.Size()));
    section.Put(section.Size(), std::string(16, '\0').data(), 16);
  }
  for (size_t i = 0; i < leaves.size(); ++i) {
    section.Align(8);
    const size_t offset = section.Size();
    section.U32(data_entries[i], kSectionRva + static_cast<uint32_t>(offset));
    section.U32(data_entries[i] + 4, static_cast<uint32_t>(leaves[i].second->size()));
    section.Put(offset, leaves[i].second->data(), leaves[i].second->size());
  }
  section.Align(0x200);
  return section.Take();
}

}  // namespace

std::string MakeImage(const std::vector<Resource>& resources) {
  std::vector<Type> types;
  for (const auto& resource : resources) {
    Type* type = nullptr;
    for (auto& known : types) if (known.key == resource.type) type = &known;
    if (type == nullptr) type = &types.emplace_back(Type{resource.type, {}});
    type->names.push_back({resource.name, &resource.data});
  }
  const std::string rsrc = resources.empty() ? std::string(0x200, '\0') : ResourceSection(types);

  Writer image;
  image.Put(0, "MZ", 2);
  image.U32(0x3C, kPeOffset);
  image.Put(kPeOffset, "PE\0\0", 4);
  const size_t coff = kPeOffset + 4;
  image.U16(coff, 0xAA64);                // ARM64
  image.U16(coff + 2, 1);                 // one section
  image.U16(coff + 16, kOptionalHeaderSize);
  image.U16(coff + 18, 0x0022);           // executable, large-address aware
  const size_t optional = coff + 20;
  image.U16(optional, 0x20B);             // PE32+
  image.U32(optional + 32, 0x1000);       // section alignment
  image.U32(optional + 36, 0x200);        // file alignment
  image.U32(optional + 56, kSectionRva + static_cast<uint32_t>(rsrc.size()));  // size of image
  image.U32(optional + 60, kSectionOffset);                                    // size of headers
  image.U16(optional + 68, 2);            // GUI subsystem
  image.U32(optional + 108, 16);          // data directories
  image.U32(optional + 112 + 2 * 8, resources.empty() ? 0 : kSectionRva);
  image.U32(optional + 112 + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
  const size_t section = optional + kOptionalHeaderSize;
  image.Put(section, ".rsrc\0\0\0", 8);
  image.U32(section + 8, static_cast<uint32_t>(rsrc.size()));
  image.U32(section + 12, kSectionRva);
  image.U32(section + 16, static_cast<uint32_t>(rsrc.size()));
  image.U32(section + 20, kSectionOffset);
  image.U32(section + 36, 0x40000040u);  // initialised data, readable
  image.Put(kSectionOffset, rsrc.data(), rsrc.size());
  return image.Take();
}

}  // namespace fuzzing
