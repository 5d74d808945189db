#include "calendar/ics_dates.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "platform/platform.h"
#include "text/text_util.h"

std::int64_t civilDayNumber(std::int64_t year, std::int64_t month, std::int64_t day) {
  // Days-from-civil with March as the first month, so that the leap day is
  // the last day of the computed year.
  const std::int64_t y = month < 2 ? year - 1 : year;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = month < 2 ? month + 10 : month - 2;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = 365 * yoe + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::int32_t daysInMonth(std::int64_t year, std::int64_t month) {
  static const std::int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 1 && leap ? 29 : days[month];
}

void civilDateOf(std::int64_t dayNumber, std::int64_t& year, std::int64_t& month, std::int64_t& day) {
  // The inverse of the arithmetic above, with March as the first month.
  const std::int64_t z = dayNumber + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 2 : mp - 10;
  year = yoe + era * 400 + (month < 2 ? 1 : 0);
}

std::int64_t civilDayOf(const std::tm& tm) { return civilDayNumber(1900LL + tm.tm_year, tm.tm_mon, tm.tm_mday); }

std::int64_t utcCivilToEpoch(std::int32_t year, std::int32_t month, std::int32_t day,
                             std::int32_t hour, std::int32_t minute, std::int32_t second) {
  // 64-bit throughout: fields near the 32-bit limits must not overflow.
  return civilDayNumber(year, month, day) * 86400 + std::int64_t{hour} * 3600 +
         std::int64_t{minute} * 60 + second;
}

namespace {
thread_local std::uint64_t conversionCount = 0;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
}  // namespace

std::uint64_t localTimeConversions() { return conversionCount; }

std::int64_t wallSecondsOf(const std::tm& tm) {
  const std::int64_t months = std::int64_t{tm.tm_year} * 12 + tm.tm_mon;
  const std::int64_t year = 1900 + floorDiv(months, 12);
  const std::int64_t day = civilDayNumber(year, months - floorDiv(months, 12) * 12, tm.tm_mday);
  return day * 86400 + std::int64_t{tm.tm_hour} * 3600 + std::int64_t{tm.tm_min} * 60 + tm.tm_sec;
}

bool wallFieldsOf(std::int64_t wall, std::tm& out) {
  const std::int64_t dayNumber = floorDiv(wall, 86400);
  const std::int64_t time = wall - dayNumber * 86400;
  std::int64_t year = 0, month = 0, day = 0;
  civilDateOf(dayNumber, year, month, day);
  if (year - 1900 > INT_MAX || year - 1900 < INT_MIN) return false;
  out.tm_year = static_cast<int>(year - 1900);
  out.tm_mon = static_cast<int>(month);
  out.tm_mday = static_cast<int>(day);
  out.tm_hour = static_cast<int>(time / 3600);
  out.tm_min = static_cast<int>(time / 60 % 60);
  out.tm_sec = static_cast<int>(time % 60);
  out.tm_wday = static_cast<int>(weekdayOfCivilDay(dayNumber));
  out.tm_yday = static_cast<int>(dayNumber - civilDayNumber(year, 0, 1));
  return true;
}

bool localTimeAtWall(std::int64_t wall, std::tm& local, std::int64_t& seconds) {
  ++conversionCount;
  return platform::wallTimeToSeconds(wall, seconds, local);
}

std::int64_t normaliseLocal(std::tm& tm) {
  const std::int64_t wall = wallSecondsOf(tm);
  std::int64_t seconds = 0;
  std::tm local{};
  if (localTimeAtWall(wall, local, seconds)) {
    tm = local;
    return seconds;
  }
  wallFieldsOf(wall, tm);
  tm.tm_isdst = -1;
  return -1;
}

bool localTimeOf(std::int64_t seconds, std::tm& out) {
  ++conversionCount;
  return platform::secondsToLocalTime(seconds, out);
}

std::int64_t secondsOfLocal(const std::tm& tm) {
  std::tm copy = tm;
  return normaliseLocal(copy);
}

std::tm makeLocal(int year1900, int month, int day, int hour, int minute, int second, std::int64_t& seconds) {
  std::tm tm{};
  tm.tm_year = year1900;
  tm.tm_mon = month;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  seconds = normaliseLocal(tm);
  return tm;
}

std::tm makeLocal(int year1900, int month, int day, int hour, int minute, int second) {
  std::int64_t seconds = 0;
  return makeLocal(year1900, month, day, hour, minute, second, seconds);
}

LocalClock::LocalClock(std::int64_t firstDay, std::int64_t lastDay)
    : firstDay_(firstDay), days_(static_cast<std::size_t>(std::max<std::int64_t>(0, lastDay - firstDay + 1))) {}

bool LocalClock::convert(std::int64_t wall, std::tm& local, std::int64_t& seconds) {
  const std::int64_t dayNumber = floorDiv(wall, 86400);
  const std::int64_t index = dayNumber - firstDay_;
  if (index < 0 || index >= static_cast<std::int64_t>(days_.size())) return localTimeAtWall(wall, local, seconds);
  Day& day = days_[static_cast<std::size_t>(index)];
  if (day.state == Day::unknown) {
    // A day is plain when its midnight and the next are shown as they are,
    // one day apart, with the same offset: no change moves its clock.
    std::tm next{};
    std::int64_t at = 0, nextAt = 0;
    const bool plain = localTimeAtWall(dayNumber * 86400, day.midnight, at) &&
                       localTimeAtWall((dayNumber + 1) * 86400, next, nextAt) &&
                       wallSecondsOf(day.midnight) == dayNumber * 86400 && nextAt - at == 86400 &&
                       wallSecondsOf(next) == (dayNumber + 1) * 86400;
    day.state = plain ? Day::plain : Day::moved;
    day.offset = dayNumber * 86400 - at;
  }
  if (day.state == Day::moved) return localTimeAtWall(wall, local, seconds);
  // The day's midnight has its date, weekday and day of the year already.
  const std::int64_t time = wall - dayNumber * 86400;
  local = day.midnight;
  local.tm_hour = static_cast<int>(time / 3600);
  local.tm_min = static_cast<int>(time / 60 % 60);
  local.tm_sec = static_cast<int>(time % 60);
  seconds = wall - day.offset;
  return true;
}

IcsDateValue parseIcsDateValue(const std::string& value) {
  IcsDateValue result;
  const std::string text = trimBlanks(value);
  if (text.size() < 8) return result;
  int year = 0, month = 0, day = 0;
  if (std::sscanf(text.c_str(), "%4d%2d%2d", &year, &month, &day) < 3) return result;

  int hour = 0, minute = 0, second = 0;
  char zone = 0;
  const bool dateTime = text.size() >= 15 && text[8] == 'T' &&
                        std::sscanf(text.c_str() + 9, "%2d%2d%2d%c", &hour, &minute, &second, &zone) >= 3;
  if (dateTime && zone == 'Z') {
    localTimeOf(utcCivilToEpoch(year, month - 1, day, hour, minute, second), result.local);
    result.wall = wallSecondsOf(result.local);
  } else {
    result.allDay = !dateTime;
    if (result.allDay) hour = minute = second = 0;  // a time read only in part is no time
    std::tm& written = result.local;
    written.tm_year = year - 1900;
    written.tm_mon = month - 1;
    written.tm_mday = day;
    written.tm_hour = hour;
    written.tm_min = minute;
    written.tm_sec = second;
    result.wall = wallSecondsOf(written);
    normaliseLocal(result.local);
  }
  result.ok = true;
  return result;
}

namespace {

char* putTwoDigits(char* p, long long v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

}  // namespace

std::string formatIsoDate(const std::tm& tm) {
  const long long year = 1900LL + tm.tm_year;
  const long long month = 1LL + tm.tm_mon;
  const long long day = tm.tm_mday;
  if (year >= 1000 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 99) {
    // The common case, written by hand: this runs once per occurrence.
    char buf[10];
    char* p = putTwoDigits(buf, year / 100);
    p = putTwoDigits(p, year % 100);
    *p++ = '-';
    p = putTwoDigits(p, month);
    *p++ = '-';
    putTwoDigits(p, day);
    return std::string(buf, 10);
  }
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%lld-%02lld-%02lld", year, month, day);
  return std::string(buf, static_cast<std::size_t>(n));
}
