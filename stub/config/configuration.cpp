#include "stub/config/configuration.h"

#include "platform/kernel32_core.h"

bool silent_mode;
bool unpack_only;

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
