#include "sim/core/file_metadata.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

namespace {

constexpr const char* kAttributesName = "user.winsim.attributes";
constexpr const char* kSecurityName = "user.winsim.sddl";
constexpr const char* kCreationTimeName = "user.winsim.creation_time";
constexpr const char* kChangeTimeName = "user.winsim.change_time";
constexpr DWORD kDerivedBits = kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeNormal;

std::optional<std::string> ReadExtended(const std::filesystem::path& path, const char* name) {
  char buffer[4096];
  const ssize_t size = ::getxattr(path.c_str(), name, buffer, sizeof buffer);
  if (size < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(size));
}

std::optional<LONGLONG> ReadTime(const std::filesystem::path& path, const char* name) {
  const auto stored = ReadExtended(path, name);
  if (!stored) return std::nullopt;
  return static_cast<LONGLONG>(std::strtoll(stored->c_str(), nullptr, 10));
}

bool WriteTime(const std::filesystem::path& path, const char* name, LONGLONG file_time) {
  const std::string text = std::to_string(file_time);
  return ::setxattr(path.c_str(), name, text.data(), text.size(), 0) == 0;
}

}  // namespace

std::optional<DWORD> ReadFileAttributes(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  DWORD attributes = 0;
  // A symbolic link carries no extended attributes of its own on Linux.
  if (!S_ISLNK(status.st_mode)) {
    if (auto stored = ReadExtended(path, kAttributesName)) {
      attributes = static_cast<DWORD>(std::strtoul(stored->c_str(), nullptr, 16)) & ~kDerivedBits;
    }
  }
  if (S_ISDIR(status.st_mode)) attributes |= kFileAttributeDirectory;
  if (S_ISLNK(status.st_mode)) attributes |= kFileAttributeReparsePoint;
  return attributes == 0 ? kFileAttributeNormal : attributes;
}

bool WriteFileAttributes(const std::filesystem::path& path, DWORD attributes) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", attributes & ~kDerivedBits);
  return ::setxattr(path.c_str(), kAttributesName, text, 8, 0) == 0;
}

std::optional<LONGLONG> ReadCreationTime(const std::filesystem::path& path) {
  return ReadTime(path, kCreationTimeName);
}

bool WriteCreationTime(const std::filesystem::path& path, LONGLONG file_time) {
  return WriteTime(path, kCreationTimeName, file_time);
}

std::optional<LONGLONG> ReadChangeTime(const std::filesystem::path& path) { return ReadTime(path, kChangeTimeName); }

bool WriteChangeTime(const std::filesystem::path& path, LONGLONG file_time) {
  return WriteTime(path, kChangeTimeName, file_time);
}

std::optional<std::string> ReadSecurityDescriptor(const std::filesystem::path& path) {
  return ReadExtended(path, kSecurityName);
}

bool WriteSecurityDescriptor(const std::filesystem::path& path, const std::string& sddl) {
  return ::setxattr(path.c_str(), kSecurityName, sddl.data(), sddl.size(), 0) == 0;
}

}  // namespace sim
