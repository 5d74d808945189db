#include "calendar/ics_dates.h"

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
thread_local std::int64_t lastOffset = 0;
}  // namespace

std::uint64_t localTimeConversions() { return conversionCount; }
std::int64_t lastConversionOffset() { return lastOffset; }

std::int64_t normaliseLocal(std::tm& tm) {
  ++conversionCount;
  tm.tm_isdst = -1;
  const std::int64_t seconds = platform::localTimeToSeconds(tm);
  if (seconds != -1) lastOffset = wallSecondsOf(tm) - seconds;
  return seconds;
}

bool localTimeOf(std::int64_t seconds, std::tm& out) {
  ++conversionCount;
  return platform::secondsToLocalTime(seconds, out);
}

std::int64_t wallSecondsOf(const std::tm& tm) {
  return civilDayOf(tm) * 86400 + std::int64_t{tm.tm_hour} * 3600 + std::int64_t{tm.tm_min} * 60 + tm.tm_sec;
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
  } else if (dateTime) {
    result.local = makeLocal(year - 1900, month - 1, day, hour, minute, second);
  } else {
    result.local = makeLocal(year - 1900, month - 1, day, 0, 0, 0);
    result.allDay = true;
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
