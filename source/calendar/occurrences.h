#pragma once
// Occurrence starts to day rows: the display window, exclusions, overrides,
// all-day spans, the sort and the cap of the calendar reader.
#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <map>
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
  // Whether the civil day `day` is a day of the window. A row belongs to
  // the window by its own date, even where the local midnight of a bound
  // is a wall time that a clock change skipped.
  bool holdsDay(std::int64_t day) const { return day >= startDay && day < endDay; }
};

DisplayWindow displayWindowAt(std::int64_t nowSeconds);

// At most this many rows are returned, the earliest by date and time.
constexpr std::size_t kMaxRows = 2000;
// The titles of the rows returned hold at most this many bytes in all (a few
// rows with titles of megabytes would otherwise be copied 2000 times over).
constexpr std::size_t kMaxTitleBytes = 2000000;
extern const char* const kTooMuchTitleText;

// The day rows of one reader call. Each row is held as a key that orders
// exactly as its date and time texts do (occurrenceLessByDateTime) and the
// number of its event's title, so that a row costs 8 bytes, not three texts.
//
// Up to kExactRows rows are all held and sorted at the end with the same
// unstable sort as ever, so rows of equal date and time come out in the order
// that sort has always given them. A calendar with more rows than that keeps
// only the kMaxRows earliest from then on, rows of equal date and time in the
// order they were produced; `canKeep` then tells a series when its later
// starts can no longer be among them.
class DayRows {
 public:
  static constexpr std::size_t kExactRows = 1000000;

  explicit DayRows(const DisplayWindow& window);

  // The key of a row on the date of `day` (a day of the window) at
  // hour:minute, or all-day.
  std::uint32_t keyOf(const std::tm& day, bool allDay, int hour, int minute) const;
  // False once a row with this key, produced now or later, cannot be among
  // the rows returned.
  bool canKeep(std::uint32_t key) const;
  void add(std::uint32_t key, std::uint32_t title);
  std::uint32_t addTitle(std::string title);

  // True once only the earliest rows are kept.
  bool keepsEarliestOnly() const { return keepingEarliest_; }
  // The most rows held at once, for tests.
  std::size_t peakHeld() const { return peakHeld_; }

  // The sorted, capped rows as {"date","time","title"} objects. Fails with
  // a message for the family when their titles hold more than
  // kMaxTitleBytes in all.
  nlohmann::json result();

 private:
  struct HeldRow {
    std::uint32_t key;
    std::uint32_t title;
  };
  struct RankedRow {
    std::uint32_t key;
    std::uint32_t title;
    std::uint64_t order;  // production order, for rows of equal key
  };
  static bool rankedBefore(const RankedRow& a, const RankedRow& b);
  void startKeepingEarliest();
  OccurrenceRow rowText(std::uint32_t key, std::uint32_t title) const;

  int yearFirst_ = 0;  // of the window's one or two years, the one whose date texts sort first
  int yearSecond_ = 0;
  std::vector<std::string> titles_;
  std::vector<HeldRow> all_;         // while every row is held
  std::vector<RankedRow> earliest_;  // afterwards: a max-heap of the earliest kMaxRows
  bool keepingEarliest_ = false;
  std::uint64_t produced_ = 0;
  std::size_t peakHeld_ = 0;
};

// The instances that events with RECURRENCE-ID replace: for each UID, the
// civil days of the dates replaced ("UID|YYYY-MM-DD" keys; normalised dates
// of different days always write different texts).
class OverrideKeys {
 public:
  void add(const std::string& uid, const std::tm& date) { days_[uid].push_back(civilDayOf(date)); }
  void seal();  // after the last add
  // The replaced days of `uid`, sorted; null when it has none.
  const std::vector<std::int64_t>* daysOf(const std::string& uid) const;

 private:
  std::map<std::string, std::vector<std::int64_t>, std::less<>> days_;
};

// The dates an event's EXDATE values name, held as the date fields their
// YYYY-MM-DD texts are written from (different fields always write
// different texts), 12 bytes each: an EXDATE list can fill a whole file.
class ExcludedDates {
 public:
  void add(const std::tm& date) { dates_.push_back(Fields{date.tm_year, date.tm_mon, date.tm_mday}); }
  void seal();  // after the last add
  bool contains(const std::tm& date) const;

 private:
  struct Fields {
    int year, month, day;
    bool operator<(const Fields& o) const {
      return year != o.year ? year < o.year : month != o.month ? month < o.month : day < o.day;
    }
    bool operator==(const Fields& o) const { return year == o.year && month == o.month && day == o.day; }
  };
  std::vector<Fields> dates_;
};

// What the reader takes from one event for its rows. Filled member by
// member, by name: several members share a type and must not trade places.
struct OccurrenceEvent {
  IcsDateValue start;
  std::string title;
  std::string uid;
  bool isOverride = false;    // the event replaces one instance of a series (RECURRENCE-ID)
  std::int32_t spanDays = 1;  // days each occurrence covers
  ExcludedDates excludedDates;
};

// One event's occurrences turned into rows of the calendar's `rows`. The
// four parts differ in type, so none can be passed in another's place.
class EventOccurrences {
 public:
  // `overrideKeys`: the instances that other events replace; `clock`
  // converts the later days of a start that spans several.
  EventOccurrences(const OccurrenceEvent& event, const DisplayWindow& window, const OverrideKeys& overrideKeys,
                   DayRows& rows, LocalClock& clock);

  // Adds the 0 to 14 rows of one occurrence starting at `candidate`. Returns
  // false when neither it nor any later start of the series can give a row
  // that is kept; the series may stop there.
  bool emitOccurrence(const std::tm& candidate);

 private:
  const OccurrenceEvent& event_;
  const DisplayWindow& window_;
  const std::vector<std::int64_t>* replacedDays_;  // of this event's UID, when it can be replaced
  DayRows& rows_;
  LocalClock& clock_;
  std::int64_t titleNumber_ = -1;  // the title's number in `rows_`, once it has a row
};

// date + time of a before that of b, bytewise; the title is not compared.
bool occurrenceLessByDateTime(const OccurrenceRow& a, const OccurrenceRow& b);
