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

// The wall-clock stretches that local time skips where clocks are set
// forward. Wall times outside them are kept as they are by the local-time
// conversion, so a series can step over years of such days by arithmetic
// and convert only where a step lands in a skipped stretch. They are found
// by reading the UTC offset of the platform's conversion every 12 hours
// (the changes of a time zone lie days apart) and narrowing each change
// down to the second; the span of time read grows as the series of one
// calendar need it.
class SkippedWallTimes {
 public:
  // The smallest k from 1 to `last` for which the wall time from + k * step
  // (wall seconds, wallSecondsOf) is skipped, or last + 1 when none is. A
  // span the conversion cannot read counts as skipped at k = 1, so the
  // caller then steps one by one.
  std::int64_t firstSkipped(std::int64_t from, std::int64_t step, std::int64_t last);
  bool isSkipped(std::int64_t wall) { return firstSkipped(wall - 1, 1, 1) == 1; }

 private:
  struct Stretch {
    std::int64_t wallFrom;  // skipped: wallFrom <= wall < wallTo
    std::int64_t wallTo;
  };
  bool offsetAt(std::int64_t utc, std::int64_t& offset);
  bool read(std::int64_t from, std::int64_t to);
  bool cover(std::int64_t from, std::int64_t to);

  std::vector<Stretch> stretches_;  // sorted, not overlapping
  bool covered_ = false;
  std::int64_t coveredFrom_ = 0;  // UTC seconds read so far
  std::int64_t coveredTo_ = 0;
  std::int64_t credit_ = 0;  // readings the steps converted one by one have paid for
};

// One event's walk: the rule, its bounds and the starts taken so far.
struct SeriesWalk {
  RecurrenceRule rule;
  std::tm start{};                // DTSTART, local, normalised
  bool untilIsDate = false;
  std::int64_t seriesStart = 0;   // no start before this
  std::int64_t seriesLimit = 0;
  std::int32_t taken = 0;
  // Each start taken goes to `emit`; it answers false when no later start
  // of the series can give a row that is kept, and the walk ends.
  std::function<bool(const std::tm&)> emit;
  bool stopped = false;
  SkippedWallTimes* skipped = nullptr;
  // Starts on civil days strictly between these two are surely taken (after
  // DTSTART, within the limit) and surely give no row (before the window), so
  // long-running series only count them instead of converting each one.
  std::int64_t quietFromDay = 0;
  std::int64_t quietUntilDay = 0;

  // An UNTIL written as a date excludes its following midnight itself.
  bool withinLimit(std::int64_t t) const { return untilIsDate ? t < seriesLimit : t <= seriesLimit; }
  bool full() const { return taken >= rule.count; }
  bool done() const { return stopped || full(); }
  // Starts go to `emit` in batches, after the conversions that found them,
  // so the conversions run in the same order whatever `emit` converts.
  // Once a calendar keeps only its earliest rows, each start goes at once,
  // so a series stops as soon as its starts sort too late.
  std::vector<std::tm> pending;
  std::size_t batch = 4096;
  void take(const std::tm& occ) {
    ++taken;
    pending.push_back(occ);
    if (pending.size() >= batch) emitPending();
  }
  // Takes the start that `convert` makes `times` over: a day the rule names
  // more than once gives equal starts. It is converted again only when the
  // conversions could answer differently, that is when converting it moved
  // the last conversion's UTC offset. `convert(occ, t)` fills the start and
  // its seconds, or answers false when there is no such day.
  template <typename Convert>
  void takeRepeated(std::int64_t times, Convert convert) {
    bool repeats = false;
    bool ok = false;
    std::tm occ{};
    std::int64_t t = 0;
    for (std::int64_t n = 0; n < times && !(repeats && full()); ++n) {
      if (!repeats) {
        const std::int64_t before = lastConversionOffset();
        ok = convert(occ, t);
        repeats = lastConversionOffset() == before;
      }
      if (!ok || t < seriesStart || !withinLimit(t) || full()) continue;
      take(occ);
      if (stopped) return;
    }
  }
  void emitPending() {
    for (const std::tm& occ : pending) {
      if (!emit(occ)) {
        stopped = true;
        break;
      }
    }
    pending.clear();
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
// order, until it answers false. Starts on civil days before
// `firstDayWithRows` could give no row; they are counted, not emitted.
void expandRecurrence(const std::string& rruleText, const IcsDateValue& eventStart, const std::tm& windowEndLocal,
                      std::int64_t firstDayWithRows, SkippedWallTimes& skipped, bool emitAtOnce,
                      std::function<bool(const std::tm&)> emitOccurrence);

// The platform's atoi/atol as 32-bit readers: leading white space, an
// optional sign, digits; 0 without digits; clamped to the 32-bit range.
std::int32_t readWholeNumber32(const std::string& text);
