// What a hostile neighbour inside setup's own process can try: renaming the folder its
// archive lies in (the installer's work directory) while the installer still runs. The
// stub's platform declarations leave renaming out on purpose; only this stand-in uses it.
#pragma once
#include "platform/types.h"

extern "C" PLATFORM_IMPORT BOOL MoveFileExW(LPCWSTR existing_file_name, LPCWSTR new_file_name, DWORD flags);
