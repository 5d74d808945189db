#pragma once
// Recurrence rules: an event's RRULE to its occurrence starts.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "calendar/ics_dates.h"

struct RecurrenceRule {
  std::string freq;
  std::int32_t interval = 1;
  std::int32_t count = 1 << 30;  // no practical limit when COUNT is absent
  std::tm limitLocal{};          // the earlier of UNTIL and the window end
  std::vector<std::string> byDay;
  std::vector<std::int32_t> byMonthDay;
};

// One event's walk: the rule, its bounds and the starts taken so far.
struct SeriesWalk {
  RecurrenceRule rule;
  std::tm start{};                // DTSTART, local, normalised
  bool untilIsDate = false;
  std::int64_t seriesStart = 0;   // no start before this
  std::int64_t seriesLimit = 0;
  std::vector<std::tm> candidateStarts;
  std::int32_t taken = 0;
  // Starts on civil days strictly between these two are surely taken (after
  // DTSTART, within the limit) and surely give no row (before the window), so
  // long-running series only count them instead of converting each one.
  std::int64_t quietFromDay = 0;
  std::int64_t quietUntilDay = 0;

  // An UNTIL written as a date excludes its following midnight itself.
  bool withinLimit(std::int64_t t) const { return untilIsDate ? t < seriesLimit : t <= seriesLimit; }
  bool full() const { return taken >= rule.count; }
  void take(const std::tm& occ) {
    candidateStarts.push_back(occ);
    ++taken;
  }
  bool quiet(std::int64_t firstDay, std::int64_t lastDay) const {
    return firstDay > quietFromDay && lastDay < quietUntilDay;
  }
  void takeUnseen(std::int64_t n) {
    if (!full()) taken += static_cast<std::int32_t>(std::min<std::int64_t>(n, std::int64_t{rule.count} - taken));
  }
  // DTSTART's time of day on the date of `day`, normalised; returns its seconds.
  std::int64_t atStartTime(const std::tm& day, std::tm& occ) const;
};

// 0 (Sunday) to 6 for exactly "SU" .. "SA", else -1.
std::int32_t weekdayCodeToIndex(const std::string& code);
extern const char* const weekdayCodes[7];

// Reads the rule of one event and calls `emitOccurrence` for each start, in
// order, once all have been collected. Starts on civil days before
// `firstDayWithRows` could give no row; they are counted, not emitted.
void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, const std::function<void(const std::tm&)>& emitOccurrence);

// The MONTHLY walk over `walk`'s rule.
void expandMonthly(SeriesWalk& walk);

// Ascending by the seconds of each element; the elements are not changed.
void sortTmChronologically(std::vector<std::tm>& list);

// The platform's atoi/atol as 32-bit readers: leading white space, an
// optional sign, digits; 0 without digits; clamped to the 32-bit range.
std::int32_t readWholeNumber32(const std::string& text);
