// What a Windows file system keeps about a file that a Linux one does not: the attribute
// word (read-only, hidden, ...), creation and change times set by a caller and the security
// descriptor applied at creation. All are the simulation's own, kept in extended attributes of the host file, so that they hold
// even for the root user and go away with the file.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "platform/types.h"

namespace sim {

constexpr DWORD kFileAttributeReadOnly = 0x00000001;
constexpr DWORD kFileAttributeHidden = 0x00000002;
constexpr DWORD kFileAttributeSystem = 0x00000004;
constexpr DWORD kFileAttributeDirectory = 0x00000010;
constexpr DWORD kFileAttributeArchive = 0x00000020;
constexpr DWORD kFileAttributeNormal = 0x00000080;
constexpr DWORD kFileAttributeReparsePoint = 0x00000400;

// The attribute word of an existing object: the stored bits, with DIRECTORY and
// REPARSE_POINT derived from what the host object is; NORMAL when nothing else is set.
// nullopt when nothing exists at the path (a dangling symbolic link does exist).
std::optional<DWORD> ReadFileAttributes(const std::filesystem::path& path);
// Stores the bits that Windows lets a caller set (read-only, hidden, system, archive, ...);
// DIRECTORY, REPARSE_POINT and NORMAL are never stored. False when the host refuses.
bool WriteFileAttributes(const std::filesystem::path& path, DWORD attributes);

// A creation time (FILETIME ticks) that a caller set; the host's birth time cannot be
// changed, so a set one is kept beside it. nullopt when none was set.
std::optional<LONGLONG> ReadCreationTime(const std::filesystem::path& path);
bool WriteCreationTime(const std::filesystem::path& path, LONGLONG file_time);
// A change time that a caller set; Linux lets no one set it. It then stands for the file's
// change time until another is set (Windows would move it on the next change; nothing the
// stub does changes a file after setting its times).
std::optional<LONGLONG> ReadChangeTime(const std::filesystem::path& path);
bool WriteChangeTime(const std::filesystem::path& path, LONGLONG file_time);

// The security descriptor applied to an object when it was created, as SDDL text.
std::optional<std::string> ReadSecurityDescriptor(const std::filesystem::path& path);
bool WriteSecurityDescriptor(const std::filesystem::path& path, const std::string& sddl);

}  // namespace sim
