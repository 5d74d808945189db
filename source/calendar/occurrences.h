#pragma once
// Occurrence starts to day rows: the display window, exclusions, overrides,
// all-day spans, the sort and the cap of the calendar reader.
#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "calendar/ics_dates.h"

struct OccurrenceRow {
  std::string date;   // YYYY-MM-DD, local
  std::string time;   // HH:MM, or "" for an all-day row
  std::string title;
};

// First day of the previous month up to (not including) the first day of the
// month six months ahead, in local time.
struct DisplayWindow {
  std::tm windowStartLocal{};
  std::tm windowEndLocal{};
  std::int64_t windowStart = 0;
  std::int64_t windowEnd = 0;
  // Civil day numbers of the two bounds, to pass over far-away days without
  // any local-time conversion.
  std::int64_t startDay = 0;
  std::int64_t endDay = 0;

  // The earliest civil day on which an occurrence could still give a row.
  std::int64_t firstDayWithRows() const;
};

DisplayWindow displayWindowAt(std::int64_t nowSeconds);

using DateSet = std::set<std::string, std::less<>>;

// What one event's occurrences are turned into rows with.
struct EventOccurrences {
  const DateSet& excludedDates;
  bool isOverride;
  const std::string& eventUid;
  const DateSet& overrideKeys;
  std::int32_t spanDays;
  const DisplayWindow& window;
  std::vector<OccurrenceRow>& rows;
  const IcsDateValue& eventStart;
  const std::string& eventTitle;
  std::string keyBuffer;  // reused for the override key of each candidate

  // Appends the 0 to 14 rows of one occurrence starting at `candidate`.
  void emitOccurrence(const std::tm& candidate);
};

// date + time of a before that of b, bytewise; the title is not compared.
bool occurrenceLessByDateTime(const OccurrenceRow& a, const OccurrenceRow& b);
void sortOccurrencesByDateTime(std::vector<OccurrenceRow>& rows);
