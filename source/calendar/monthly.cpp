// The MONTHLY walk: BYDAY with or without ordinals, BYMONTHDAY from either
// end of the month, else DTSTART's own day of the month.
#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "calendar/recurrence.h"

namespace {

// One BYDAY entry checked against ^([+-]?\d+)?([A-Z]{2})$ once per event
// rather than once per month; the result does not depend on the month.
struct ByDayEntry {
  std::int32_t weekday = -1;  // -1: the entry names nothing
  bool hasOrdinal = false;
  bool ordinalOutOfRange = false;
  std::int64_t ordinal = 0;
  std::string ordinalText;  // kept only to raise the conversion error
};

bool isCapital(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

ByDayEntry readByDayEntry(const std::string& entry) {
  ByDayEntry out;
  const std::size_t n = entry.size();
  if (n < 2 || !isCapital(entry[n - 2]) || !isCapital(entry[n - 1])) return out;
  const std::size_t prefixEnd = n - 2;
  std::size_t i = 0;
  bool negative = false;
  if (prefixEnd > 0) {
    if (entry[0] == '+' || entry[0] == '-') negative = entry[i++] == '-';
    if (i == prefixEnd) return out;  // a sign without digits does not match
    for (std::size_t k = i; k < prefixEnd; ++k) {
      if (!isDigit(entry[k])) return out;
    }
  }
  const std::int32_t w = weekdayCodeToIndex(entry.substr(n - 2));
  if (w == -1) return out;
  out.weekday = w;
  if (prefixEnd > 0) {
    out.hasOrdinal = true;
    std::int64_t value = 0;
    for (std::size_t k = i; k < prefixEnd && !out.ordinalOutOfRange; ++k) {
      value = value * 10 + (entry[k] - '0');
      if (value > std::int64_t{INT_MAX} + 1) out.ordinalOutOfRange = true;
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) out.ordinalOutOfRange = true;
    out.ordinal = value;
    if (out.ordinalOutOfRange) out.ordinalText = entry.substr(0, prefixEnd);
  }
  return out;
}

bool isLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::int32_t daysInMonth(std::int64_t y, std::int64_t m) {
  static const std::int32_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 1 && isLeapYear(y) ? 29 : days[m];
}

// A candidate day with its seconds, so a month's days sort without
// converting them again for every comparison.
struct TimedDay {
  std::int64_t seconds;
  std::tm day;
};

void sortTimedDays(std::vector<TimedDay>& days) {
  std::sort(days.begin(), days.end(), [](const TimedDay& a, const TimedDay& b) { return a.seconds < b.seconds; });
}

void addDay(std::vector<TimedDay>& days, int year1900, std::int64_t m, std::int64_t d) {
  TimedDay c{0, std::tm{}};
  c.day.tm_mday = static_cast<int>(d);
  c.day.tm_mon = static_cast<int>(m);
  c.day.tm_year = year1900;
  c.seconds = normaliseLocal(c.day);
  days.push_back(c);
}

}  // namespace

void sortTmChronologically(std::vector<std::tm>& list) {
  std::vector<TimedDay> days;
  days.reserve(list.size());
  for (const std::tm& tm : list) days.push_back(TimedDay{secondsOfLocal(tm), tm});
  sortTimedDays(days);
  for (std::size_t i = 0; i < list.size(); ++i) list[i] = days[i].day;
}

void expandMonthly(SeriesWalk& walk) {
  std::vector<ByDayEntry> byDay;
  byDay.reserve(walk.rule.byDay.size());
  for (const std::string& entry : walk.rule.byDay) byDay.push_back(readByDayEntry(entry));

  std::vector<std::int64_t> monthDays;  // the days the rule names, in entry order
  std::vector<TimedDay> monthCandidates;
  std::int64_t y = 1900LL + walk.start.tm_year;
  std::int64_t m = walk.start.tm_mon;
  for (int visited = 0;; ++visited) {
    // A year past the 32-bit range lies beyond every series limit.
    if (y - 1900 > INT_MAX) break;
    const int year1900 = static_cast<int>(y - 1900);
    std::tm first{};
    first.tm_mday = 1;
    first.tm_mon = static_cast<int>(m);
    first.tm_year = year1900;
    if (!walk.withinLimit(normaliseLocal(first)) || walk.full() || visited == 1000) break;

    const std::int32_t L = daysInMonth(y, m);
    const std::int64_t firstDay = civilDayNumber(y, m, 1);
    const std::int64_t w1 = ((firstDay + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
    const std::int64_t wL = (w1 + L - 1) % 7;

    monthDays.clear();
    if (!byDay.empty()) {
      for (const ByDayEntry& e : byDay) {
        if (e.weekday < 0) continue;
        if (e.ordinalOutOfRange) (void)std::stoi(e.ordinalText);  // raises std::out_of_range
        const std::int64_t firstOfWeekday = 1 + ((e.weekday - w1 + 7) % 7);
        if (!e.hasOrdinal) {
          for (std::int64_t d = firstOfWeekday; d <= L; d += 7) monthDays.push_back(d);
          continue;
        }
        const std::int64_t n = e.ordinal;
        const std::int64_t d = n >= 1 ? firstOfWeekday + 7 * (n - 1) : L - ((wL - e.weekday + 7) % 7) + 7 * (n + 1);
        if (d >= 1 && d <= L) monthDays.push_back(d);
      }
    } else if (!walk.rule.byMonthDay.empty()) {
      for (std::int32_t v : walk.rule.byMonthDay) {
        const std::int64_t d = v >= 1 ? v : L + 1 + std::int64_t{v};
        if (d >= 1 && d <= L) monthDays.push_back(d);
      }
    } else if (walk.start.tm_mday <= L) {
      // A month too short for DTSTART's day gives nothing.
      monthDays.push_back(walk.start.tm_mday);
    }
    if (walk.quiet(firstDay, firstDay + L - 1)) {
      walk.takeUnseen(static_cast<std::int64_t>(monthDays.size()));
    } else {
      monthCandidates.clear();
      for (std::int64_t d : monthDays) addDay(monthCandidates, year1900, m, d);
      sortTimedDays(monthCandidates);
      for (const TimedDay& c : monthCandidates) {
        std::tm occ;
        const std::int64_t t = walk.atStartTime(c.day, occ);
        if (!walk.withinLimit(t) || t < walk.seriesStart || walk.full()) continue;
        walk.take(occ);
      }
    }
    m += walk.rule.interval;
    if (m > 11) {
      y += m / 12;
      m %= 12;
    }
  }
}
