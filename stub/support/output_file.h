// The scoped owner of one file that the stub creates and fills. It opens the file for
// exclusive writing (others may only delete it), can mark it for deletion so that a failed
// write leaves nothing behind, and can hand out a second handle that its taker closes.
#pragma once
#include "platform/types.h"
#include "stub/support/fixed_string.h"

struct OutputFile {
  OutputFile();
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Releases any file held, then creates `file_path` anew (truncating an existing file).
  // A path of kPathCapacity units or more fails before the file system is touched and
  // sets no last error; a failed create leaves its own error.
  bool Open(LPCWSTR file_path);
  // Closes the held handle, if any; the close call's result is ignored.
  void Close();
  bool IsValid() const;
  // The file goes once every handle to it, duplicates included, is closed.
  bool MarkForDeletion();
  // A new handle with exactly the record's access, owned by the caller;
  // INVALID_HANDLE_VALUE when none is held or duplication fails.
  HANDLE Duplicate();
  // The held handle, still owned by the record.
  HANDLE GetHandle() const { return handle; }

  PathString path;  // empty whenever no file is held
  HANDLE handle;    // INVALID_HANDLE_VALUE whenever no file is held
};
