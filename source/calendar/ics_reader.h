#pragma once
// The calendar file reader: the text of one iCalendar file to its day rows.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The day rows {"date","time","title"} of the display window around the
// current local date, sorted by date then time, at most 2000.
nlohmann::json parseIcsOccurrences(const std::string& text);

// What one reading cost, for tests and benchmarks.
struct CalendarReadStats {
  std::uint64_t localTimeConversions = 0;  // calls of the platform's local-time conversions
  std::size_t peakRowsHeld = 0;            // the most day rows held at once
};

// The same with "now" given as seconds since 1970 UTC, for tests and benchmarks.
nlohmann::json parseIcsOccurrencesAt(const std::string& text, std::int64_t nowSeconds,
                                     CalendarReadStats* stats = nullptr);
