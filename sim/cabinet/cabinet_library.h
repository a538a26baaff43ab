// The built-in stand-in for the system cabinet library: what LoadLibraryExW gives for
// cabinet.dll in the system directory, and the entry points GetProcAddress finds in it.
#pragma once
#include "platform/fdi.h"
#include "platform/types.h"

namespace sim::cabinet {

// The stand-in's module handle: a fixed address that is no other module's.
HMODULE LibraryModule();
// The export `name` (exact spelling and case), or null.
FARPROC FindExport(const char* name);

// The traced entry points, as exported.
HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread, PFNWRITE pfnwrite,
               PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpu_type, ERF* erf);
BOOL FDICopy(HFDI context, char* cabinet_name, char* cabinet_path, int flags, PFNFDINOTIFY notify,
             PFNFDIDECRYPT decrypt, void* user);
BOOL FDIDestroy(HFDI context);

}  // namespace sim::cabinet
