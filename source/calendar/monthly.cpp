// The MONTHLY walk: BYDAY with or without ordinals, BYMONTHDAY from either
// end of the month, else DTSTART's own day of the month.
#include <algorithm>
#include <climits>
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
    if (out.ordinalOutOfRange) out.ordinalText = entry.substr(0, prefixEnd);
  }
  return out;
}

void expandMonthly(SeriesWalk& walk) {
  const EntryList<std::string>& byDayList = walk.rule.byDay;
  const EntryList<std::int32_t>& byMonthDay = walk.rule.byMonthDay;
  std::vector<ByDayEntry> byDay;
  const ByDayEntry* unreadable = nullptr;  // an ordinal beyond 32 bits fails the reading in any month visited
  for (const std::string& entry : byDayList.distinct) byDay.push_back(readByDayEntry(entry));
  for (const ByDayEntry& e : byDay) {
    if (e.weekday >= 0 && e.ordinalOutOfRange && !unreadable) unreadable = &e;
  }
  const bool useByDay = !byDayList.empty();
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
    } else if (walk.start.tm_mday <= L) {
      // A month too short for DTSTART's day gives nothing.
      out.push_back({walk.start.tm_mday, 1});
    }
  };
  // The last day named when the entries are read in the order given: the
  // last day of the last entry that names one.
  auto lastNamedDay = [&](std::int64_t w1, std::int32_t L) -> std::int64_t {
    if (!useByDay && !useByMonthDay) return walk.start.tm_mday;
    const std::vector<std::uint8_t>& order = useByDay ? byDayList.order : byMonthDay.order;
    std::vector<NamedDay> days;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      days.clear();
      entryDays(*it, w1, L, days);
      if (!days.empty()) return days.back().first;
    }
    return 0;
  };
  // How many days a quiet month gives depends only on its first weekday and
  // its length; each of the 28 kinds is worked out once, when first needed.
  std::int64_t quietCounts[7][4];
  for (auto& row : quietCounts) std::fill(std::begin(row), std::end(row), -1);

  std::vector<NamedDay> monthDays;
  bool skippedMonth = false;
  std::int64_t skippedMonthIndex = 0;
  int skippedYear1900 = 0;
  std::int64_t y = 1900LL + walk.start.tm_year;
  std::int64_t m = walk.start.tm_mon;
  for (int visited = 0;; ++visited) {
    // A year past the 32-bit range lies beyond every series limit.
    if (y - 1900 > INT_MAX) break;
    const int year1900 = static_cast<int>(y - 1900);
    const std::int32_t L = daysInMonth(y, m);
    const std::int64_t firstDay = civilDayNumber(y, m, 1);
    // A quiet month lies within the limit; its first day is not converted.
    // The month after the last quiet one converts that one's first day
    // before its own, as when every month was converted.
    const bool quietMonth = walk.quiet(firstDay, firstDay + L - 1);
    if (!quietMonth || visited == 1000 || walk.done()) {
      if (skippedMonth) makeLocal(skippedYear1900, static_cast<int>(skippedMonthIndex), 1, 0, 0, 0);
      std::int64_t first = 0;
      makeLocal(year1900, static_cast<int>(m), 1, 0, 0, 0, first);
      if (!walk.withinLimit(first) || walk.done() || visited == 1000) break;
    }
    skippedMonth = quietMonth;
    skippedMonthIndex = m;
    skippedYear1900 = year1900;
    if (useByDay && unreadable) (void)std::stoi(unreadable->ordinalText);  // raises std::out_of_range

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
      // Local midnight comes later on each later day of a month (or at the
      // same second, on a day that is skipped), so the days in order are
      // the candidates in chronological order. Each day is converted once;
      // the last day named is converted again last, as when every candidate
      // was converted in the order named.
      std::sort(monthDays.begin(), monthDays.end(),
                [](const NamedDay& a, const NamedDay& b) { return a.first < b.first; });
      std::vector<std::pair<std::tm, std::int64_t>> days;  // normalised day, how often
      std::int64_t lastDay = 0;
      for (const NamedDay& d : monthDays) {
        if (d.first == lastDay) {
          days.back().second += d.second;
          continue;
        }
        lastDay = d.first;
        days.push_back({makeLocal(year1900, static_cast<int>(m), static_cast<int>(d.first), 0, 0, 0), d.second});
      }
      if (!days.empty()) makeLocal(year1900, static_cast<int>(m), static_cast<int>(lastNamedDay(w1, L)), 0, 0, 0);
      for (const auto& day : days) {
        walk.takeRepeated(day.second, [&](std::tm& occ, std::int64_t& t) {
          t = walk.atStartTime(day.first, occ);
          return true;
        });
        if (walk.stopped) return;
      }
    }
    m += walk.rule.interval;
    if (m > 11) {
      y += m / 12;
      m %= 12;
    }
  }
}
