// Drives FDI entry points the way an application does, with callbacks that count every
// allocation and file: the cabinet is a host file, extracted files are kept in memory,
// and every notification is recorded with its fields.
#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/fdi.h"

namespace testing_support {

struct FdiEntryPoints {
  FDICreateFunction create;
  FDICopyFunction copy;
  FDIDestroyFunction destroy;
};
// The stand-in's own exported functions.
FdiEntryPoints StandInEntryPoints();

struct RecordedNotification {
  FDINOTIFICATIONTYPE type;
  LONG cb;
  std::string psz1, psz2, psz3;
  void* pv;
  INT_PTR hf;
  USHORT date, time, attribs, setID, iCabinet, iFolder;
  FDIERROR fdie;
};

struct FdiRunOptions {
  // The callback's result for a notification; unset: 0 for most, an output handle for
  // fdintCOPY_FILE and TRUE for fdintCLOSE_FILE_INFO.
  std::function<INT_PTR(const RecordedNotification&)> answer;
  int fail_allocation = 0;  // the 1-based allocation that the allocator refuses
  int fail_write = 0;       // the 1-based write that fails
};

struct FdiRunResult {
  bool created = false;
  BOOL copied = FALSE;
  BOOL destroyed = FALSE;
  ERF erf{};
  std::vector<RecordedNotification> notifications;
  std::vector<std::string> files;             // extracted, in order of fdintCLOSE_FILE_INFO
  std::map<std::string, std::string> output;  // name -> bytes written, complete or not
  int live_allocations = 0;                   // after FDIDestroy
  int open_cabinets = 0;                      // after FDICopy
  int outputs_closed_by_library = 0;
  int open_flags = -1;                        // what FDI passed to PFNOPEN
  std::string opened_path;
};

// `directory` must end with '/'; the library joins it with `name`.
FdiRunResult RunFdiCopy(const std::string& directory, const std::string& name, const FdiRunOptions& options = {},
                        FdiEntryPoints entry = StandInEntryPoints());

}  // namespace testing_support
