// The machine's registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, kept in the machine
// root as "registry.reg" (the text layout of a .reg export: "[key]" lines followed by
// "name"=hex(type):bytes lines), so that every process of the machine sees the same keys.
// Each value keeps its type and its raw bytes exactly (odd sizes, missing terminators).
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace sim {

enum class RegistryRoot { kCurrentUser, kLocalMachine };
enum class RegistryView { k64, k32 };

struct RegistryValue {
  std::u16string name;  // empty: the key's default value
  DWORD type = 0;
  std::vector<BYTE> data;
};

struct RegistryKey {
  std::u16string path;  // full path with its root's long name, case as created
  std::vector<RegistryValue> values;  // in the order they were first set
};

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
std::u16string_view RootName(RegistryRoot root);
// Accepts the long names and HKCU / HKLM, without regard to case.
std::optional<RegistryRoot> ParseRootName(std::u16string_view name);

// The stored key that `sub_key` under `root` names in `view`, as a full path. Empty
// components (a trailing backslash) are dropped. In the 32-bit view HKLM\Software and all
// below it is HKLM\Software\WOW6432Node\..., except the shared HKLM\Software\Classes; under either root
// the class keys Software\Classes\{CLSID, Interface, DirectShow, Media Type,
// MediaFoundation} are redirected to Software\Classes\WOW6432Node\...; everything else,
// HKCU\Software included, is shared by both views. A path that already names
// WOW6432Node is taken as it stands.
std::u16string ViewPath(RegistryRoot root, std::u16string_view sub_key, RegistryView view);

// Key paths compare without regard to case, as Windows compares registry names.
std::u16string KeyIdentity(std::u16string_view path);

class RegistryStore {
 public:
  // Loads <machine root>/registry.reg; a missing file is an empty registry.
  explicit RegistryStore(std::filesystem::path machine_root);

  const RegistryKey* FindKey(std::u16string_view path) const;
  const RegistryValue* FindValue(std::u16string_view path, std::u16string_view name) const;
  // Creates the key and every missing parent; keeps the case of keys that exist.
  RegistryKey& CreateKey(std::u16string_view path);
  void SetValue(std::u16string_view path, RegistryValue value);
  // Deletes the key and everything below it; false when it does not exist. Roots stay.
  bool DeleteKey(std::u16string_view path);
  bool DeleteValue(std::u16string_view path, std::u16string_view name);
  // Keys at or below `path`, in the order of their paths.
  std::vector<const RegistryKey*> KeysBelow(std::u16string_view path) const;

  // Writes the whole registry back, replacing the file at once.
  void Save() const;

 private:
  std::filesystem::path file_;
  std::map<std::u16string, RegistryKey> keys_;  // by KeyIdentity
};

}  // namespace sim
