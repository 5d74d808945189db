#include "calendar/recurrence.h"

#include <algorithm>
#include <climits>
#include <map>

#include "calendar/ics_lines.h"

const char* const weekdayCodes[7] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

std::int32_t weekdayCodeToIndex(const std::string& code) {
  if (code.size() != 2) return -1;
  for (std::int32_t i = 0; i < 7; ++i) {
    if (code[0] == weekdayCodes[i][0] && code[1] == weekdayCodes[i][1]) return i;
  }
  return -1;
}

std::int32_t readWholeNumber32(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT_MAX} + 1) value = std::int64_t{INT_MAX} + 1;  // saturate, keep reading
  }
  if (negative) return static_cast<std::int32_t>(-value);  // INT_MIN at most
  return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT_MAX));
}

std::int64_t SeriesWalk::atStartTime(const std::tm& day, std::tm& occ) const {
  occ = std::tm{};
  occ.tm_sec = start.tm_sec;
  occ.tm_min = start.tm_min;
  occ.tm_hour = start.tm_hour;
  occ.tm_mday = day.tm_mday;
  occ.tm_mon = day.tm_mon;
  occ.tm_year = day.tm_year;
  return normaliseLocal(occ);
}

namespace {

// Adds `days` to the day of month and normalises; false (and `tm` unchanged)
// when the day of month would leave the 32-bit range. Such a step lies
// hundreds of thousands of years ahead, beyond every series limit, so the
// walk ends there.
bool stepDays(std::tm& tm, std::int64_t days, std::int64_t& seconds) {
  const std::int64_t mday = tm.tm_mday + days;
  if (mday > INT_MAX || mday < INT_MIN) return false;
  tm.tm_mday = static_cast<int>(mday);
  tm.tm_wday = 0;
  tm.tm_yday = 0;
  seconds = normaliseLocal(tm);
  return true;
}

RecurrenceRule readRule(const std::string& rruleText, const std::tm& windowEndLocal, bool& untilIsDate) {
  std::map<std::string, std::string> ruleParts;
  for (const std::string& piece : splitByChar(rruleText, ';')) {
    std::size_t eq = piece.find('=');
    if (eq == std::string::npos) continue;
    ruleParts[piece.substr(0, eq)] = piece.substr(eq + 1);
  }
  auto part = [&](const char* name) -> const std::string* {
    auto it = ruleParts.find(name);
    return it == ruleParts.end() ? nullptr : &it->second;
  };

  RecurrenceRule rule;
  if (const std::string* v = part("FREQ")) rule.freq = *v;
  if (const std::string* v = part("INTERVAL")) rule.interval = std::max(readWholeNumber32(*v), 1);
  if (const std::string* v = part("COUNT")) rule.count = readWholeNumber32(*v);
  rule.limitLocal = windowEndLocal;
  untilIsDate = false;
  if (const std::string* v = part("UNTIL")) {
    IcsDateValue until = parseIcsDateValue(*v);
    if (until.ok) {
      std::tm bound = until.local;
      if (until.allDay) {
        bound = makeLocal(until.local.tm_year, until.local.tm_mon, until.local.tm_mday + 1, 0, 0, 0);
      }
      if (secondsOfLocal(bound) < secondsOfLocal(windowEndLocal)) {
        rule.limitLocal = bound;
        untilIsDate = until.allDay;
      }
    }
  }
  if (const std::string* v = part("BYDAY")) rule.byDay = splitByChar(*v, ',');
  if (const std::string* v = part("BYMONTHDAY")) {
    for (const std::string& piece : splitByChar(*v, ',')) rule.byMonthDay.push_back(readWholeNumber32(piece));
  }
  return rule;
}

void expandDaily(SeriesWalk& walk) {
  // BYDAY filters by exact codes only; a mask of the weekdays named keeps the
  // per-day test free of text comparisons.
  unsigned mask = 0;
  for (const std::string& entry : walk.rule.byDay) {
    std::int32_t w = weekdayCodeToIndex(entry);
    if (w >= 0) mask |= 1u << w;
  }
  const bool filtered = !walk.rule.byDay.empty();
  std::tm cur = walk.start;
  std::int64_t t = secondsOfLocal(cur);
  for (int steps = 0;; ++steps) {
    if (!walk.withinLimit(t) || walk.full() || steps == 5000) break;
    const bool named = cur.tm_wday >= 0 && cur.tm_wday < 7 && (mask & (1u << cur.tm_wday)) != 0;
    if ((!filtered || named) && t >= walk.seriesStart) {
      const std::int64_t day = civilDayOf(cur);
      walk.quiet(day, day) ? walk.takeUnseen(1) : walk.take(cur);
    }
    // The time of day carries over from the previous start.
    if (!stepDays(cur, walk.rule.interval, t)) break;
  }
}

void expandWeekly(SeriesWalk& walk) {
  std::vector<std::int32_t> weekdayList;
  for (const std::string& entry : walk.rule.byDay) {
    std::int32_t w = weekdayCodeToIndex(entry.size() < 2 ? entry : entry.substr(entry.size() - 2));
    if (w != -1) weekdayList.push_back(w);
  }
  if (weekdayList.empty()) weekdayList.push_back(walk.start.tm_wday);
  std::sort(weekdayList.begin(), weekdayList.end());

  // Weeks run Sunday to Saturday: the anchor is the Sunday on or before DTSTART.
  std::tm anchor{};
  anchor.tm_sec = walk.start.tm_sec;
  anchor.tm_min = walk.start.tm_min;
  anchor.tm_hour = walk.start.tm_hour;
  anchor.tm_mday = walk.start.tm_mday - walk.start.tm_wday;
  anchor.tm_mon = walk.start.tm_mon;
  anchor.tm_year = walk.start.tm_year;
  std::int64_t anchorSeconds = normaliseLocal(anchor);
  const std::int64_t weekStep = 7 * std::int64_t{walk.rule.interval};
  for (int weeks = 0;; ++weeks) {
    if (!walk.withinLimit(anchorSeconds) || walk.full() || weeks == 2000) break;
    const std::int64_t sunday = civilDayOf(anchor);
    if (walk.quiet(sunday, sunday + 6)) {
      walk.takeUnseen(static_cast<std::int64_t>(weekdayList.size()));
      if (!stepDays(anchor, weekStep, anchorSeconds)) break;
      continue;
    }
    for (std::int32_t w : weekdayList) {
      std::tm day = anchor;
      std::int64_t ignored = 0;
      if (!stepDays(day, w, ignored)) continue;
      std::tm occ;
      const std::int64_t t = walk.atStartTime(day, occ);
      if (t < walk.seriesStart || !walk.withinLimit(t) || walk.full()) continue;
      walk.take(occ);
    }
    if (!stepDays(anchor, weekStep, anchorSeconds)) break;
  }
}

void expandYearly(SeriesWalk& walk) {
  std::int64_t y = 1900LL + walk.start.tm_year;
  for (int years = 0;; ++years) {
    // A year past the 32-bit range lies beyond every series limit.
    if (y - 1900 > INT_MAX) break;
    const int year1900 = static_cast<int>(y - 1900);
    std::tm jan1{};
    jan1.tm_mday = 1;
    jan1.tm_year = year1900;
    if (!walk.withinLimit(normaliseLocal(jan1)) || walk.full() || years == 200) break;
    std::tm d = makeLocal(year1900, walk.start.tm_mon, walk.start.tm_mday, 0, 0, 0);
    if (d.tm_mon == walk.start.tm_mon) {  // 29 February gives nothing in a common year
      std::tm occ;
      const std::int64_t t = walk.atStartTime(d, occ);
      if (t >= walk.seriesStart && walk.withinLimit(t)) walk.take(occ);
    }
    y += walk.rule.interval;
  }
}

}  // namespace

void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, const std::function<void(const std::tm&)>& emitOccurrence) {
  SeriesWalk walk;
  walk.rule = readRule(rruleText, windowEndLocal, walk.untilIsDate);
  walk.start = eventStart.local;
  walk.seriesStart = secondsOfLocal(eventStart.local);
  walk.seriesLimit = secondsOfLocal(walk.rule.limitLocal);
  walk.quietFromDay = civilDayOf(walk.start) + kLocalDaySlack;
  walk.quietUntilDay = std::min(civilDayOf(walk.rule.limitLocal), firstDayWithRows) - kLocalDaySlack;

  const std::string& freq = walk.rule.freq;
  if (freq == "DAILY") {
    expandDaily(walk);
  } else if (freq == "WEEKLY") {
    expandWeekly(walk);
  } else if (freq == "MONTHLY") {
    expandMonthly(walk);
  } else if (freq == "YEARLY") {
    expandYearly(walk);
  } else if (walk.withinLimit(walk.seriesStart) && walk.rule.count >= 1) {
    walk.take(walk.start);  // an unknown frequency shows DTSTART once
  }
  for (const std::tm& start : walk.candidateStarts) emitOccurrence(start);
}
