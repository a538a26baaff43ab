// The cabinet library's File Decompression Interface, on Linux: create a context with the
// caller's seven callbacks, copy files out of a cabinet through them, destroy the context.
// Every byte of memory and every file operation goes through the callbacks. The traced
// entry points that GetProcAddress hands out are in cabinet_library.h; these are the
// same operations without tracing, for the fuzz target.
//
// Behaviour that the FDI documentation leaves open, as chosen here:
// - The cabinet is opened with _O_BINARY | _O_RDONLY and _S_IREAD | _S_IWRITE and closed
//   through PFNCLOSE before FDICopy returns.
// - The record is checked before anything is extracted: signature, version 1.3, the
//   cabinet-size field no larger than the file, records inside that size.
// - fdintCOPY_FILE and fdintCLOSE_FILE_INFO leave setID, iCabinet, iFolder and fdie 0.
//   fdintCLOSE_FILE_INFO passes attribs without _A_EXEC and cb = 1 when it was set.
// - When a file cannot be completed after fdintCOPY_FILE handed out a handle (damaged
//   data, a failed write), the handle is closed through PFNCLOSE before FDICopy fails.
// - fdintENUMERATE is not sent.
// - Cabinet sets are not read: an entry continued from an earlier cabinet is announced
//   with fdintPARTIAL_FILE and skipped; an entry continued into the next one is
//   extracted up to the end of this cabinet, fdintNEXT_CABINET is sent, and unless it
//   aborts the copy fails with FDIERROR_WRONG_CABINET.
// - A notification's result other than -1 goes on (fdintCLOSE_FILE_INFO: 0 aborts too).
#pragma once
#include "platform/fdi.h"

namespace sim::cabinet {

HFDI CreateContext(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
                   PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpu_type, ERF* erf);
BOOL CopyFromCabinet(HFDI context, char* cabinet_name, char* cabinet_path, int flags, PFNFDINOTIFY notify,
                     PFNFDIDECRYPT decrypt, void* user);
BOOL DestroyContext(HFDI context);
// Fills the context's error record as a failed call does (a refused call, for faults).
void RecordError(HFDI context, int error);
// What the context's error record says now (FDIERROR_NONE without one), for the trace.
int RecordedError(HFDI context);

}  // namespace sim::cabinet
