// The volumes of the simulated machine: one per drive folder of the root. Each is NTFS
// unless machine.conf marks it otherwise ("volume.D.file_system = FAT"; FAT, FAT32 and
// exFAT keep no access-control lists); "volume.D.label" names it.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"
#include "sim/core/process.h"

namespace sim {

struct Volume {
  char16_t drive;            // upper case
  std::string file_system;   // "NTFS", "FAT", "FAT32", "exFAT"
  DWORD flags;               // FILE_* file-system flags
  std::u16string label;
  DWORD serial_number;
};

// The volume of drive `drive`, or nullopt when the machine has no such drive.
std::optional<Volume> DriveVolume(const Machine& machine, char16_t drive);

// A path as Windows completes it before looking it up: a rooted path ("\dir") is taken
// on the current directory's drive. Other paths are returned as they are.
std::u16string QualifiedPath(const Process& process, std::u16string_view path);

// The drive letter that a full path ("X:...", "\\?\X:...") names, or 0.
char16_t DriveOf(std::u16string_view path);

}  // namespace sim
