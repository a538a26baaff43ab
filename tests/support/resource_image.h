// Images with exactly the resources a test needs: a .res file written here from the
// documented resource-file layout, linked by lld-link into an ARM64 image without code,
// so that the resource table has the layout a real linker gives it.
#pragma once
#include <string>
#include <variant>
#include <vector>

#include "platform/types.h"

namespace testing_support {

// An integer identifier or a string name (kept as written: any case, any length).
using ResourceId = std::variant<WORD, std::u16string>;

struct ImageResource {
  ResourceId type;
  ResourceId name;
  std::string data;  // raw bytes, any length including none
  WORD language = 0x0409;
};

// The image's bytes; no resources at all gives an empty resource table.
// Throws std::runtime_error with lld-link's output when linking fails.
std::string MakeResourceImage(const std::vector<ImageResource>& resources);

// A runnable release image with exactly these resources: the stub's ARM64 objects linked
// as the release build links them (image-link.rsp in `release_dir`), unsigned.
std::string MakeReleaseImage(const std::vector<ImageResource>& resources, const std::string& release_dir);

// The bytes of a UTF-16 string, with `terminators` zero units appended.
std::string Utf16Bytes(const std::u16string& text, int terminators = 1);

}  // namespace testing_support
