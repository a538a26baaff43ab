// The simulated process environment and the system's own folders.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// A variable of the process environment, its name compared without regard to case.
// WINDIR and SYSTEMROOT are C:\Windows and SYSTEMDRIVE is C: unless the machine's
// settings say otherwise: a line "environment.NAME = value" of machine.conf (NAME in
// capitals) sets a variable, and one with an empty value leaves it undefined.
std::optional<std::u16string> EnvironmentValue(std::u16string_view name);

// The system directory, where the system's libraries live: C:\Windows\System32 unless a
// line "system_directory = path" of machine.conf names another (a root keeps its trailing
// backslash, as GetSystemDirectoryW reports it). It does not move when WINDIR does.
std::u16string SystemDirectory();
// `name` inside the system directory.
std::u16string SystemDirectoryFile(std::u16string_view name);

}  // namespace sim
