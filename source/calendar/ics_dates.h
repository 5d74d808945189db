#pragma once
// Date and date-time values of calendar files, in the computer's local time.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct IcsDateValue {
  std::tm local{};        // broken-down local time of the value
  bool allDay = false;    // read as a date without time of day
  bool ok = false;        // false: every field is zero and must not be used
  std::int64_t wall = 0;  // the wall time as written (wallSecondsOf); a series steps from it
};

// DTSTART, DTEND, RECURRENCE-ID, EXDATE or UNTIL value text to local time.
// A date-time ending in "Z" is UTC; every other value is local wall time.
IcsDateValue parseIcsDateValue(const std::string& value);

// Proleptic Gregorian civil time (month 0-11) to seconds since 1970 UTC.
// Out-of-range fields simply add (hour 24 is the next day).
std::int64_t utcCivilToEpoch(std::int32_t year, std::int32_t month, std::int32_t day,
                             std::int32_t hour, std::int32_t minute, std::int32_t second);

// YYYY-MM-DD of the fields as they stand, without normalising.
std::string formatIsoDate(const std::tm& tm);

// A local time lies less than this many days from the place its civil date
// gives it: even a zone that skipped a whole calendar day moved dates by one.
// Days farther than this from a bound are surely on the same side of it.
constexpr std::int64_t kLocalDaySlack = 3;

// Days since 1970-01-01 of a civil date (month 0-11); wide enough for any
// broken-down fields.
std::int64_t civilDayNumber(std::int64_t year, std::int64_t month, std::int64_t day);

// The civil date (month 0-11) of a day number; the inverse of civilDayNumber.
void civilDateOf(std::int64_t dayNumber, std::int64_t& year, std::int64_t& month, std::int64_t& day);

// The number of days of a civil month (0-11) of the proleptic Gregorian calendar.
std::int32_t daysInMonth(std::int64_t year, std::int64_t month);

// The weekday (0 Sunday to 6 Saturday) of a civil day number.
inline std::int64_t weekdayOfCivilDay(std::int64_t dayNumber) {
  return ((dayNumber + 4) % 7 + 7) % 7;  // day 0, 1970-01-01, was a Thursday
}

// The civil day number of a broken-down time's date fields.
std::int64_t civilDayOf(const std::tm& tm);

// The civil seconds of a broken-down time's fields read as UTC: wall-clock
// times as one number, for arithmetic on them. Out-of-range fields carry
// over (month 12 is January of the next year).
std::int64_t wallSecondsOf(const std::tm& tm);

// The fields of a wall time (wallSecondsOf) as they stand on the clock:
// date, time of day, weekday and day of the year; false when the year does
// not fit the record.
bool wallFieldsOf(std::int64_t wall, std::tm& out);

// The local time of a wall time: the wall time itself, unless a clock
// change skipped it, and then as read with the offset from before the
// change; a wall time the change repeats is its first occurrence. Returns
// its seconds since 1970 UTC, or false when the platform cannot convert it.
// It depends on nothing but the wall time and the time zone.
bool localTimeAtWall(std::int64_t wall, std::tm& local, std::int64_t& seconds);

// Normalises `tm` in place (out-of-range fields carry over, then as
// localTimeAtWall) and returns its seconds, or -1 when it cannot be
// converted (`tm` then holds the carried-over fields).
std::int64_t normaliseLocal(std::tm& tm);

// The seconds of a broken-down local time: a copy normalised; `tm` itself is
// not changed.
std::int64_t secondsOfLocal(const std::tm& tm);

// Seconds to local broken-down time; false when the platform cannot convert.
bool localTimeOf(std::int64_t seconds, std::tm& out);

// How many local-time conversions this thread has made, for the figures
// of tests and benchmarks.
std::uint64_t localTimeConversions();

// A broken-down time with only the given fields set, normalised: the one
// way the reader builds a local time from fields. Out-of-range fields carry
// over (day 32 is in the next month). Each call is one local-time conversion.
std::tm makeLocal(int year1900, int month, int day, int hour, int minute, int second);
// The same, with its seconds since 1970 UTC (-1 where the platform cannot
// convert it).
std::tm makeLocal(int year1900, int month, int day, int hour, int minute, int second, std::int64_t& seconds);

// Local times of wall times for one reading of a calendar. Each day from
// `firstDay` to `lastDay` (civil day numbers) is looked at once: on a day
// whose clock no change moves, every wall time is shown as it is and its
// seconds are the wall time less the day's offset, with no platform call.
// Other days, and wall times outside the span, are converted one by one.
// The answers are localTimeAtWall's.
class LocalClock {
 public:
  LocalClock(std::int64_t firstDay, std::int64_t lastDay);
  bool convert(std::int64_t wall, std::tm& local, std::int64_t& seconds);

 private:
  struct Day {
    enum State : unsigned char { unknown, plain, moved } state = unknown;
    std::int64_t offset = 0;  // wall less seconds, on a plain day
    std::tm midnight{};       // the day's local midnight, on a plain day
  };
  std::int64_t firstDay_;
  std::vector<Day> days_;
};
