// The options of one run: the command line, an optional previous-version resource and
// the per-user cleanup policy. Two further options are process-wide flags, set while the
// command line is parsed and never reset.
#pragma once
#include "platform/types.h"

struct Configuration {
  // Releases the argument vector and restores every default; the flags stay as they are.
  void Reset();
  // Reset, then read the previous version, the cleanup policy and the command line.
  // False only when the command line cannot be split; the splitting's error is then
  // the thread's last error.
  bool LoadFromModule(HMODULE module);
  bool ParseArguments(LPCWSTR raw_command_line);

  LPWSTR* argv = nullptr;           // owned: one LocalAlloc block from CommandLineToArgvW
  LPCWSTR command_line = nullptr;   // not owned: the raw line, program name included
  int argc = 0;                     // entries in argv, the program name included
  bool system_level = false;
  bool rejected_switch_seen = false;
  bool cleanup_enabled = true;
  LPCWSTR previous_version = nullptr;  // not owned: points into the mapped resource
};

// Zero-initialised static storage: no constructor runs before the entry point.
extern bool silent_mode;
extern bool unpack_only;
