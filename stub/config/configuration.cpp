#include "stub/config/configuration.h"

#include "platform/advapi32_registry.h"
#include "platform/kernel32_core.h"
#include "platform/kernel32_resources.h"
#include "platform/kernel32_strings.h"
#include "platform/shell32.h"
#include "stub/support/registry_reading.h"

bool silent_mode;
bool unpack_only;

namespace {

constexpr WORD kPreviousVersionId = 1;
constexpr WCHAR kUninstallKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora";
constexpr WCHAR kCleanupPolicyValue[] = u"TarselInstallerCleanup";

// The previous-version string inside the mapped RT_RCDATA 1 resource, or null when the
// resource is missing, empty, odd-sized or does not end with a zero unit.
LPCWSTR FindPreviousVersion(HMODULE module) {
  const HRSRC resource = FindResourceW(module, MakeIntResource(kPreviousVersionId), MakeIntResource(RT_RCDATA));
  if (resource == nullptr) return nullptr;
  const HGLOBAL loaded = LoadResource(module, resource);
  if (loaded == nullptr) return nullptr;
  const DWORD bytes = SizeofResource(module, resource);
  if (bytes == 0 || bytes % 2 != 0) return nullptr;
  const auto* text = static_cast<LPCWSTR>(LockResource(loaded));
  if (text == nullptr) return nullptr;
  if (text[bytes / 2 - 1] != 0) return nullptr;
  return text;
}

// Cleanup stays enabled unless the user's policy value reads as a string starting "0".
bool IsCleanupEnabled() {
  WCHAR policy[2] = {0, 0};
  const bool read = ReadStringValueAt(HKEY_CURRENT_USER, kUninstallKey, kCleanupPolicyValue, policy, 2);
  return !(read && policy[0] == u'0');
}

bool Is(LPCWSTR argument, LPCWSTR switch_text) { return lstrcmpiW(argument, switch_text) == 0; }

}  // namespace

void Configuration::Reset() {
  if (argv != nullptr) LocalFree(argv);
  argv = nullptr;
  command_line = nullptr;
  argc = 0;
  system_level = false;
  rejected_switch_seen = false;
  cleanup_enabled = true;
  previous_version = nullptr;
}

bool Configuration::LoadFromModule(HMODULE module) {
  Reset();
  previous_version = FindPreviousVersion(module);
  cleanup_enabled = IsCleanupEnabled();
  return ParseArguments(GetCommandLineW());
}

bool Configuration::ParseArguments(LPCWSTR raw_command_line) {
  // A record parsed before keeps no vector of its own past this point.
  if (argv != nullptr) LocalFree(argv);
  command_line = raw_command_line;
  argc = 0;
  argv = CommandLineToArgvW(raw_command_line, &argc);
  if (argv == nullptr) {
    argc = 0;
    return false;
  }
  // The program name at index 0 is never a switch.
  for (int i = 1; i < argc; ++i) {
    const LPCWSTR argument = argv[i];
    if (Is(argument, u"--system-level")) {
      system_level = true;
    } else if (Is(argument, u"--cleanup") || Is(argument, u"--tarsel-frame")) {
      rejected_switch_seen = true;
    } else if (Is(argument, u"--pellora-silent")) {
      silent_mode = true;
    } else if (Is(argument, u"--pellora-unpack")) {
      unpack_only = true;
    }
  }
  return true;
}
