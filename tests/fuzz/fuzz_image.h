// Minimal PE32+ images with a chosen resource table, made in memory for fuzz targets:
// headers and one .rsrc section, laid out by the documented PE and resource-directory
// formats. The tests' own images (tests/support/resource_image.h) are linked by lld-link,
// which takes milliseconds per image; a fuzz target needs thousands per second.
#pragma once
#include <string>
#include <variant>
#include <vector>

#include "platform/types.h"

namespace fuzzing {

using ResourceKey = std::variant<WORD, std::u16string>;  // an identifier or a string name

struct Resource {
  ResourceKey type;
  ResourceKey name;
  std::string data;
};

// Resources of one type are grouped under the type's first appearance; within a
// directory string names come before identifiers, as the format requires, each group in
// the order given. One language (0x0409) per name.
std::string MakeImage(const std::vector<Resource>& resources);

}  // namespace fuzzing
