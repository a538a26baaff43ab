// Expanding a cabinet-compressed setup program through the system cabinet library's File
// Decompression Interface (cabinet.dll, loaded at run time), driven by callbacks of our own.
#pragma once
#include "platform/fdi.h"
#include "platform/types.h"
#include "stub/support/output_file.h"

// The cabinet library: loaded by the first extraction and kept for the life of the
// process; the entry points are looked up again on every extraction. Null until set.
struct CabinetLibrary {
  HMODULE module;
  FDICreateFunction fdi_create;
  FDICopyFunction fdi_copy;
  FDIDestroyFunction fdi_destroy;
};
extern CabinetLibrary cabinet_library;

// Takes the cabinet's first file, whatever its name inside the cabinet, and writes it to
// `destination_path`. True only when the library delivered that file completely; on
// false no destination file is left behind. Both paths are full and NUL-terminated.
bool ExtractCabinet(LPCWSTR cabinet_path, LPCWSTR destination_path);

// One extraction's state, handed to FDICopy as its user pointer and given back in every
// notification (FDINOTIFICATION::pv).
struct ExtractionContext {
  explicit ExtractionContext(LPCWSTR destination)
      : destination_path(destination), extracted(false), library_handle(-1), announced(0), written(0) {}
  ~ExtractionContext();
  ExtractionContext(const ExtractionContext&) = delete;
  ExtractionContext& operator=(const ExtractionContext&) = delete;

  LPCWSTR destination_path;  // the caller's buffer
  OutputFile output_file;    // the destination while it is written
  bool extracted;            // set by fdintCLOSE_FILE_INFO only, and only for a complete file
  INT_PTR library_handle;    // the handle the library writes the destination through
  ULONGLONG announced;       // the size fdintCOPY_FILE announced
  ULONGLONG written;         // the bytes written through library_handle
};

// Memory and file callbacks: the process heap, and system file handles carried in
// INT_PTR with -1 for failure. Paths come in UTF-8.
void* CabinetAlloc(ULONG bytes);
void CabinetFree(void* block);
INT_PTR CabinetOpen(char* path, int open_flags, int permission_mode);
UINT CabinetRead(INT_PTR file, void* buffer, UINT bytes);
UINT CabinetWrite(INT_PTR file, void* buffer, UINT bytes);
int CabinetClose(INT_PTR file);
LONG CabinetSeek(INT_PTR file, LONG distance, int seek_type);
// Hands the library a handle to the destination for the first file, applies that file's
// time and attributes when it is complete, and ends the copy run right after it. A file
// whose bytes written differ from the size announced is not complete, whatever the
// library says: it is marked for deletion and the run ends without it.
INT_PTR CabinetNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION notification);
