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

std::int64_t SeriesWalk::atStartTime(const std::tm& day, std::tm& occ) const {
  std::int64_t seconds = 0;
  occ = makeLocal(day.tm_year, day.tm_mon, day.tm_mday, start.tm_hour, start.tm_min, start.tm_sec, seconds);
  return seconds;
}

namespace {

constexpr std::int64_t kDay = 86400;
// Offsets are read this far apart; a time zone changes its offset at most
// once in so short a time.
constexpr std::int64_t kOffsetReadingStep = 43200;
// Converting one step costs about as much as this many offset readings.
constexpr std::int64_t kReadingsPerStep = 4;
// The conversion is read only for years the calendar's dates can name.
constexpr std::int64_t kEarliestReadable = -62167219200LL - 1000LL * 366 * kDay;  // before year -999
constexpr std::int64_t kLatestReadable = 253402300800LL + 2 * 366 * kDay;         // after year 9999

// Adds `days` to the day of month and normalises; false (and `tm` unchanged)
// when the day of month would leave the 32-bit range. Such a step lies
// hundreds of thousands of years ahead, beyond every series limit, so the
// walk ends there.
bool stepDays(std::tm& tm, std::int64_t days, std::int64_t& seconds) {
  const std::int64_t mday = tm.tm_mday + days;
  if (mday > INT_MAX || mday < INT_MIN) return false;
  tm = makeLocal(tm.tm_year, tm.tm_mon, static_cast<int>(mday), tm.tm_hour, tm.tm_min, tm.tm_sec, seconds);
  return true;
}

// Ends a jump over quiet steps: puts `tm` (its time of day kept) on the
// civil day `dayNumber` of the last step jumped over, which is no skipped
// wall time and so comes out as it is, then takes the next step as the walk
// always does. Converting the last step first matters: where a wall time is
// skipped between two offsets of the same kind, the conversion's answer
// follows the offset of the conversion before it.
void landAfter(std::tm& tm, std::int64_t dayNumber, std::int64_t step, std::int64_t& seconds) {
  std::int64_t y = 0, m = 0, d = 0;
  civilDateOf(dayNumber, y, m, d);
  tm = makeLocal(static_cast<int>(y - 1900), static_cast<int>(m), static_cast<int>(d), tm.tm_hour, tm.tm_min,
                 tm.tm_sec);
  stepDays(tm, step, seconds);
}

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

// The largest day steps that are jumped over: a day of month plus one such
// step always stays in the 32-bit range, as stepping one by one requires.
constexpr std::int64_t kLargestJumpedStep = INT_MAX - 31;

}  // namespace

bool SkippedWallTimes::offsetAt(std::int64_t utc, std::int64_t& offset) {
  std::tm local{};
  if (!localTimeOf(utc, local)) return false;
  offset = wallSecondsOf(local) - utc;
  return true;
}

bool SkippedWallTimes::read(std::int64_t from, std::int64_t to) {
  std::int64_t before = 0;
  if (!offsetAt(from, before)) return false;
  for (std::int64_t at = from; at < to;) {
    const std::int64_t next = std::min(at + kOffsetReadingStep, to);
    std::int64_t after = 0;
    if (!offsetAt(next, after)) return false;
    if (after != before) {
      // The first second with the new offset.
      std::int64_t lo = at, hi = next;
      while (hi - lo > 1) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        std::int64_t o = 0;
        if (!offsetAt(mid, o)) return false;
        (o == before ? lo : hi) = mid;
      }
      std::int64_t changed = after;
      if (!offsetAt(hi, changed)) return false;
      if (changed > before) stretches_.push_back(Stretch{hi + before, hi + changed});
    }
    before = after;
    at = next;
  }
  return true;
}

bool SkippedWallTimes::cover(std::int64_t from, std::int64_t to) {
  if (from < kEarliestReadable || to > kLatestReadable) return false;
  // Whole reading steps, so the span read only ever grows at its ends.
  from -= ((from % kOffsetReadingStep) + kOffsetReadingStep) % kOffsetReadingStep;
  if (!covered_) {
    coveredFrom_ = coveredTo_ = from;
    covered_ = true;
  }
  const std::size_t had = stretches_.size();
  if (from < coveredFrom_) {
    if (!read(from, coveredFrom_)) return false;
    coveredFrom_ = from;
  }
  if (to > coveredTo_) {
    if (!read(coveredTo_, to)) return false;
    coveredTo_ = to;
  }
  if (stretches_.size() != had) {
    std::sort(stretches_.begin(), stretches_.end(),
              [](const Stretch& a, const Stretch& b) { return a.wallFrom < b.wallFrom; });
  }
  return true;
}

std::int64_t SkippedWallTimes::firstSkipped(std::int64_t from, std::int64_t step, std::int64_t last) {
  if (last < 1) return 1;
  if (step < 1 || step > kLatestReadable / last) return 1;
  const std::int64_t first = from + step;
  const std::int64_t final = from + last * step;
  // A wall time lies less than a day from the UTC time it names.
  if (first < kEarliestReadable + 2 * kDay || final > kLatestReadable - 2 * kDay) return 1;
  // Long steps over centuries would read far more offsets than they have
  // steps: such walks step one by one until the steps they converted would
  // have paid for the reading.
  const std::int64_t from2 = first - 2 * kDay, to2 = final + 2 * kDay;
  const std::int64_t missing =
      (covered_ ? std::max<std::int64_t>(0, coveredFrom_ - from2) + std::max<std::int64_t>(0, to2 - coveredTo_)
                : to2 - from2) /
      kOffsetReadingStep;
  if (missing > kReadingsPerStep * last + credit_) {
    credit_ += kReadingsPerStep;
    return 1;
  }
  if (!cover(from2, to2)) return 1;
  auto it = std::upper_bound(stretches_.begin(), stretches_.end(), first,
                             [](std::int64_t wall, const Stretch& s) { return wall < s.wallTo; });
  for (; it != stretches_.end() && it->wallFrom <= final; ++it) {
    std::int64_t k = it->wallFrom <= first ? 1 : (it->wallFrom - from + step - 1) / step;
    if (k <= last && from + k * step < it->wallTo) return k;
  }
  return last + 1;
}

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
  // per-day test free of text comparisons.
  unsigned mask = 0;
  for (const std::string& entry : walk.rule.byDay.distinct) {
    std::int32_t w = weekdayCodeToIndex(entry);
    if (w >= 0) mask |= 1u << w;
  }
  const bool filtered = !walk.rule.byDay.empty();
  const std::int64_t interval = walk.rule.interval;
  constexpr std::int64_t kSteps = 5000;
  std::tm cur = walk.start;
  std::int64_t t = secondsOfLocal(cur);
  for (std::int64_t steps = 0;;) {
    if (!walk.withinLimit(t) || walk.done() || steps == kSteps) break;
    const bool named = cur.tm_wday >= 0 && cur.tm_wday < 7 && (mask & (1u << cur.tm_wday)) != 0;
    const std::int64_t day = civilDayOf(cur);
    const bool quiet = walk.quiet(day, day);
    if ((!filtered || named) && t >= walk.seriesStart) quiet ? walk.takeUnseen(1) : walk.take(cur);
    // The steps after a quiet one, up to the end of the quiet days, are only
    // counted. Their time of day stays the same until one lands in a skipped
    // wall time; the walk converts again there.
    const std::int64_t ahead = quiet && interval <= kLargestJumpedStep
                                   ? std::min((walk.quietUntilDay - 1 - day) / interval, kSteps - 1 - steps)
                                   : 0;
    if (ahead > 0 && !walk.done()) {
      if (steps + 1 + ahead == kSteps) break;  // the series ends before the window
      const std::int64_t land = walk.skipped->firstSkipped(wallSecondsOf(cur), interval * kDay, ahead);
      walk.takeUnseen(filtered ? countWeekdays(day + interval, interval, land - 1, mask) : land - 1);
      steps += land;
      landAfter(cur, day + (land - 1) * interval, interval, t);
      continue;
    }
    // The time of day carries over from the previous start.
    if (!stepDays(cur, interval, t)) break;
    ++steps;
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
  if (perWeek == 0) perWeekday[walk.start.tm_wday] = perWeek = 1;

  // Weeks run Sunday to Saturday: the anchor is the Sunday on or before DTSTART.
  std::int64_t anchorSeconds = 0;
  std::tm anchor = makeLocal(walk.start.tm_year, walk.start.tm_mon, walk.start.tm_mday - walk.start.tm_wday,
                             walk.start.tm_hour, walk.start.tm_min, walk.start.tm_sec, anchorSeconds);
  const std::int64_t weekStep = 7 * std::int64_t{walk.rule.interval};
  constexpr std::int64_t kWeeks = 2000;
  for (std::int64_t weeks = 0;;) {
    if (!walk.withinLimit(anchorSeconds) || walk.done() || weeks == kWeeks) break;
    const std::int64_t sunday = civilDayOf(anchor);
    if (walk.quiet(sunday, sunday + 6)) {
      walk.takeUnseen(perWeek);
      // As in the daily walk: the quiet weeks after this one are counted,
      // and the anchor keeps its time of day until it lands in a skipped
      // wall time.
      const std::int64_t ahead = weekStep <= kLargestJumpedStep
                                     ? std::min((walk.quietUntilDay - 7 - sunday) / weekStep, kWeeks - 1 - weeks)
                                     : 0;
      if (ahead > 0 && !walk.done()) {
        if (weeks + 1 + ahead == kWeeks) break;  // the series ends before the window
        const std::int64_t land = walk.skipped->firstSkipped(wallSecondsOf(anchor), weekStep * kDay, ahead);
        walk.takeUnseen((land - 1) * perWeek);
        weeks += land;
        landAfter(anchor, sunday + (land - 1) * weekStep, weekStep, anchorSeconds);
        continue;
      }
      if (!stepDays(anchor, weekStep, anchorSeconds)) break;
      ++weeks;
      continue;
    }
    for (std::int32_t w = 0; w < 7; ++w) {
      walk.takeRepeated(perWeekday[w], [&](std::tm& occ, std::int64_t& t) {
        std::tm day = anchor;
        std::int64_t ignored = 0;
        if (!stepDays(day, w, ignored)) return false;
        t = walk.atStartTime(day, occ);
        return true;
      });
      if (walk.stopped) return;
    }
    if (!stepDays(anchor, weekStep, anchorSeconds)) break;
    ++weeks;
  }
}

// The conversions of one year of the yearly walk after its first day: the
// start's date in year `year1900`, and its time there when the month has it.
// Returns false when the month has no such day.
bool convertYearlyStart(const SeriesWalk& walk, int year1900, std::tm& occ, std::int64_t& t) {
  std::tm d = makeLocal(year1900, walk.start.tm_mon, walk.start.tm_mday, 0, 0, 0);
  if (d.tm_mon != walk.start.tm_mon) return false;  // 29 February gives nothing in a common year
  t = walk.atStartTime(d, occ);
  return true;
}

void expandYearly(SeriesWalk& walk) {
  std::int64_t y = 1900LL + walk.start.tm_year;
  bool skippedYear = false;
  int skippedYear1900 = 0;
  for (int years = 0;; ++years) {
    // A year past the 32-bit range lies beyond every series limit.
    if (y - 1900 > INT_MAX) break;
    const int year1900 = static_cast<int>(y - 1900);
    // Years well before the window need no conversion: 1 January is within
    // the limit, and a start on a quiet day is counted. Only a last day of a
    // month whose midnight is skipped could move into the next month.
    const std::int32_t length = daysInMonth(y, walk.start.tm_mon);
    const std::int64_t startDay = civilDayNumber(y, walk.start.tm_mon, walk.start.tm_mday);
    const bool noDay = walk.start.tm_mday > length;
    const bool quietYear = civilDayNumber(y, 0, 1) < walk.quietUntilDay && years < 200 && !walk.done() &&
                           (noDay || (walk.quiet(startDay, startDay) &&
                                      (walk.start.tm_mday < length || !walk.skipped->isSkipped(startDay * kDay))));
    if (quietYear) {
      if (!noDay) walk.takeUnseen(1);
      skippedYear = true;
      skippedYear1900 = year1900;
      y += walk.rule.interval;
      continue;
    }
    std::tm occ{};
    std::int64_t t = 0;
    // The year after the last quiet one repeats that one's last conversions
    // first, as when every year was converted.
    if (skippedYear) convertYearlyStart(walk, skippedYear1900, occ, t);
    skippedYear = false;
    std::int64_t jan1 = 0;
    makeLocal(year1900, 0, 1, 0, 0, 0, jan1);
    if (!walk.withinLimit(jan1) || walk.done() || years == 200) break;
    if (convertYearlyStart(walk, year1900, occ, t) && t >= walk.seriesStart && walk.withinLimit(t)) walk.take(occ);
    y += walk.rule.interval;
  }
}

}  // namespace

void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, SkippedWallTimes& skipped, bool emitAtOnce,
                      std::function<bool(const std::tm&)> emitOccurrence) {
  SeriesWalk walk;
  walk.rule = readRule(rruleText, windowEndLocal, walk.untilIsDate);
  walk.start = eventStart.local;
  walk.seriesStart = secondsOfLocal(eventStart.local);
  walk.seriesLimit = secondsOfLocal(walk.rule.limitLocal);
  walk.quietFromDay = civilDayOf(walk.start) + kLocalDaySlack;
  walk.quietUntilDay = std::min(civilDayOf(walk.rule.limitLocal), firstDayWithRows) - kLocalDaySlack;
  walk.emit = std::move(emitOccurrence);
  walk.skipped = &skipped;
  if (emitAtOnce) walk.batch = 1;

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
  walk.emitPending();
}
