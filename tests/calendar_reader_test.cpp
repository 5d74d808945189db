// The calendar reader from date values to sorted day rows, with a fixed
// "now" of 2026-12-09 12:00 local time: the display window then runs from
// 2026-11-01 up to, not including, 2027-06-01.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "calendar/ics_dates.h"
#include "calendar/ics_reader.h"
#include "calendar/occurrences.h"
#include "calendar/recurrence.h"
#include "platform/platform.h"

namespace {

// One recurring event: its DTSTART, its RRULE, any further lines, and the rows.
struct SeriesCase {
  const char* dtstart;
  const char* rrule;
  std::vector<std::string> more;
  std::vector<std::string> rows;
};

// Sets TZ for one test and puts the old value back afterwards.
class CalendarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    hadZone_ = old != nullptr;
    if (hadZone_) oldZone_ = old;
    useZone("UTC");
  }
  void TearDown() override {
    if (hadZone_) {
      setenv("TZ", oldZone_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void useZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  // 2026-12-09 12:00 in the zone now set.
  static std::int64_t now() { return secondsOfLocal(makeLocal(126, 11, 9, 12, 0, 0)); }
  static std::string calendar(const std::vector<std::string>& eventLines) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    for (const std::string& line : eventLines) text += line + "\r\n";
    return text + "END:VCALENDAR\r\n";
  }
  static std::string event(const std::vector<std::string>& lines) {
    std::string text = "BEGIN:VEVENT\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text + "END:VEVENT";
  }
  // Each row as "date time title", the time and title left out when empty.
  static std::vector<std::string> rowsOf(const nlohmann::json& rows, bool withTitle = false) {
    std::vector<std::string> out;
    for (const auto& row : rows) {
      EXPECT_EQ(row.size(), 3u);
      std::string s = row.at("date").get<std::string>();
      if (!row.at("time").get<std::string>().empty()) s += " " + row.at("time").get<std::string>();
      if (withTitle) s += " " + row.at("title").get<std::string>();
      out.push_back(s);
    }
    return out;
  }
  static std::vector<std::string> rowsFor(const std::vector<std::string>& eventLines, bool withTitle = false) {
    return rowsOf(parseIcsOccurrencesAt(calendar({event(eventLines)}), now()), withTitle);
  }
  // Each case as one event in a calendar of its own, checked against its rows.
  static void expectSeriesRows(const std::vector<SeriesCase>& cases) {
    for (const SeriesCase& c : cases) {
      std::vector<std::string> lines = {std::string("DTSTART:") + c.dtstart, std::string("RRULE:") + c.rrule};
      lines.insert(lines.end(), c.more.begin(), c.more.end());
      EXPECT_EQ(rowsFor(lines), c.rows) << c.dtstart << " " << c.rrule;
    }
  }

 private:
  bool hadZone_ = false;
  std::string oldZone_;
};

// One event's lines and the rows they give.
struct EventCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<std::string> rows;
};

std::vector<std::string> dailyRows(const std::string& time, int year, int month, int firstDay, int count) {
  std::vector<std::string> out;
  std::tm tm{};
  for (int i = 0; i < count; ++i) {
    tm = makeLocal(year - 1900, month - 1, firstDay + i, 0, 0, 0);
    out.push_back(formatIsoDate(tm) + (time.empty() ? "" : " " + time));
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- date values

TEST_F(CalendarTest, DateValuesReadAsLocalDatesAndTimes) {
  struct Case {
    const char* zone;
    std::string text;
    bool ok, allDay;
    const char* local;  // YYYY-MM-DD HH:MM:SS
  } cases[] = {
      {"UTC", "20240315", true, true, "2024-03-15 00:00:00"},
      {"UTC", "20240315T093000", true, false, "2024-03-15 09:30:00"},
      {"XXX-1", "20240315T093000Z", true, false, "2024-03-15 10:30:00"},
      {"XXX-1", "20240315T233000Z", true, false, "2024-03-16 00:30:00"},
      {"XXX-1", "20240315T093000", true, false, "2024-03-15 09:30:00"},
      {"UTC", " 20240315\r", true, true, "2024-03-15 00:00:00"},
      {"UTC", "2024031", false, false, ""},
      {"UTC", "ABCDEFGH", false, false, ""},
      {"UTC", "", false, false, ""},
      {"UTC", "20240315T0930", true, true, "2024-03-15 00:00:00"},
      {"UTC", "20240315X093000", true, true, "2024-03-15 00:00:00"},
      {"UTC", "20240315TAB0000", true, true, "2024-03-15 00:00:00"},
      {"XXX-1", "20240315T093000+0100", true, false, "2024-03-15 09:30:00"},
      {"UTC", "20240230", true, true, "2024-03-01 00:00:00"},
      {"UTC", "20241231T240000", true, false, "2025-01-01 00:00:00"},
      {"Europe/Berlin", "20270328T023000", true, false, "2027-03-28 03:30:00"},  // no such wall time
  };
  for (const Case& c : cases) {
    useZone(c.zone);
    IcsDateValue v = parseIcsDateValue(c.text);
    EXPECT_EQ(v.ok, c.ok) << c.text;
    EXPECT_EQ(v.allDay, c.allDay) << c.text;
    if (!c.ok) {
      EXPECT_EQ(v.local.tm_year, 0) << c.text;
      EXPECT_EQ(v.local.tm_mday, 0) << c.text;
      continue;
    }
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &v.local);
    EXPECT_EQ(std::string(buf), c.local) << c.text << " in " << c.zone;
  }
}

TEST_F(CalendarTest, MakeLocalGivesTheNormalisedTimeAndItsSecondsInOneConversion) {
  useZone("Europe/Berlin");  // 2027-03-28 02:00 to 03:00 is skipped
  struct Case {
    int year1900, month, day, hour, minute, second;
    const char* local;  // YYYY-MM-DD HH:MM:SS
    std::int64_t seconds;
  } cases[] = {
      {127, 2, 28, 1, 59, 59, "2027-03-28 01:59:59", 1806195599},
      {127, 2, 28, 2, 30, 0, "2027-03-28 03:30:00", 1806197400},  // no such wall time
      {127, 1, 29, 24, 0, 60, "2027-03-02 00:01:00", 1803942060},  // fields carry over
  };
  for (const Case& c : cases) {
    const std::uint64_t before = localTimeConversions();
    std::int64_t seconds = 0;
    const std::tm tm = makeLocal(c.year1900, c.month, c.day, c.hour, c.minute, c.second, seconds);
    EXPECT_EQ(localTimeConversions() - before, 1u) << c.local;
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    EXPECT_EQ(std::string(buf), c.local);
    EXPECT_EQ(seconds, c.seconds) << c.local;
    EXPECT_EQ(seconds, secondsOfLocal(tm)) << c.local;
    const std::tm same = makeLocal(c.year1900, c.month, c.day, c.hour, c.minute, c.second);
    EXPECT_EQ(wallSecondsOf(same), wallSecondsOf(tm)) << c.local;
  }
}

TEST(CalendarDates, UtcCivilToEpochAndIsoDates) {
  EXPECT_EQ(utcCivilToEpoch(1970, 0, 1, 0, 0, 0), 0);
  EXPECT_EQ(utcCivilToEpoch(2000, 1, 29, 12, 0, 0), 951825600);
  EXPECT_EQ(utcCivilToEpoch(1969, 11, 31, 23, 59, 59), -1);
  EXPECT_EQ(utcCivilToEpoch(2024, 0, 1, 24, 0, 0), utcCivilToEpoch(2024, 0, 2, 0, 0, 0));
  EXPECT_EQ(utcCivilToEpoch(2024, 2, 0, 0, 0, 0), utcCivilToEpoch(2024, 1, 29, 0, 0, 0));
  EXPECT_EQ(utcCivilToEpoch(-400, 0, 1, 0, 0, 0), -74790000000LL);
  // Extreme fields add up in 64 bits instead of overflowing.
  EXPECT_GT(utcCivilToEpoch(2147483647, 11, 2147483647, 2147483647, 2147483647, 2147483647), 0);

  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 0;
  tm.tm_mday = 5;
  EXPECT_EQ(formatIsoDate(tm), "2024-01-05");
  tm.tm_year = -1900 + 12345;
  EXPECT_EQ(formatIsoDate(tm), "12345-01-05");
  tm.tm_year = -1900 - 5;
  tm.tm_mon = -2;
  tm.tm_mday = 0;
  EXPECT_EQ(formatIsoDate(tm), "-5--1-00");  // fields as they stand
}

// ----------------------------------------------------------- window and rows

TEST_F(CalendarTest, SingleEventsAtTheWindowEdges) {
  EventCase cases[] = {
      {"timed", {"DTSTART:20261215T093000", "SUMMARY:Dentist"}, {"2026-12-15 09:30"}},
      {"just before the window", {"DTSTART:20261031T233000"}, {}},
      {"first moment of the window", {"DTSTART:20261101T000000"}, {"2026-11-01 00:00"}},
      {"last day of the window", {"DTSTART;VALUE=DATE:20270531"}, {"2027-05-31"}},
      {"day after the window", {"DTSTART;VALUE=DATE:20270601"}, {}},
      {"years away", {"DTSTART:19990101T090000"}, {}},
      {"TZID is not applied", {"DTSTART;TZID=America/New_York:20261215T093000"}, {"2026-12-15 09:30"}},
      {"no DTSTART", {"SUMMARY:x", "DTEND:20261215T100000"}, {}},
      {"unreadable DTSTART", {"DTSTART:soon"}, {}},
      {"cancelled", {"DTSTART:20261215T093000", "STATUS:CANCELLED"}, {}},
      {"cancelled in any case", {"DTSTART:20261215T093000", "STATUS:Cancelled"}, {}},
      {"cancelled inside a longer word", {"DTSTART:20261215T093000", "STATUS:X-CANCELLED-LATER"}, {}},
      {"canceled with one L", {"DTSTART:20261215T093000", "STATUS:CANCELED"}, {"2026-12-15 09:30"}},
      {"unreadable DTEND counts as absent", {"DTSTART:20261210", "DTEND:later"}, {"2026-12-10"}},
  };
  for (const EventCase& c : cases) EXPECT_EQ(rowsFor(c.lines), c.rows) << c.name;
  EXPECT_TRUE(parseIcsOccurrencesAt("", now()).is_array());
  EXPECT_EQ(parseIcsOccurrencesAt("", now()).size(), 0u);
  EXPECT_EQ(parseIcsOccurrencesAt(calendar({}), now()).size(), 0u);
}

TEST_F(CalendarTest, WindowFollowsTheCurrentMonth) {
  // In January the window starts in December of the previous year; in July
  // it ends in January of the next.
  std::tm jan = makeLocal(127, 0, 15, 12, 0, 0);
  std::tm jul = makeLocal(127, 6, 15, 12, 0, 0);
  const std::string text = calendar({event({"DTSTART;VALUE=DATE:20261201"}), event({"DTSTART;VALUE=DATE:20261130"}),
                                     event({"DTSTART;VALUE=DATE:20280131"}), event({"DTSTART;VALUE=DATE:20280201"})});
  EXPECT_EQ(rowsOf(parseIcsOccurrencesAt(text, platform::localTimeToSeconds(jan))),
            std::vector<std::string>{"2026-12-01"});
  EXPECT_EQ(rowsOf(parseIcsOccurrencesAt(text, platform::localTimeToSeconds(jul))), std::vector<std::string>{});
  jul.tm_year = 128;  // July 2028: June 2028 up to January 2029
  EXPECT_EQ(rowsOf(parseIcsOccurrencesAt(text, platform::localTimeToSeconds(jul))), std::vector<std::string>{});
  jul.tm_year = 127;
  jul.tm_mon = 7;  // August 2027: July 2027 up to, not including, February 2028
  EXPECT_EQ(rowsOf(parseIcsOccurrencesAt(text, platform::localTimeToSeconds(jul))),
            std::vector<std::string>{"2028-01-31"});
}

TEST_F(CalendarTest, AllDaySpans) {
  EventCase cases[] = {
      {"three days", {"DTSTART;VALUE=DATE:20261210", "DTEND;VALUE=DATE:20261213"}, {"2026-12-10", "2026-12-11", "2026-12-12"}},
      {"no DTEND", {"DTSTART;VALUE=DATE:20261210"}, {"2026-12-10"}},
      {"DTEND equal", {"DTSTART;VALUE=DATE:20261210", "DTEND;VALUE=DATE:20261210"}, {"2026-12-10"}},
      {"DTEND before", {"DTSTART;VALUE=DATE:20261210", "DTEND;VALUE=DATE:20261201"}, {"2026-12-10"}},
      {"thirty days give fourteen", {"DTSTART;VALUE=DATE:20261201", "DTEND;VALUE=DATE:20261231"}, dailyRows("", 2026, 12, 1, 14)},
      {"cut at the window start", {"DTSTART;VALUE=DATE:20261025", "DTEND;VALUE=DATE:20261105"}, dailyRows("", 2026, 11, 1, 4)},
      {"cut at the window end", {"DTSTART;VALUE=DATE:20270530", "DTEND;VALUE=DATE:20270603"}, {"2027-05-30", "2027-05-31"}},
      {"timed start spans nothing", {"DTSTART:20261210T090000", "DTEND:20261212T100000"}, {"2026-12-10 09:00"}},
      {"date-time DTEND of an all-day start", {"DTSTART:20261210", "DTEND:20261211T200000"}, {"2026-12-10", "2026-12-11"}},
      {"DURATION and RDATE are not read", {"DTSTART:20261210", "DURATION:P3D", "RDATE:20261220"}, {"2026-12-10"}},
      {"absurd span still shows fourteen days", {"DTSTART:20261201", "DTEND:99991231"}, dailyRows("", 2026, 12, 1, 14)},
  };
  for (const EventCase& c : cases) EXPECT_EQ(rowsFor(c.lines), c.rows) << c.name;
}

TEST_F(CalendarTest, TitlesAreUnescapedAndTrimmed) {
  struct Case {
    std::vector<std::string> lines;
    std::string title;
  } cases[] = {
      {{"SUMMARY:Dinner\\, drinks\\nand games"}, "Dinner, drinks and games"},
      {{"SUMMARY:a\\;b\\\\c\\Nd\\xe"}, "a;b\\c dxe"},
      {{"SUMMARY:ends in \\"}, "ends in \\"},
      {{"SUMMARY:  padded \\n"}, "padded"},
      {{}, "(No title)"},
      {{"SUMMARY: \t "}, "(No title)"},
      {{"SUMMARY:\\n"}, "(No title)"},
      {{"SUMMARY:Caf\xC3\xA9"}, "Caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = c.lines;
    lines.push_back("DTSTART:20261215T093000");
    nlohmann::json rows = parseIcsOccurrencesAt(calendar({event(lines)}), now());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["title"], c.title);
  }
}

TEST_F(CalendarTest, ExclusionsAndOverrides) {
  const std::string master = event({"UID:u", "DTSTART:20261215T090000", "RRULE:FREQ=DAILY;COUNT=3", "SUMMARY:Master"});
  struct Case {
    const char* name;
    std::vector<std::string> events;
    std::vector<std::string> rows;
  } cases[] = {
      {"EXDATE removes a single event", {event({"DTSTART:20261215T093000", "EXDATE:20261215"})}, {}},
      {"UTC EXDATE removes its whole local date",
       {event({"DTSTART:20261215T093000", "EXDATE:20261215T233000Z"})}, {}},
      {"unreadable EXDATE pieces are ignored",
       {event({"DTSTART:20261215T093000", "EXDATE:bad,,20261216"})}, {"2026-12-15 09:30 x"}},
      {"override replaces one instance",
       {master, event({"UID:u", "RECURRENCE-ID:20261216T090000", "DTSTART:20261216T140000", "SUMMARY:Moved",
                       "RRULE:FREQ=DAILY;COUNT=5"})},
       {"2026-12-15 09:00 Master", "2026-12-16 14:00 Moved", "2026-12-17 09:00 Master"}},
      {"override before its master in the file",
       {event({"UID:u", "RECURRENCE-ID:20261216T090000", "DTSTART:20261218T140000", "SUMMARY:Moved"}), master},
       {"2026-12-15 09:00 Master", "2026-12-17 09:00 Master", "2026-12-18 14:00 Moved"}},
      {"cancelled override hides the instance",
       {master, event({"UID:u", "RECURRENCE-ID:20261216T090000", "DTSTART:20261216T090000", "STATUS:CANCELLED"})},
       {"2026-12-15 09:00 Master", "2026-12-17 09:00 Master"}},
      {"override of another UID hides nothing",
       {master, event({"UID:v", "RECURRENCE-ID:20261216T090000", "DTSTART:20261230T090000", "SUMMARY:Other"})},
       {"2026-12-15 09:00 Master", "2026-12-16 09:00 Master", "2026-12-17 09:00 Master", "2026-12-30 09:00 Other"}},
      {"events without UID are never hidden",
       {event({"DTSTART:20261216T090000", "SUMMARY:Plain"}),
        event({"RECURRENCE-ID:20261216T090000", "DTSTART:20261220T090000", "SUMMARY:NoUid"})},
       {"2026-12-16 09:00 Plain", "2026-12-20 09:00 NoUid"}},
      {"unreadable RECURRENCE-ID: shown once, never expanded, hides nothing",
       {master, event({"UID:u", "RECURRENCE-ID:someday", "DTSTART:20261220T090000", "SUMMARY:Odd",
                       "RRULE:FREQ=DAILY;COUNT=3"})},
       {"2026-12-15 09:00 Master", "2026-12-16 09:00 Master", "2026-12-17 09:00 Master", "2026-12-20 09:00 Odd"}},
      {"exclusion is tested on the first day of a span only",
       {event({"DTSTART;VALUE=DATE:20261210", "DTEND;VALUE=DATE:20261213", "EXDATE;VALUE=DATE:20261211"}),
        event({"DTSTART;VALUE=DATE:20261220", "DTEND;VALUE=DATE:20261222", "EXDATE;VALUE=DATE:20261220"})},
       {"2026-12-10 x", "2026-12-11 x", "2026-12-12 x"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> rows = rowsOf(parseIcsOccurrencesAt(calendar(c.events), now()), true);
    std::vector<std::string> want;
    for (const std::string& r : c.rows) {
      // Cases without a SUMMARY read "(No title)"; "x" stands for it here.
      want.push_back(r.size() > 2 && r.compare(r.size() - 2, 2, " x") == 0 ? r.substr(0, r.size() - 1) + "(No title)" : r);
    }
    EXPECT_EQ(rows, want) << c.name;
  }
}

// The parts an event's rows are made from differ in type: passed in a
// wrong order they do not compile, rather than trade places silently.
static_assert(!std::is_constructible<EventOccurrences, const OccurrenceEvent&, const OverrideKeys&,
                                     const DisplayWindow&, DayRows&, LocalClock&>::value,
              "the window and the override keys cannot trade places");
static_assert(!std::is_constructible<EventOccurrences, const DisplayWindow&, const OccurrenceEvent&,
                                     const OverrideKeys&, DayRows&, LocalClock&>::value,
              "the event and the window cannot trade places");

TEST_F(CalendarTest, EventOccurrencesUseEachPartForItsOwnPurpose) {
  const DisplayWindow window = displayWindowAt(now());
  OverrideKeys overrideKeys;
  overrideKeys.add("Uid", parseIcsDateValue("20261216").local);
  overrideKeys.seal();
  DayRows rows(window);
  LocalClock clock(window.startDay, window.endDay);
  OccurrenceEvent event;
  event.start = parseIcsDateValue("20261215");
  event.title = "Title";
  event.uid = "Uid";
  event.spanDays = 3;
  event.excludedDates.add(parseIcsDateValue("20261220").local);
  event.excludedDates.seal();
  EventOccurrences occurrences(event, window, overrideKeys, rows, clock);
  // The 15th spans three days; the 16th is replaced by an override, the
  // 20th excluded; only a start's own day is tested against either.
  for (const char* day : {"20261215", "20261216", "20261220", "20261221"}) {
    EXPECT_TRUE(occurrences.emitOccurrence(parseIcsDateValue(day).local)) << day;
  }
  EXPECT_EQ(rowsOf(rows.result(), true),
            (std::vector<std::string>{"2026-12-15 Title", "2026-12-16 Title", "2026-12-17 Title", "2026-12-21 Title",
                                      "2026-12-22 Title", "2026-12-23 Title"}));
}

TEST_F(CalendarTest, RowsSortByDateThenTimeAndAreCappedAt2000) {
  nlohmann::json rows = parseIcsOccurrencesAt(
      calendar({event({"DTSTART:20261210T093000", "SUMMARY:c"}), event({"DTSTART:20261210T000000", "SUMMARY:b"}),
                event({"DTSTART:20261210", "SUMMARY:a"}), event({"DTSTART:20261209T235900", "SUMMARY:z"})}),
      now());
  EXPECT_EQ(rowsOf(rows, true), (std::vector<std::string>{"2026-12-09 23:59 z", "2026-12-10 a", "2026-12-10 00:00 b",
                                                          "2026-12-10 09:30 c"}));

  // 2500 hourly events written in a scrambled order: the 2000 earliest stay.
  std::vector<std::string> events;
  for (int i = 0; i < 2500; ++i) {
    const int hour = (i * 7919) % 2500;  // 7919 is prime to 2500: each hour once
    std::tm tm = makeLocal(126, 10, 1 + hour / 24, hour % 24, 0, 0);
    char buf[32];
    std::strftime(buf, sizeof buf, "DTSTART:%Y%m%dT%H%M%S", &tm);
    events.push_back(event({buf}));
  }
  std::vector<std::string> got = rowsOf(parseIcsOccurrencesAt(calendar(events), now()));
  ASSERT_EQ(got.size(), 2000u);
  for (int hour = 0; hour < 2000; ++hour) {
    std::tm tm = makeLocal(126, 10, 1 + hour / 24, hour % 24, 0, 0);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    ASSERT_EQ(got[hour], buf) << hour;
  }
}

TEST(CalendarRows, OrderComparesDateAndTimeAsOneText) {
  auto less = [](const char* ad, const char* at, const char* bd, const char* bt) {
    return occurrenceLessByDateTime(OccurrenceRow{ad, at, "z"}, OccurrenceRow{bd, bt, "a"});
  };
  EXPECT_TRUE(less("2026-12-10", "", "2026-12-10", "00:00"));
  EXPECT_FALSE(less("2026-12-10", "00:00", "2026-12-10", ""));
  EXPECT_TRUE(less("2026-12-10", "09:30", "2026-12-11", ""));
  EXPECT_FALSE(less("2026-12-10", "09:30", "2026-12-10", "09:30"));
  EXPECT_TRUE(less("2026-12-1", "0", "2026-12-10", "1"));  // joined texts, not pairs
  EXPECT_TRUE(less("a", "\x7f", "a", "\x80"));               // bytes compare unsigned
}

// ------------------------------------------------------------- recurrence

TEST_F(CalendarTest, DailySeries) {
  const std::vector<SeriesCase> cases = {
      {"20261201T090000", "FREQ=DAILY;COUNT=3", {}, {"2026-12-01 09:00", "2026-12-02 09:00", "2026-12-03 09:00"}},
      {"20261101T090000", "FREQ=DAILY;INTERVAL=10;COUNT=4", {},
       {"2026-11-01 09:00", "2026-11-11 09:00", "2026-11-21 09:00", "2026-12-01 09:00"}},
      {"20261201T090000", "FREQ=DAILY;BYDAY=MO,FR;COUNT=4", {},
       {"2026-12-04 09:00", "2026-12-07 09:00", "2026-12-11 09:00", "2026-12-14 09:00"}},
      {"20261201T090000", "FREQ=DAILY;BYDAY=1MO", {}, {}},
      {"20261201T090000", "FREQ=DAILY;BYDAY=mo,TU ;COUNT=2", {}, {}},
      {"20261207T090000", "FREQ=DAILY;BYDAY=MO, WE;COUNT=4", {},
       {"2026-12-07 09:00", "2026-12-14 09:00", "2026-12-21 09:00", "2026-12-28 09:00"}},
      {"20261201", "FREQ=DAILY;UNTIL=20261205", {}, dailyRows("", 2026, 12, 1, 5)},
      {"20261201T090000", "FREQ=DAILY;UNTIL=20261205T090000", {}, dailyRows("09:00", 2026, 12, 1, 5)},
      {"20261201T090000", "FREQ=DAILY;UNTIL=20261205T085959", {}, dailyRows("09:00", 2026, 12, 1, 4)},
      {"20261201T090000", "FREQ=DAILY;COUNT=3", {"EXDATE:20261202T090000"}, {"2026-12-01 09:00", "2026-12-03 09:00"}},
      {"20261201T090000", "FREQ=DAILY;INTERVAL=0;COUNT=2", {}, {"2026-12-01 09:00", "2026-12-02 09:00"}},
      {"20261201T090000", "FREQ=DAILY;INTERVAL=-3;COUNT=2", {}, {"2026-12-01 09:00", "2026-12-02 09:00"}},
      {"20261201T090000", "FREQ=DAILY;INTERVAL= 2;COUNT=2", {}, {"2026-12-01 09:00", "2026-12-03 09:00"}},
      {"20261201T090000", "FREQ=DAILY;COUNT=2;COUNT=1", {}, {"2026-12-01 09:00"}},
      {"20270525T090000", "FREQ=DAILY;UNTIL=20280101", {}, dailyRows("09:00", 2027, 5, 25, 7)},
      {"20261210", "FREQ=DAILY;COUNT=2", {"DTEND:20261212"},
       {"2026-12-10", "2026-12-11", "2026-12-11", "2026-12-12"}},
  };
  expectSeriesRows(cases);
}

TEST_F(CalendarTest, DailySeriesEndAtTheStepLimit) {
  // 5000 days from 2013-07-01 end on 2027-03-09.
  std::vector<std::string> rows = rowsFor({"DTSTART:20130701T090000", "RRULE:FREQ=DAILY"});
  ASSERT_EQ(rows.size(), 129u);
  EXPECT_EQ(rows.front(), "2026-11-01 09:00");
  EXPECT_EQ(rows.back(), "2027-03-09 09:00");
  EXPECT_EQ(rowsFor({"DTSTART:20130223T090000", "RRULE:FREQ=DAILY"}), std::vector<std::string>{"2026-11-01 09:00"});
  EXPECT_EQ(rowsFor({"DTSTART:20130201T090000", "RRULE:FREQ=DAILY"}), std::vector<std::string>{});
}

TEST_F(CalendarTest, LongSeriesCountEveryStartBeforeTheWindow) {
  // Ten years of starts before the window still count towards COUNT.
  std::vector<std::string> daily = rowsFor({"DTSTART:20160101T090000", "RRULE:FREQ=DAILY;COUNT=3990"});
  EXPECT_EQ(daily, dailyRows("09:00", 2026, 11, 1, 33));
  EXPECT_EQ(rowsFor({"DTSTART:20160104T090000", "RRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR;COUNT=1700"}),
            (std::vector<std::string>{"2026-11-02 09:00", "2026-11-04 09:00", "2026-11-06 09:00", "2026-11-09 09:00",
                                      "2026-11-11 09:00"}));
  EXPECT_EQ(rowsFor({"DTSTART:20160101T090000", "RRULE:FREQ=MONTHLY;BYDAY=2TU,-1FR;COUNT=263"}),
            (std::vector<std::string>{"2026-11-10 09:00", "2026-11-27 09:00", "2026-12-08 09:00"}));
  // An UNTIL before the window ends such a series without a row.
  EXPECT_EQ(rowsFor({"DTSTART:20160101T090000", "RRULE:FREQ=WEEKLY;UNTIL=20261031T090000"}), std::vector<std::string>{});
  EXPECT_EQ(rowsFor({"DTSTART:20160101", "RRULE:FREQ=DAILY;UNTIL=20261101"}), std::vector<std::string>{"2026-11-01"});
}

TEST_F(CalendarTest, LongSeriesCountTheSameAcrossMonthEndsAndSummerTime) {
  // Ten years of early starts are counted without being converted; the
  // count must still match a start-by-start walk where dates normalise
  // (31st, 29 February, 31 April) and where wall times fall into the
  // spring-forward gap.
  useZone("Europe/Berlin");
  const std::vector<SeriesCase> cases = {
      // 76 months with a 31st from January 2016 to October 2026.
      {"20160131T093000", "FREQ=MONTHLY;COUNT=78", {}, {"2026-12-31 09:30", "2027-01-31 09:30"}},
      // 31 April is 1 May: the first of each month, 126 of them before November 2026.
      {"20160431T093000", "FREQ=MONTHLY;COUNT=127", {}, {"2026-11-01 09:30"}},
      // The last day of February, once a year: 2016 to 2026 are eleven starts.
      {"20160229", "FREQ=MONTHLY;INTERVAL=12;BYMONTHDAY=-1;COUNT=12", {}, {"2027-02-28"}},
      {"20160229", "FREQ=MONTHLY;INTERVAL=12;BYMONTHDAY=-1;COUNT=11", {}, {}},
      // 02:30 on 2016-03-27 does not exist; that day's start is 03:30, the
      // others keep 02:30. 3871 days end on 2026-10-31.
      {"20160327T023000", "FREQ=DAILY;COUNT=3874", {}, {"2026-11-01 02:30", "2026-11-02 02:30", "2026-11-03 02:30"}},
      {"20160327T023000", "FREQ=DAILY;COUNT=3871", {}, {}},
      // 554 Saturdays and 553 Sundays before the window.
      {"20160326T023000", "FREQ=WEEKLY;BYDAY=SA,SU;COUNT=1110", {},
       {"2026-11-01 02:30", "2026-11-07 02:30", "2026-11-08 02:30"}},
  };
  expectSeriesRows(cases);
}

TEST_F(CalendarTest, WeeklySeries) {
  const std::vector<SeriesCase> cases = {
      {"20261001T090000", "FREQ=WEEKLY;COUNT=10", {},
       {"2026-11-05 09:00", "2026-11-12 09:00", "2026-11-19 09:00", "2026-11-26 09:00", "2026-12-03 09:00"}},
      {"20261202T180000", "FREQ=WEEKLY;COUNT=3", {}, {"2026-12-02 18:00", "2026-12-09 18:00", "2026-12-16 18:00"}},
      {"20261202T180000", "FREQ=WEEKLY;BYDAY=MO,WE,FR;COUNT=4", {},
       {"2026-12-02 18:00", "2026-12-04 18:00", "2026-12-07 18:00", "2026-12-09 18:00"}},
      {"20261202T180000", "FREQ=WEEKLY;INTERVAL=2;BYDAY=SU,WE;COUNT=4", {},
       {"2026-12-02 18:00", "2026-12-13 18:00", "2026-12-16 18:00", "2026-12-27 18:00"}},
      {"20261207T090000", "FREQ=WEEKLY;BYDAY=MO, WE;COUNT=4", {},
       {"2026-12-07 09:00", "2026-12-09 09:00", "2026-12-14 09:00", "2026-12-16 09:00"}},
      {"20261202T180000", "FREQ=WEEKLY;BYDAY=XX;COUNT=2", {}, {"2026-12-02 18:00", "2026-12-09 18:00"}},
      {"20261202T180000", "FREQ=WEEKLY;BYDAY=M;COUNT=1", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "FREQ=WEEKLY;BYDAY=MO,MO;COUNT=4", {},
       {"2026-12-07 18:00", "2026-12-07 18:00", "2026-12-14 18:00", "2026-12-14 18:00"}},
      {"20261202T180000", "FREQ=WEEKLY;BYDAY=1MO,-1TH,+2SA;COUNT=3", {},
       {"2026-12-03 18:00", "2026-12-05 18:00", "2026-12-07 18:00"}},
      {"20261205", "FREQ=WEEKLY;BYDAY=SA,SU;UNTIL=20261212", {}, {"2026-12-05", "2026-12-06", "2026-12-12"}},
  };
  expectSeriesRows(cases);
}

TEST_F(CalendarTest, YearlyAndOtherFrequencies) {
  const std::vector<SeriesCase> cases = {
      {"20240229", "FREQ=YEARLY", {}, {}},
      {"20230101", "FREQ=YEARLY", {}, {"2027-01-01"}},
      {"20250115T100000", "FREQ=YEARLY;INTERVAL=2", {}, {"2027-01-15 10:00"}},
      {"20240115T100000", "FREQ=YEARLY;INTERVAL=2", {}, {}},
      {"20240229", "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=1", {}, {}},
      {"18270115T100000", "FREQ=YEARLY", {}, {}},  // two hundred years end the walk first
      {"18280115T100000", "FREQ=YEARLY", {}, {"2027-01-15 10:00"}},
      {"20261202T180000", "FREQ=HOURLY;COUNT=3", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "FREQ=weekly", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "freq=WEEKLY", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "FREQ=DAILY ;COUNT=3", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "FREQ", {}, {"2026-12-02 18:00"}},
      {"20261202T180000", "FREQ=HOURLY;UNTIL=20261130", {}, {}},
      {"20261202T180000", "FREQ=HOURLY;UNTIL=sometime", {}, {"2026-12-02 18:00"}},
  };
  expectSeriesRows(cases);
}

TEST_F(CalendarTest, ZeroOrUnreadableCountGivesNothingWithAnyFrequency) {
  for (const char* freq : {"DAILY", "WEEKLY", "MONTHLY", "YEARLY", "HOURLY"}) {
    for (const char* count : {"0", "abc", "-5"}) {
      const std::string rule = std::string("RRULE:FREQ=") + freq + ";COUNT=" + count;
      EXPECT_EQ(rowsFor({"DTSTART:20261202T180000", rule}), std::vector<std::string>{}) << rule;
    }
  }
}

TEST_F(CalendarTest, HugeIntervalsEndTheSeriesAfterItsFirstStart) {
  // A step of this size lies far beyond every limit; the walk must stop
  // there rather than overflow the day, month or year fields.
  for (const char* freq : {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"}) {
    for (const char* interval : {"2147483647", "400000000", "99999999999", "306783379"}) {
      const std::string rule = std::string("RRULE:FREQ=") + freq + ";INTERVAL=" + interval;
      EXPECT_EQ(rowsFor({"DTSTART:20261202T180000", rule}), std::vector<std::string>{"2026-12-02 18:00"}) << rule;
    }
  }
}

TEST(CalendarRules, WholeNumberAndWeekdayReaders) {
  struct Case {
    const char* text;
    std::int32_t value;
  } numbers[] = {{"12", 12},           {" \t\n\v\f\r7x", 7}, {"+3", 3},   {"-3", -3},     {"abc", 0},
                 {"", 0},              {"- 3", 0},           {"2147483647", 2147483647},
                 {"2147483648", 2147483647}, {"99999999999999999999", 2147483647},
                 {"-2147483648", -2147483647 - 1}, {"-99999999999", -2147483647 - 1}};
  for (const Case& c : numbers) EXPECT_EQ(readWholeNumber32(c.text), c.value) << c.text;

  EXPECT_EQ(weekdayCodeToIndex("SU"), 0);
  EXPECT_EQ(weekdayCodeToIndex("SA"), 6);
  for (const char* bad : {"mo", "Mo", "MO ", "1MO", "", "M", "XX"}) EXPECT_EQ(weekdayCodeToIndex(bad), -1) << bad;
}

// ------------------------------------------------------------------ monthly

TEST_F(CalendarTest, MonthlySeries) {
  const std::vector<SeriesCase> cases = {
      {"20261031T090000", "FREQ=MONTHLY", {}, {"2026-12-31 09:00", "2027-01-31 09:00", "2027-03-31 09:00", "2027-05-31 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=2TU", {},
       {"2026-12-08 09:00", "2027-01-12 09:00", "2027-02-09 09:00", "2027-03-09 09:00", "2027-04-13 09:00", "2027-05-11 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=-1FR", {},
       {"2026-12-25 09:00", "2027-01-29 09:00", "2027-02-26 09:00", "2027-03-26 09:00", "2027-04-30 09:00", "2027-05-28 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=TU;COUNT=6", {},
       {"2026-12-01 09:00", "2026-12-08 09:00", "2026-12-15 09:00", "2026-12-22 09:00", "2026-12-29 09:00", "2027-01-05 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=5WE", {}, {"2026-12-30 09:00", "2027-03-31 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=1MO,-1FR;COUNT=4", {},
       {"2026-12-07 09:00", "2026-12-25 09:00", "2027-01-04 09:00", "2027-01-29 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=-1FR,1MO;COUNT=4", {},
       {"2026-12-07 09:00", "2026-12-25 09:00", "2027-01-04 09:00", "2027-01-29 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=+1MO;COUNT=2", {}, {"2026-12-07 09:00", "2027-01-04 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=0MO", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=-0MO", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=mo", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=XX", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=+MO", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=6MO,-6MO,2147483647MO,-2147483648MO", {}, {}},
      {"20261201", "FREQ=MONTHLY;BYDAY=-2SU;COUNT=2", {}, {"2026-12-20", "2027-01-24"}},
      {"20261207T090000", "FREQ=MONTHLY;BYDAY=1MO, 1WE;COUNT=3", {},
       {"2026-12-07 09:00", "2027-01-04 09:00", "2027-02-01 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYMONTHDAY=1,-1;COUNT=4", {},
       {"2026-12-01 09:00", "2026-12-31 09:00", "2027-01-01 09:00", "2027-01-31 09:00"}},
      {"20261101T090000", "FREQ=MONTHLY;BYMONTHDAY=-31", {},
       {"2026-12-01 09:00", "2027-01-01 09:00", "2027-03-01 09:00", "2027-05-01 09:00"}},
      {"20261101T090000", "FREQ=MONTHLY;BYMONTHDAY=0,32,-32,x", {}, {}},
      {"20261215T090000", "FREQ=MONTHLY;BYMONTHDAY=10,20;COUNT=3", {},
       {"2026-12-20 09:00", "2027-01-10 09:00", "2027-01-20 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=FR;BYMONTHDAY=13;COUNT=3", {},
       {"2026-12-04 09:00", "2026-12-11 09:00", "2026-12-18 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=XX;BYMONTHDAY=13", {}, {}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=;BYMONTHDAY=13;COUNT=2", {}, {"2026-12-13 09:00", "2027-01-13 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;INTERVAL=2;BYDAY=1SU", {}, {"2026-12-06 09:00", "2027-02-07 09:00", "2027-04-04 09:00"}},
      {"20261201T090000", "FREQ=MONTHLY;BYDAY=MO,1MO;COUNT=6", {},
       {"2026-12-07 09:00", "2026-12-07 09:00", "2026-12-14 09:00", "2026-12-21 09:00", "2026-12-28 09:00",
        "2027-01-04 09:00"}},
      {"20261201", "FREQ=MONTHLY;UNTIL=20261231", {}, {"2026-12-01"}},
      {"20261115T090000", "FREQ=MONTHLY;INTERVAL=13", {}, {"2026-11-15 09:00"}},
      {"20251215T090000", "FREQ=MONTHLY;INTERVAL=11", {}, {"2026-11-15 09:00"}},
      {"19400115T090000", "FREQ=MONTHLY;INTERVAL=1", {}, {}},  // 1000 months end in 2023
  };
  expectSeriesRows(cases);
}

TEST_F(CalendarTest, OrdinalBeyond32BitsFailsTheWholeCalendar) {
  const std::string good = event({"DTSTART:20261215T093000", "SUMMARY:Fine"});
  for (const char* rule : {"FREQ=MONTHLY;BYDAY=99999999999MO", "FREQ=MONTHLY;BYDAY=1MO,-2147483649FR",
                           "FREQ=MONTHLY;BYDAY=+000000000000000000000000099999999999999999999TU"}) {
    const std::string text = calendar({good, event({"DTSTART:20261201T090000", std::string("RRULE:") + rule})});
    EXPECT_THROW(parseIcsOccurrencesAt(text, now()), std::out_of_range) << rule;
  }
  // No month visited, or no weekday code: nothing to convert, nothing fails.
  for (const char* rule : {"FREQ=MONTHLY;BYDAY=99999999999MO;COUNT=0", "FREQ=MONTHLY;BYDAY=99999999999XX",
                           "FREQ=WEEKLY;BYDAY=99999999999MO;COUNT=1", "FREQ=MONTHLY;BYDAY=99999999999mo"}) {
    const std::string text = calendar({good, event({"DTSTART:20261201T090000", std::string("RRULE:") + rule})});
    EXPECT_NO_THROW(parseIcsOccurrencesAt(text, now())) << rule;
  }
  const std::string later = calendar({good, event({"DTSTART:20280101T090000", "RRULE:FREQ=MONTHLY;BYDAY=99999999999MO"})});
  EXPECT_EQ(rowsOf(parseIcsOccurrencesAt(later, now())), std::vector<std::string>{"2026-12-15 09:30"});
}

TEST_F(CalendarTest, MonthlyStartsAreTakenInChronologicalOrder) {
  // The days a month names are taken earliest first, whatever order the
  // list gives them in, and a day named twice is taken twice: COUNT shows
  // which ones come first.
  EXPECT_EQ(rowsFor({"DTSTART:20261201T090000", "RRULE:FREQ=MONTHLY;BYMONTHDAY=25,7,1,7;COUNT=3"}),
            (std::vector<std::string>{"2026-12-01 09:00", "2026-12-07 09:00", "2026-12-07 09:00"}));
  EXPECT_EQ(rowsFor({"DTSTART:20261201T090000", "RRULE:FREQ=MONTHLY;BYMONTHDAY=25,7,1,7;COUNT=5"}),
            (std::vector<std::string>{"2026-12-01 09:00", "2026-12-07 09:00", "2026-12-07 09:00", "2026-12-25 09:00",
                                      "2027-01-01 09:00"}));
  EXPECT_EQ(rowsFor({"DTSTART:20261201T090000", "RRULE:FREQ=MONTHLY;BYDAY=-1FR,1MO,1MO;COUNT=2"}),
            (std::vector<std::string>{"2026-12-07 09:00", "2026-12-07 09:00"}));
}

// --------------------------------------------------------- daylight saving

TEST_F(CalendarTest, DaylightSavingChangesInBerlin) {
  useZone("Europe/Berlin");  // summer time from 2027-03-28 02:00 (to 03:00)
  // Weekly, monthly and yearly starts keep DTSTART's wall time.
  EXPECT_EQ(rowsFor({"DTSTART:20270321T090000", "RRULE:FREQ=WEEKLY;COUNT=3"}),
            (std::vector<std::string>{"2027-03-21 09:00", "2027-03-28 09:00", "2027-04-04 09:00"}));
  EXPECT_EQ(rowsFor({"DTSTART:20270321T023000", "RRULE:FREQ=WEEKLY;COUNT=3"}),
            (std::vector<std::string>{"2027-03-21 02:30", "2027-03-28 03:30", "2027-04-04 02:30"}));
  // Daily starts too: only the start on the night of the change moves.
  EXPECT_EQ(rowsFor({"DTSTART:20270327T023000", "RRULE:FREQ=DAILY;COUNT=3"}),
            (std::vector<std::string>{"2027-03-27 02:30", "2027-03-28 03:30", "2027-03-29 02:30"}));
  // An all-day span across the 23-hour day still counts whole days.
  EXPECT_EQ(rowsFor({"DTSTART;VALUE=DATE:20270327", "DTEND;VALUE=DATE:20270330"}),
            (std::vector<std::string>{"2027-03-27", "2027-03-28", "2027-03-29"}));
  // UTC times are shown in local time on both sides of the change.
  EXPECT_EQ(rowsFor({"DTSTART:20270321T080000Z", "RRULE:FREQ=WEEKLY;COUNT=2"}),
            (std::vector<std::string>{"2027-03-21 09:00", "2027-03-28 09:00"}));
  // The window edges are local midnights.
  EXPECT_EQ(rowsFor({"DTSTART:20261031T230000Z"}), std::vector<std::string>{"2026-11-01 00:00"});
  EXPECT_EQ(rowsFor({"DTSTART:20270531T215959Z"}), std::vector<std::string>{"2027-05-31 23:59"});
  EXPECT_EQ(rowsFor({"DTSTART:20270531T220000Z"}), std::vector<std::string>{});
}

TEST_F(CalendarTest, UtcValuesInAZoneEastOfUtc) {
  useZone("XXX-1");
  EXPECT_EQ(rowsFor({"DTSTART:20261215T233000Z", "SUMMARY:Late"}, true),
            std::vector<std::string>{"2026-12-16 00:30 Late"});
  EXPECT_EQ(rowsFor({"DTSTART:20261216T003000", "EXDATE:20261215T233000Z"}), std::vector<std::string>{});
  EXPECT_EQ(rowsFor({"DTSTART:20261201T090000Z", "RRULE:FREQ=DAILY;UNTIL=20261203T090000Z"}),
            (std::vector<std::string>{"2026-12-01 10:00", "2026-12-02 10:00", "2026-12-03 10:00"}));
}

// ------------------------------------------------------ regression inputs

TEST_F(CalendarTest, ManyByDayEntriesOnOldSeries) {
  // A 4 KB rule of 1300 entries once cost seconds and hundreds of megabytes
  // when the series began decades before the window.
  std::string byDay;
  for (int i = 0; i < 1300; ++i) byDay += i ? ",MO" : "MO";
  for (const char* freq : {"MONTHLY", "WEEKLY"}) {
    const std::string rule = std::string("RRULE:FREQ=") + freq + ";BYDAY=" + byDay;
    EXPECT_EQ(rowsFor({"DTSTART:19000101T090000", rule}), std::vector<std::string>{}) << freq;
    std::vector<std::string> rows = rowsFor({"DTSTART:20000103T090000", rule});
    ASSERT_EQ(rows.size(), 2000u) << freq;
    EXPECT_EQ(rows[1299], "2026-11-02 09:00") << freq;
    EXPECT_EQ(rows[1300], "2026-11-09 09:00") << freq;
    EXPECT_EQ(rows[1999], "2026-11-09 09:00") << freq;
  }
}

// -------------------------------------------------------- large calendars

namespace {

// A daily or weekly walk that converts every step, as the walk is defined;
// the reader itself jumps over the steps well before the window. Rows as
// rowsOf gives them (all timed, one day each).
std::vector<std::string> rowsByStepping(const std::string& dtstart, bool weekly, int interval, int count,
                                        const std::vector<int>& weekdays, std::int64_t nowSeconds) {
  const DisplayWindow window = displayWindowAt(nowSeconds);
  const IcsDateValue start = parseIcsDateValue(dtstart);
  const std::int64_t seriesStart = secondsOfLocal(start.local);
  const std::int64_t limit = window.windowEnd;
  std::vector<std::tm> starts;
  int taken = 0;
  if (!weekly) {
    for (int steps = 0; steps < 5000 && taken < count; ++steps) {
      // Each step is DTSTART's wall time moved by whole days; BYDAY reads
      // the day as written.
      const int mday = start.local.tm_mday + steps * interval;
      std::int64_t t = 0;
      const std::tm cur = makeLocal(start.local.tm_year, start.local.tm_mon, mday, start.local.tm_hour,
                                    start.local.tm_min, start.local.tm_sec, t);
      if (t > limit) break;
      const int wday = static_cast<int>(weekdayOfCivilDay(civilDayNumber(1900 + start.local.tm_year, start.local.tm_mon, mday)));
      const bool named = weekdays.empty() || std::find(weekdays.begin(), weekdays.end(), wday) != weekdays.end();
      if (named && t >= seriesStart) {
        ++taken;
        starts.push_back(cur);
      }
    }
  } else {
    std::vector<int> list = weekdays.empty() ? std::vector<int>{start.local.tm_wday} : weekdays;
    std::sort(list.begin(), list.end());
    auto atStartTime = [&start](int mday, std::int64_t& t) {
      return makeLocal(start.local.tm_year, start.local.tm_mon, mday, start.local.tm_hour, start.local.tm_min,
                       start.local.tm_sec, t);
    };
    for (int weeks = 0; weeks < 2000 && taken < count; ++weeks) {
      const int sunday = start.local.tm_mday - start.local.tm_wday + weeks * 7 * interval;
      std::int64_t t = 0;
      atStartTime(sunday, t);
      if (t > limit) break;
      for (int w : list) {
        const std::tm occ = atStartTime(sunday + w, t);
        if (t < seriesStart || t > limit || taken >= count) continue;
        ++taken;
        starts.push_back(occ);
      }
    }
  }
  std::vector<std::string> rows;
  for (const std::tm& s : starts) {
    std::int64_t t = 0;
    makeLocal(s.tm_year, s.tm_mon, s.tm_mday, 0, 0, 0, t);
    if (t < window.windowStart || t >= window.windowEnd) continue;
    char clock[16];
    std::snprintf(clock, sizeof clock, " %02d:%02d", s.tm_hour, s.tm_min);
    rows.push_back(formatIsoDate(s) + clock);
  }
  return rows;
}

}  // namespace

TEST_F(CalendarTest, SeriesBegunLongAgoGiveTheRowsOfAStepByStepWalk) {
  // The walk jumps over years of steps without converting them; the rows
  // must be those of converting every step, each from DTSTART's wall time.
  // Zones with summer time of an hour, of half an hour, a skipped whole day
  // (Apia, 30 December 2011), none.
  struct Rule {
    const char* dtstart;
    bool weekly;
    int interval;
    int count;
    std::vector<int> weekdays;  // BYDAY, Sunday = 0
  };
  const Rule rules[] = {
      {"19950101T023000", false, 1, 1 << 30, {}},       {"19950101T023000", false, 3, 1 << 30, {}},
      {"20000101T021500", false, 2, 1 << 30, {1, 4}},   {"19990101T000000", false, 1, 1 << 30, {}},
      {"20080101T023000", false, 1, 6900, {}},          {"20100115T001500", false, 7, 1 << 30, {}},
      {"19900101T023000", true, 1, 1 << 30, {0, 6}},    {"19900107T000000", true, 2, 1 << 30, {}},
      {"19900101T021500", true, 1, 4500, {1, 3, 5}},    {"19911230T234500", true, 3, 1 << 30, {5}},
  };
  const char* codes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  for (const char* zone : {"Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Pacific/Apia", "Asia/Kolkata"}) {
    useZone(zone);
    for (const Rule& r : rules) {
      std::string rrule = std::string("RRULE:FREQ=") + (r.weekly ? "WEEKLY" : "DAILY") +
                          ";INTERVAL=" + std::to_string(r.interval);
      if (r.count != 1 << 30) rrule += ";COUNT=" + std::to_string(r.count);
      for (std::size_t i = 0; i < r.weekdays.size(); ++i) rrule += (i ? "," : ";BYDAY=") + std::string(codes[r.weekdays[i]]);
      const std::vector<std::string> want =
          rowsByStepping(r.dtstart, r.weekly, r.interval, r.count, r.weekdays, now());
      EXPECT_EQ(rowsFor({std::string("DTSTART:") + r.dtstart, rrule}), want) << zone << " " << r.dtstart << " " << rrule;
    }
  }
}

TEST_F(CalendarTest, SeriesBegunLongAgoAreCountedWithoutConvertingEachStep) {
  // 2000 series begun in 1990 once took about 10 million local-time
  // conversions (1.8 s) for steps that can never reach the window: each
  // step was converted, thousands per series.
  const char* rules[] = {"FREQ=DAILY",
                         "FREQ=DAILY;UNTIL=20100101",
                         "FREQ=DAILY;INTERVAL=3;COUNT=3000",
                         "FREQ=WEEKLY;BYDAY=MO,WE,FR;COUNT=4000",
                         "FREQ=MONTHLY;BYDAY=2TU,-1FR;UNTIL=20200101T000000Z",
                         "FREQ=YEARLY;COUNT=30"};
  for (const char* zone : {"UTC", "Europe/Berlin"}) {
    useZone(zone);
    for (const char* rule : rules) {
      std::vector<std::string> events;
      for (int i = 0; i < 2000; ++i) {
        char start[32];
        std::snprintf(start, sizeof start, "DTSTART:%04d%02d%02dT%02d0000", 1990 + i % 5, 1 + i % 12, 1 + i % 28, 6 + i % 12);
        events.push_back(event({start, std::string("RRULE:") + rule, "SUMMARY:s" + std::to_string(i)}));
      }
      CalendarReadStats stats;
      parseIcsOccurrencesAt(calendar(events), now(), &stats);
      EXPECT_EQ(stats.peakRowsHeld, 0u) << zone << " " << rule;
      EXPECT_LT(stats.localTimeConversions, 2000u * 40) << zone << " " << rule;
    }
  }
}

TEST_F(CalendarTest, RowsOfEqualDateAndTimeComeInTheOrderOfTheSortOfAllRows) {
  // 60 daily series with the same start time but different titles give 3600
  // rows with many of equal date and time: the 2000 returned, titles and
  // their order included, are those the unstable sort of all rows in the
  // order they were produced gives.
  std::vector<std::string> events;
  std::vector<OccurrenceRow> all;
  for (int e = 0; e < 60; ++e) {
    const std::string title = "T" + std::to_string(e % 7) + "-" + std::to_string(e);
    events.push_back(event({"DTSTART:20261101T090000", "RRULE:FREQ=DAILY;COUNT=60", "SUMMARY:" + title}));
    for (int d = 0; d < 60; ++d) {
      all.push_back(OccurrenceRow{formatIsoDate(makeLocal(126, 10, 1 + d, 0, 0, 0)), "09:00", title});
    }
  }
  std::sort(all.begin(), all.end(), occurrenceLessByDateTime);
  all.resize(2000);
  const nlohmann::json rows = parseIcsOccurrencesAt(calendar(events), now());
  ASSERT_EQ(rows.size(), 2000u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(rows[i].at("date"), all[i].date) << i;
    ASSERT_EQ(rows[i].at("title"), all[i].title) << i;
  }
}

TEST_F(CalendarTest, ALargeCalendarHoldsAMillionRowsAtMost) {
  // 6000 daily series from the start of the window give 1.3 million rows,
  // which once were all held (at about 150 bytes each) before the cut at
  // 2000. Past a million only the earliest 2000 are kept; rows of equal
  // date and time then come in file order.
  std::vector<std::string> events;
  for (int e = 0; e < 6000; ++e) {
    events.push_back(event({e < 3 ? "DTSTART:20261101T080000" : "DTSTART:20261101T090000", "RRULE:FREQ=DAILY",
                            "SUMMARY:e" + std::to_string(e)}));
  }
  CalendarReadStats stats;
  const nlohmann::json rows = parseIcsOccurrencesAt(calendar(events), now(), &stats);
  EXPECT_LE(stats.peakRowsHeld, DayRows::kExactRows + 1);
  ASSERT_EQ(rows.size(), 2000u);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(rows[i].at("date"), "2026-11-01") << i;
    ASSERT_EQ(rows[i].at("time"), i < 3 ? "08:00" : "09:00") << i;
  }
}

TEST_F(CalendarTest, TitlesOfMoreThanTwoMegabytesFailTheCalendar) {
  // 2000 rows of a 1001-byte title would put 2 MB of text in the result;
  // one long title repeated on every row is how a calendar of 20 MB once
  // grew to gigabytes of rows.
  auto tenSeries = [](const std::string& title) {
    std::vector<std::string> events;
    for (int i = 0; i < 10; ++i) events.push_back(event({"DTSTART:20261101T090000", "RRULE:FREQ=DAILY", "SUMMARY:" + title}));
    return calendar(events);
  };
  try {
    parseIcsOccurrencesAt(tenSeries(std::string(1001, 'x')), now());
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), kTooMuchTitleText);
  }
  // 1000 bytes each is still shown.
  EXPECT_EQ(parseIcsOccurrencesAt(tenSeries(std::string(1000, 'x')), now()).size(), 2000u);
}

TEST_F(CalendarTest, HugeRuleListsCostLittle) {
  // A BYDAY or BYMONTHDAY list of 300,000 entries (1 MB) once held a text
  // per entry and, for an old series, converted every entry of every week.
  std::string byDay, byMonthDay;
  for (int i = 0; i < 300000; ++i) {
    byDay += i ? (i % 2 ? ",TU" : ",MO") : "MO";
    byMonthDay += i ? ",1" : "1";
  }
  CalendarReadStats stats;
  std::vector<std::string> weekly =
      rowsOf(parseIcsOccurrencesAt(calendar({event({"DTSTART:20000103T090000", "RRULE:FREQ=WEEKLY;BYDAY=" + byDay})}),
                                   now(), &stats));
  EXPECT_LT(stats.localTimeConversions, 20000u);
  ASSERT_EQ(weekly.size(), 2000u);
  // 150,000 Mondays a week: every row kept is on the first Monday.
  EXPECT_EQ(weekly.front(), "2026-11-02 09:00");
  EXPECT_EQ(weekly.back(), "2026-11-02 09:00");
  std::vector<std::string> monthly = rowsOf(parseIcsOccurrencesAt(
      calendar({event({"DTSTART:20000101T090000", "RRULE:FREQ=MONTHLY;BYMONTHDAY=" + byMonthDay})}), now(),
      &stats));
  EXPECT_LT(stats.localTimeConversions, 20000u);
  ASSERT_EQ(monthly.size(), 2000u);
  EXPECT_EQ(monthly.front(), "2026-11-01 09:00");
  EXPECT_EQ(monthly.back(), "2026-11-01 09:00");
}
