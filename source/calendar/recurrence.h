#pragma once
// Recurrence rules: an event's RRULE to its occurrence starts.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "calendar/ics_dates.h"

// The entries of a BYDAY or BYMONTHDAY list: each different entry once, how
// often it is given, and the list in order as numbers of those. A rule of
// millions of equal entries costs a few bytes per entry, not a text each.
//
// Entries count as the same when they mean the same to the rule's frequency
// (a weekday code, an ordinal from -5 to 5 with a weekday, a day of the month
// from -31 to 31, or nothing at all), so there are at most a few dozen; the
// first entry of each meaning stands for all of them.
template <typename Entry>
struct EntryList {
  std::vector<Entry> distinct;
  std::vector<std::int64_t> times;
  std::vector<std::uint8_t> order;
  bool empty() const { return order.empty(); }
};

struct RecurrenceRule {
  std::string freq;
  std::int32_t interval = 1;
  std::int32_t count = 1 << 30;  // no practical limit when COUNT is absent
  std::tm limitLocal{};          // the earlier of UNTIL and the window end
  EntryList<std::string> byDay;
  EntryList<std::int32_t> byMonthDay;
};

// One event's walk: the rule, its bounds and the starts taken so far.
// Every candidate is DTSTART's wall time as written, moved by whole days
// (weeks, months and years are whole days of the calendar), so no step
// depends on how an earlier one came out on the clock.
struct SeriesWalk {
  RecurrenceRule rule;
  std::tm start{};                // DTSTART, local, normalised
  std::int64_t startDay = 0;      // DTSTART's date as written (civil day number)
  std::int64_t startTime = 0;     // and its time of day, in seconds
  bool untilIsDate = false;
  std::int64_t seriesStart = 0;   // no start before this
  std::int64_t seriesLimit = 0;
  std::int32_t taken = 0;
  LocalClock* clock = nullptr;
  // Each start taken goes to `emit`; it answers false when no later start
  // of the series can give a row that is kept, and the walk ends.
  std::function<bool(const std::tm&)> emit;
  bool stopped = false;
  // Starts on civil days strictly between these two are surely taken (after
  // DTSTART, within the limit) and surely give no row (before the window), so
  // long-running series only count them instead of converting each one.
  std::int64_t quietFromDay = 0;
  std::int64_t quietUntilDay = 0;

  // An UNTIL written as a date excludes its following midnight itself.
  bool withinLimit(std::int64_t t) const { return untilIsDate ? t < seriesLimit : t <= seriesLimit; }
  bool full() const { return taken >= rule.count; }
  bool done() const { return stopped || full(); }
  bool quiet(std::int64_t firstDay, std::int64_t lastDay) const {
    return firstDay > quietFromDay && lastDay < quietUntilDay;
  }
  void takeUnseen(std::int64_t n) {
    if (!full()) taken += static_cast<std::int32_t>(std::min<std::int64_t>(n, std::int64_t{rule.count} - taken));
  }
  // The seconds of DTSTART's time of day on the civil day `day`, and in
  // `occ` how the clock shows it; false when it cannot be converted (so far
  // away that it lies beyond every limit).
  bool atStartTime(std::int64_t day, std::tm& occ, std::int64_t& seconds) const {
    return clock->convert(day * 86400 + startTime, occ, seconds);
  }
  // The seconds of local midnight of the civil day `day`; false as above.
  bool midnightOf(std::int64_t day, std::int64_t& seconds) const {
    std::tm ignored{};
    return clock->convert(day * 86400, ignored, seconds);
  }
  // Takes the start `occ` at `seconds` `times` over (a day the rule names
  // more than once gives equal starts), as far as the series allows.
  void take(const std::tm& occ, std::int64_t seconds, std::int64_t times = 1) {
    if (seconds < seriesStart || !withinLimit(seconds)) return;
    for (std::int64_t n = 0; n < times && !done(); ++n) {
      ++taken;
      if (!emit(occ)) stopped = true;
    }
  }
};

// 0 (Sunday) to 6 for exactly "SU" .. "SA", else -1.
std::int32_t weekdayCodeToIndex(const std::string& code);
extern const char* const weekdayCodes[7];

// Reads the rule of one event and calls `emitOccurrence` for each start, in
// order, until it answers false. Starts on civil days before
// `firstDayWithRows` could give no row; they are counted, not emitted.
void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, LocalClock& clock,
                      std::function<bool(const std::tm&)> emitOccurrence);

// The platform's atoi/atol as 32-bit readers: leading white space, an
// optional sign, digits; 0 without digits; clamped to the 32-bit range.
std::int32_t readWholeNumber32(const std::string& text);
