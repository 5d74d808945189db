#pragma once
// The calendar file reader: the text of one iCalendar file to its day rows.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

// The day rows {"date","time","title"} of the display window around the
// current local date, sorted by date then time, at most 2000.
nlohmann::json parseIcsOccurrences(const std::string& text);
// The same with "now" given as seconds since 1970 UTC, for tests and benchmarks.
nlohmann::json parseIcsOccurrencesAt(const std::string& text, std::int64_t nowSeconds);
