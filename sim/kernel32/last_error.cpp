#include "platform/kernel32_core.h"
#include "sim/core/process.h"

extern "C" DWORD GetLastError() { return sim::LastError(); }
extern "C" void SetLastError(DWORD error) { sim::SetLastErrorValue(error); }
