// DOS date/time and local/UTC conversions of FILETIME values.
//
// The machine's time zone is the setting "time_zone_offset" of machine.conf: local time
// minus UTC as "+HH:MM" or "-HH:MM", daylight saving included as it is in force now
// (default "+00:00"). Windows applies the current offset to every date, whatever its
// season, and so does the simulation.
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/errors.h"
#include "platform/kernel32_time.h"
#include "sim/core/call_failure.h"
#include "sim/core/process.h"
#include "sim/core/trace.h"

using namespace sim;

namespace {

constexpr LONGLONG kTicksPerSecond = 10000000;
constexpr LONGLONG kTicksPerMinute = 60 * kTicksPerSecond;
constexpr LONGLONG kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
LONGLONG DaysFromCivil(LONGLONG year, unsigned month, unsigned day) {
  year -= month <= 2;
  const LONGLONG era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<LONGLONG>(day_of_era) - 719468;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

ULONGLONG Ticks(const FILETIME& time) {
  return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Local time minus UTC in minutes, from the machine's setting; nullopt when malformed.
std::optional<LONGLONG> ZoneOffsetMinutes() {
  const auto setting = CurrentProcess().machine().Setting("time_zone_offset");
  if (!setting || setting->empty()) return 0;
  const std::string& text = *setting;
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
  const LONGLONG hours = std::atoi(text.substr(1, 2).c_str()), minutes = std::atoi(text.substr(4, 2).c_str());
  if (hours > 14 || minutes > 59) return std::nullopt;
  return (text[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

}  // namespace

// Which inputs fail is undocumented. Here: a day, month, hour, minute or second field out
// of its range, or a day past the end of its month, fails with ERROR_INVALID_PARAMETER.
extern "C" BOOL DosDateTimeToFileTime(WORD fat_date, WORD fat_time, FILETIME* file_time) {
  TraceLine trace("DosDateTimeToFileTime");
  trace.Arg(Hex(fat_date)).Arg(Hex(fat_time));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = CurrentProcess().TakeFault("DosDateTimeToFileTime")) return fail(*fault);
  const unsigned day = fat_date & 0x1F, month = (fat_date >> 5) & 0x0F, year = 1980 + (fat_date >> 9);
  const unsigned seconds = (fat_time & 0x1F) * 2, minute = (fat_time >> 5) & 0x3F, hour = fat_time >> 11;
  if (file_time == nullptr || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || seconds > 58) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const LONGLONG days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  const LONGLONG ticks = ((days * 24 + hour) * 60 + minute) * kTicksPerMinute + seconds * kTicksPerSecond;
  *file_time = FromTicks(static_cast<ULONGLONG>(ticks));
  trace.Result("TRUE " + Decimal(static_cast<ULONGLONG>(ticks)));
  return TRUE;
}

// The two records must differ (the documentation says so); the same record, a result
// before 1601 or past the FILETIME range fails with ERROR_INVALID_PARAMETER.
extern "C" BOOL LocalFileTimeToFileTime(const FILETIME* local_file_time, FILETIME* file_time) {
  TraceLine trace("LocalFileTimeToFileTime");
  trace.Arg(local_file_time == nullptr ? "null" : Decimal(Ticks(*local_file_time)));
  const CallFailure<BOOL> fail(trace, FALSE, "FALSE");
  if (auto fault = CurrentProcess().TakeFault("LocalFileTimeToFileTime")) return fail(*fault);
  const auto offset = ZoneOffsetMinutes();
  if (local_file_time == nullptr || file_time == nullptr || local_file_time == file_time || !offset) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const ULONGLONG local = Ticks(*local_file_time);
  const LONGLONG shift = *offset * kTicksPerMinute;  // UTC = local - offset
  if (local > static_cast<ULONGLONG>(0x7FFFFFFFFFFFFFFFLL) ||
      (shift > 0 && local < static_cast<ULONGLONG>(shift)) ||
      (shift < 0 && local > static_cast<ULONGLONG>(0x7FFFFFFFFFFFFFFFLL + shift))) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const ULONGLONG utc = static_cast<ULONGLONG>(static_cast<LONGLONG>(local) - shift);
  *file_time = FromTicks(utc);
  trace.Result("TRUE " + Decimal(utc));
  return TRUE;
}
