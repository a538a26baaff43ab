// kernel32: file times. A FILETIME counts 100-nanosecond intervals since 1601-01-01 UTC.
#pragma once
#include "platform/types.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8 && alignof(FILETIME) == 4);
static_assert(__builtin_offsetof(FILETIME, dwLowDateTime) == 0 && __builtin_offsetof(FILETIME, dwHighDateTime) == 4);

extern "C" {
// date: day in bits 0-4, month 5-8, years since 1980 9-15; time: seconds / 2 in bits 0-4,
// minute 5-10, hour 11-15. No time-zone conversion is made.
PLATFORM_IMPORT BOOL DosDateTimeToFileTime(WORD fat_date, WORD fat_time, FILETIME* file_time);
// Uses the time-zone and daylight-saving setting in force now, whatever the date's season.
// The two records must be distinct.
PLATFORM_IMPORT BOOL LocalFileTimeToFileTime(const FILETIME* local_file_time, FILETIME* file_time);
}
