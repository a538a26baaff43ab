// A simulated machine: one host directory that holds the drives (C:\ is the folder "C"),
// the registry store and the settings file "machine.conf" (lines of "key = value").
#pragma once
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace sim {

// Where a Windows path lands on the host, or the Windows error for a path that cannot.
struct HostPath {
  std::filesystem::path path;
  DWORD error = 0;  // ERROR_INVALID_NAME, ERROR_PATH_NOT_FOUND, ...
  bool ok() const { return error == 0; }
};

class Machine {
 public:
  explicit Machine(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  // Maps "X:\a\b" (either separator, "\\?\" prefix allowed) to root/X/a/b. Existing
  // components are matched without regard to case, as NTFS does; the rest keep the case
  // given. "." and ".." are resolved lexically, as Windows normalises full paths.
  HostPath Resolve(std::u16string_view windows_path) const;

  // The Windows path of a host path inside the root, or nullopt.
  std::optional<std::u16string> WindowsPathOf(const std::filesystem::path& host) const;

  std::optional<std::string> Setting(std::string_view key) const;
  void SetSetting(std::string_view key, std::string_view value);

 private:
  void LoadSettings();

  std::filesystem::path root_;
  std::map<std::string, std::string, std::less<>> settings_;
};

// The default machine root when none is given: $WINSIM_ROOT, else ~/.winsim/machine.
std::filesystem::path DefaultMachineRoot();

}  // namespace sim
