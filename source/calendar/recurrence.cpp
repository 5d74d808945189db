#include "calendar/recurrence.h"

#include <algorithm>
#include <climits>
#include <map>

#include "calendar/ics_lines.h"
#include "calendar/monthly.h"
#include "text/text_util.h"

const char* const weekdayCodes[7] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

std::int32_t weekdayCodeToIndex(const std::string& code) {
  if (code.size() != 2) return -1;
  for (std::int32_t i = 0; i < 7; ++i) {
    if (code[0] == weekdayCodes[i][0] && code[1] == weekdayCodes[i][1]) return i;
  }
  return -1;
}

std::int32_t readWholeNumber32(const std::string& text) {
  // INT_MIN at most below; above, the one value more clamps to INT_MAX.
  const std::int64_t value = readLeadingInteger(text, std::int64_t{INT_MAX} + 1);
  return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT_MAX));
}

namespace {

// How many of the days first, first + step, ... (n of them) fall on a
// weekday of `mask`.
std::int64_t countWeekdays(std::int64_t first, std::int64_t step, std::int64_t n, unsigned mask) {
  std::int64_t perWeek = 0, rest = 0;
  for (std::int64_t k = 0; k < 7 && k < n; ++k) {
    const bool named = (mask >> weekdayOfCivilDay(first + k * (step % 7))) & 1u;
    perWeek += named;
    if (k < n % 7) rest += named;
  }
  return n / 7 * perWeek + rest;
}

}  // namespace

namespace {

template <typename Entry>
void addEntry(EntryList<Entry>& list, std::map<std::int32_t, std::uint8_t>& seen, std::int32_t meaning,
              const Entry& entry) {
  auto found = seen.emplace(meaning, static_cast<std::uint8_t>(list.distinct.size()));
  if (found.second) {
    list.distinct.push_back(entry);
    list.times.push_back(0);
  }
  ++list.times[found.first->second];
  list.order.push_back(found.first->second);
}

// The weekday a WEEKLY rule's BYDAY entry names: its last two letters, so
// that an ordinal in front ("1MO") is passed over; -1 when they are no code.
std::int32_t weeklyWeekdayOf(const std::string& entry) {
  return weekdayCodeToIndex(entry.size() < 2 ? entry : entry.substr(entry.size() - 2));
}

// What a BYDAY entry means to a rule of frequency `freq`, as a number: equal
// numbers, equal effect on the rule's starts.
std::int32_t byDayMeaning(const std::string& freq, const std::string& entry) {
  if (freq == "DAILY") return weekdayCodeToIndex(entry);
  if (freq == "WEEKLY") return weeklyWeekdayOf(entry);
  if (freq != "MONTHLY") return 0;
  const ByDayEntry e = readByDayEntry(entry);
  if (e.weekday < 0) return -1;
  if (e.ordinalOutOfRange) return 100 + e.weekday;  // fails the reading, whichever it is
  if (!e.hasOrdinal) return 200 + e.weekday;
  if (e.ordinal < -5 || e.ordinal > 5) return -1;  // names no day of any month
  return 300 + static_cast<std::int32_t>(e.ordinal + 5) * 7 + e.weekday;
}

RecurrenceRule readRule(const std::string& rruleText, const std::tm& windowEndLocal, bool& untilIsDate) {
  // Views into the rule's text: a rule can be as long as the whole file.
  std::map<std::string_view, std::string_view> ruleParts;
  forEachPiece(rruleText, ';', [&ruleParts](std::string_view piece) {
    std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos) ruleParts[piece.substr(0, eq)] = piece.substr(eq + 1);
  });
  auto part = [&](const char* name) -> const std::string_view* {
    auto it = ruleParts.find(name);
    return it == ruleParts.end() ? nullptr : &it->second;
  };

  RecurrenceRule rule;
  if (const std::string_view* v = part("FREQ")) rule.freq = std::string(*v);
  if (const std::string_view* v = part("INTERVAL")) rule.interval = std::max(readWholeNumber32(std::string(*v)), 1);
  if (const std::string_view* v = part("COUNT")) rule.count = readWholeNumber32(std::string(*v));
  rule.limitLocal = windowEndLocal;
  untilIsDate = false;
  if (const std::string_view* v = part("UNTIL")) {
    IcsDateValue until = parseIcsDateValue(std::string(*v));
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
  if (const std::string_view* v = part("BYDAY")) {
    std::map<std::int32_t, std::uint8_t> seen;
    std::string entry;
    forEachPiece(*v, ',', [&](std::string_view piece) {
      entry.assign(piece);
      addEntry(rule.byDay, seen, byDayMeaning(rule.freq, entry), entry);
    });
  }
  if (const std::string_view* v = part("BYMONTHDAY")) {
    std::map<std::int32_t, std::uint8_t> seen;
    std::string text;
    forEachPiece(*v, ',', [&](std::string_view piece) {
      text.assign(piece);
      const std::int32_t day = readWholeNumber32(text);
      // Days beyond 31 either way name no day of any month.
      addEntry(rule.byMonthDay, seen, day < -31 || day > 31 ? 99 : day, day);
    });
  }
  return rule;
}

void expandDaily(SeriesWalk& walk) {
  // BYDAY filters by exact codes only; a mask of the weekdays named keeps the
  // per-day test free of text comparisons. The filter reads the day as
  // written: a start that a clock change moves keeps its weekday.
  unsigned mask = 0;
  for (const std::string& entry : walk.rule.byDay.distinct) {
    std::int32_t w = weekdayCodeToIndex(entry);
    if (w >= 0) mask |= 1u << w;
  }
  if (walk.rule.byDay.empty()) mask = 0x7f;
  const std::int64_t interval = walk.rule.interval;
  constexpr std::int64_t kSteps = 5000;
  for (std::int64_t steps = 0; steps < kSteps && !walk.done(); ++steps) {
    const std::int64_t day = walk.startDay + steps * interval;
    const bool named = (mask >> weekdayOfCivilDay(day)) & 1u;
    if (walk.quiet(day, day)) {
      // This step and those after it up to the end of the quiet days are
      // only counted.
      const std::int64_t ahead = std::min((walk.quietUntilDay - 1 - day) / interval, kSteps - 1 - steps);
      walk.takeUnseen(countWeekdays(day, interval, ahead + 1, mask));
      steps += ahead;
      continue;
    }
    std::tm occ{};
    std::int64_t t = 0;
    if (!walk.atStartTime(day, occ, t) || !walk.withinLimit(t)) break;
    if (named) walk.take(occ, t);
  }
}

void expandWeekly(SeriesWalk& walk) {
  // How often each weekday is taken in a week, Sunday first; a weekday
  // given twice gives two equal starts.
  std::int64_t perWeekday[7] = {0, 0, 0, 0, 0, 0, 0};
  const EntryList<std::string>& byDay = walk.rule.byDay;
  for (std::size_t i = 0; i < byDay.distinct.size(); ++i) {
    const std::string& entry = byDay.distinct[i];
    std::int32_t w = weeklyWeekdayOf(entry);
    if (w != -1) perWeekday[w] += byDay.times[i];
  }
  std::int64_t perWeek = 0;
  for (std::int64_t n : perWeekday) perWeek += n;
  if (perWeek == 0) perWeekday[weekdayOfCivilDay(walk.startDay)] = perWeek = 1;

  // Weeks run Sunday to Saturday: the anchor is the Sunday on or before DTSTART.
  const std::int64_t firstSunday = walk.startDay - weekdayOfCivilDay(walk.startDay);
  const std::int64_t weekStep = 7 * std::int64_t{walk.rule.interval};
  constexpr std::int64_t kWeeks = 2000;
  for (std::int64_t weeks = 0; weeks < kWeeks && !walk.done(); ++weeks) {
    const std::int64_t sunday = firstSunday + weeks * weekStep;
    if (walk.quiet(sunday, sunday + 6)) {
      // As in the daily walk: the quiet weeks from here on are counted.
      const std::int64_t ahead = std::min((walk.quietUntilDay - 7 - sunday) / weekStep, kWeeks - 1 - weeks);
      walk.takeUnseen((ahead + 1) * perWeek);
      weeks += ahead;
      continue;
    }
    std::tm occ{};
    std::int64_t t = 0;
    if (!walk.atStartTime(sunday, occ, t) || !walk.withinLimit(t)) break;
    for (std::int32_t w = 0; w < 7 && !walk.done(); ++w) {
      if (perWeekday[w] == 0) continue;
      if (w > 0 && !walk.atStartTime(sunday + w, occ, t)) return;
      walk.take(occ, t, perWeekday[w]);
    }
  }
}

void expandYearly(SeriesWalk& walk) {
  std::int64_t year = 0, month = 0, dayOfMonth = 0;
  civilDateOf(walk.startDay, year, month, dayOfMonth);
  for (int years = 0; years < 200 && !walk.done(); ++years, year += walk.rule.interval) {
    const std::int64_t newYear = civilDayNumber(year, 0, 1);
    const bool hasDay = dayOfMonth <= daysInMonth(year, month);  // 29 February gives nothing in a common year
    const std::int64_t day = civilDayNumber(year, month, dayOfMonth);
    // Years well before the window need no conversion: 1 January is within
    // the limit, and a start on a quiet day is counted.
    if (newYear < walk.quietUntilDay && (!hasDay || walk.quiet(day, day))) {
      if (hasDay) walk.takeUnseen(1);
      continue;
    }
    std::int64_t t = 0;
    if (!walk.midnightOf(newYear, t) || !walk.withinLimit(t)) break;
    std::tm occ{};
    if (hasDay && walk.atStartTime(day, occ, t)) walk.take(occ, t);
  }
}

}  // namespace

void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, LocalClock& clock,
                      std::function<bool(const std::tm&)> emitOccurrence) {
  SeriesWalk walk;
  walk.rule = readRule(rruleText, windowEndLocal, walk.untilIsDate);
  walk.start = eventStart.local;
  walk.startDay = eventStart.wall / 86400 - (eventStart.wall % 86400 < 0);
  walk.startTime = eventStart.wall - walk.startDay * 86400;
  walk.seriesStart = secondsOfLocal(eventStart.local);
  walk.seriesLimit = secondsOfLocal(walk.rule.limitLocal);
  walk.quietFromDay = walk.startDay + kLocalDaySlack;
  walk.quietUntilDay = std::min(civilDayOf(walk.rule.limitLocal), firstDayWithRows) - kLocalDaySlack;
  walk.clock = &clock;
  walk.emit = std::move(emitOccurrence);

  const std::string& freq = walk.rule.freq;
  if (freq == "DAILY") {
    expandDaily(walk);
  } else if (freq == "WEEKLY") {
    expandWeekly(walk);
  } else if (freq == "MONTHLY") {
    expandMonthly(walk);
  } else if (freq == "YEARLY") {
    expandYearly(walk);
  } else if (walk.rule.count >= 1) {
    walk.take(walk.start, walk.seriesStart);  // an unknown frequency shows DTSTART once
  }
}
