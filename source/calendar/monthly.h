#pragma once
// The MONTHLY walk: BYDAY with or without ordinals, BYMONTHDAY from either
// end of the month, else DTSTART's own day of the month.
#include <cstdint>
#include <string>

#include "calendar/recurrence.h"

// One BYDAY entry of a MONTHLY rule checked against ^([+-]?\d+)?([A-Z]{2})$,
// once per rule rather than once per month: the result does not depend on
// the month.
struct ByDayEntry {
  std::int32_t weekday = -1;  // -1: the entry names nothing
  bool hasOrdinal = false;
  bool ordinalOutOfRange = false;
  std::int64_t ordinal = 0;
};

ByDayEntry readByDayEntry(const std::string& entry);

// The MONTHLY walk over `walk`'s rule.
void expandMonthly(SeriesWalk& walk);
