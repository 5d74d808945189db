// The MONTHLY walk: BYDAY with or without ordinals, BYMONTHDAY from either
// end of the month, else DTSTART's own day of the month.
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "calendar/monthly.h"
#include "text/text_util.h"

ByDayEntry readByDayEntry(const std::string& entry) {
  ByDayEntry out;
  const std::size_t n = entry.size();
  if (n < 2 || !isAsciiUpper(entry[n - 2]) || !isAsciiUpper(entry[n - 1])) return out;
  const std::size_t prefixEnd = n - 2;
  std::size_t i = 0;
  if (prefixEnd > 0) {
    if (entry[0] == '+' || entry[0] == '-') ++i;
    if (i == prefixEnd) return out;  // a sign without digits does not match
    for (std::size_t k = i; k < prefixEnd; ++k) {
      if (!isAsciiDigit(entry[k])) return out;
    }
  }
  const std::int32_t w = weekdayCodeToIndex(entry.substr(n - 2));
  if (w == -1) return out;
  out.weekday = w;
  if (prefixEnd > 0) {
    out.hasOrdinal = true;
    // Read up to one past INT_MIN's magnitude: whatever lies beyond the
    // 32-bit range is out of range alike.
    const std::int64_t value =
        readLeadingInteger(std::string_view(entry).substr(0, prefixEnd), std::int64_t{INT_MAX} + 2);
    out.ordinalOutOfRange = value > INT_MAX || value < INT_MIN;
    out.ordinal = value;
  }
  return out;
}

void expandMonthly(SeriesWalk& walk) {
  const EntryList<std::string>& byDayList = walk.rule.byDay;
  const EntryList<std::int32_t>& byMonthDay = walk.rule.byMonthDay;
  std::vector<ByDayEntry> byDay;
  bool unreadable = false;  // an ordinal beyond 32 bits fails the reading in any month visited
  for (const std::string& entry : byDayList.distinct) {
    byDay.push_back(readByDayEntry(entry));
    if (byDay.back().weekday >= 0 && byDay.back().ordinalOutOfRange) unreadable = true;
  }
  const bool useByDay = !byDayList.empty();
  std::int64_t y = 0, m = 0, startDayOfMonth = 0;  // DTSTART's date as written
  civilDateOf(walk.startDay, y, m, startDayOfMonth);
  const bool useByMonthDay = !useByDay && !byMonthDay.empty();

  // The days that entry number `i` (a distinct one) names in a month of `L`
  // days whose first day falls on weekday w1, in order, each given `times`.
  using NamedDay = std::pair<std::int64_t, std::int64_t>;  // day of month, how often
  auto entryDays = [&](std::size_t i, std::int64_t w1, std::int32_t L, std::vector<NamedDay>& out) {
    if (useByDay) {
      const ByDayEntry& e = byDay[i];
      const std::int64_t times = byDayList.times[i];
      if (e.weekday < 0) return;
      const std::int64_t firstOfWeekday = 1 + ((e.weekday - w1 + 7) % 7);
      if (!e.hasOrdinal) {
        for (std::int64_t d = firstOfWeekday; d <= L; d += 7) out.push_back({d, times});
        return;
      }
      const std::int64_t wL = (w1 + L - 1) % 7;
      const std::int64_t n = e.ordinal;
      const std::int64_t d = n >= 1 ? firstOfWeekday + 7 * (n - 1) : L - ((wL - e.weekday + 7) % 7) + 7 * (n + 1);
      if (d >= 1 && d <= L) out.push_back({d, times});
    } else {
      const std::int32_t v = byMonthDay.distinct[i];
      const std::int64_t d = v >= 1 ? v : L + 1 + std::int64_t{v};
      if (d >= 1 && d <= L) out.push_back({d, byMonthDay.times[i]});
    }
  };
  // All days the rule names in such a month.
  auto namedDays = [&](std::int64_t w1, std::int32_t L, std::vector<NamedDay>& out) {
    if (useByDay || useByMonthDay) {
      const std::size_t n = useByDay ? byDay.size() : byMonthDay.distinct.size();
      for (std::size_t i = 0; i < n; ++i) entryDays(i, w1, L, out);
    } else if (startDayOfMonth <= L) {
      // A month too short for DTSTART's day gives nothing.
      out.push_back({startDayOfMonth, 1});
    }
  };
  // How many days a quiet month gives depends only on its first weekday and
  // its length; each of the 28 kinds is worked out once, when first needed.
  std::int64_t quietCounts[7][4];
  for (auto& row : quietCounts) std::fill(std::begin(row), std::end(row), -1);

  std::vector<NamedDay> monthDays;
  for (int visited = 0; visited < 1000 && !walk.done(); ++visited) {
    // A year past the 32-bit range lies beyond every series limit.
    if (y - 1900 > INT_MAX) break;
    const std::int32_t L = daysInMonth(y, m);
    const std::int64_t firstDay = civilDayNumber(y, m, 1);
    // A quiet month lies within the limit; its first day is not converted.
    const bool quietMonth = walk.quiet(firstDay, firstDay + L - 1);
    std::int64_t first = 0;
    if (!quietMonth && (!walk.midnightOf(firstDay, first) || !walk.withinLimit(first))) break;
    if (useByDay && unreadable) throw std::out_of_range("stoi");  // what reading such an ordinal as a number raises

    const std::int64_t w1 = weekdayOfCivilDay(firstDay);
    if (quietMonth) {
      std::int64_t& count = quietCounts[w1][L - 28];
      if (count < 0) {
        monthDays.clear();
        namedDays(w1, L, monthDays);
        count = 0;
        for (const NamedDay& d : monthDays) count += d.second;
      }
      walk.takeUnseen(count);
    } else {
      monthDays.clear();
      namedDays(w1, L, monthDays);
      // The days of a month in order are its candidates in chronological
      // order; a day named more than once gives equal starts.
      std::sort(monthDays.begin(), monthDays.end(),
                [](const NamedDay& a, const NamedDay& b) { return a.first < b.first; });
      for (std::size_t i = 0; i < monthDays.size() && !walk.done();) {
        const std::int64_t d = monthDays[i].first;
        std::int64_t times = 0;
        for (; i < monthDays.size() && monthDays[i].first == d; ++i) times += monthDays[i].second;
        std::tm occ{};
        std::int64_t t = 0;
        if (!walk.atStartTime(firstDay + d - 1, occ, t)) return;
        walk.take(occ, t, times);
      }
    }
    m += walk.rule.interval;
    if (m > 11) {
      y += m / 12;
      m %= 12;
    }
  }
}
