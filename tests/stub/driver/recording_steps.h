// Recording fakes of every step that the run sequence calls: each records its call with
// what it was given and answers as the current scenario says.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "stub/driver/exit_result.h"

struct Scenario {
  bool load_succeeds = true;
  DWORD load_error = 0;
  bool rejected_switch = false;
  bool cleanup_enabled = true;
  bool unpack_only = false;
  ExitResult work_directory_result = kSucceeded;
  std::u16string work_directory = u"C:\\Setup\\TS_3FA9C.tmp\\";
  ExitResult unpack_result = kSucceeded;
  std::u16string archive_path = u"C:\\Setup\\TS_3FA9C.tmp\\PELLORA.PACKED.7Z";
  std::u16string archive_tag = u"B7";
  std::u16string setup_path = u"C:\\Setup\\TS_3FA9C.tmp\\setup.exe";
  std::u16string setup_tag = u"BL";
  ExitResult patch_result = kSucceeded;
  ExitResult launch_result = kSucceeded;
};

struct Recording {
  Scenario scenario;
  // One entry per call, in order: "Load", "Reset", "WorkDirectory", "Unpack wd=...",
  // "Patch patch=... new=...", "Launch archive=... setup=... compressed=0|1",
  // "Delete archive=... setup=... wd=...".
  std::vector<std::string> calls;
  // The working-set trims the process had made when each call began, one per entry of
  // `calls`: where the trim stands in the sequence.
  std::vector<uint64_t> trims_before;
};

// The recording that the fakes write to; reset by each test.
Recording& Recorded();
