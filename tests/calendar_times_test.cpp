// Local wall times the clock change repeats or skips: a series keeps the
// wall time it is written with, a time that does not exist is read with the
// offset from before the change, a repeated one is its first occurrence,
// and no event's rows depend on the events read before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "calendar/ics_reader.h"
#include "support/helpers.h"

namespace {

class CalendarTimesTest : public ::testing::Test {
 protected:
  void useZone(const char* zone) {
    env_->set("TZ", zone);
    tzset();
  }
  void TearDown() override {
    env_.reset();  // puts TZ back, to be read again
    tzset();
  }
  // Noon local time on a day: noon is never repeated or skipped.
  static std::int64_t noonOn(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
  }
  static std::string event(const std::string& title, const std::vector<std::string>& lines) {
    std::string text = "BEGIN:VEVENT\r\nUID:" + title + "@times\r\nSUMMARY:" + title + "\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text + "END:VEVENT\r\n";
  }
  static std::string calendar(const std::vector<std::string>& events) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    for (const std::string& e : events) text += e;
    return text + "END:VCALENDAR\r\n";
  }
  // The rows of each title, "date time" (time left out when empty), in the
  // order the reader gives them.
  static std::map<std::string, std::vector<std::string>> rowsByTitle(const std::string& text, std::int64_t now) {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& row : parseIcsOccurrencesAt(text, now)) {
      std::string s = row.at("date").get<std::string>();
      if (!row.at("time").get<std::string>().empty()) s += " " + row.at("time").get<std::string>();
      out[row.at("title").get<std::string>()].push_back(s);
    }
    return out;
  }
  static std::vector<std::string> rowsOfTitle(const std::string& text, std::int64_t now, const std::string& title) {
    auto all = rowsByTitle(text, now);
    return all[title];
  }

 private:
  std::unique_ptr<testsupport::ScopedEnv> env_ = std::make_unique<testsupport::ScopedEnv>();
};

// Events that came before a series in the files where it lost or moved
// rows: a single event after the change, daily series that ended years
// ago, and series whose wall times the changes repeat or skip.
std::vector<std::string> company() {
  auto e = [](const std::string& t, const std::vector<std::string>& l) {
    std::string text = "BEGIN:VEVENT\r\nUID:" + t + "\r\nSUMMARY:" + t + "\r\n";
    for (const std::string& line : l) text += line + "\r\n";
    return text + "END:VEVENT\r\n";
  };
  return {
      e("other-single", {"DTSTART:20270115T100000"}),
      e("other-old-daily", {"DTSTART:20200101T013000", "RRULE:FREQ=DAILY;UNTIL=20230101"}),
      e("other-old-daily-2", {"DTSTART:20190310T023000", "RRULE:FREQ=DAILY;COUNT=1500"}),
      e("other-fold", {"DTSTART:20261101T014500", "RRULE:FREQ=WEEKLY;COUNT=3"}),
      e("other-gap", {"DTSTART:20270314T024500"}),
      e("other-apia", {"DTSTART:20111229", "RRULE:FREQ=DAILY;COUNT=3"}),
      e("other-kathmandu", {"DTSTART:19851231T234500", "RRULE:FREQ=DAILY;COUNT=2"}),
      e("other-santiago", {"DTSTART:20260905T233000", "RRULE:FREQ=DAILY;COUNT=3"}),
      e("other-lord-howe", {"DTSTART:20270404T013000"}),
  };
}

struct TimeCase {
  const char* zone;
  int nowYear, nowMonth, nowDay;  // "now", at noon; the window is the month before to six months after
  std::vector<std::string> lines;
  std::vector<std::string> rows;
};

}  // namespace

TEST_F(CalendarTimesTest, RepeatedAndSkippedWallTimesAloneAndAfterOtherEvents) {
  const TimeCase cases[] = {
      // New York: 01:00-01:59 twice on 2026-11-01, 02:00-02:59 skipped on 2027-03-14.
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261101T013000", "RRULE:FREQ=DAILY;COUNT=3"},
       {"2026-11-01 01:30", "2026-11-02 01:30", "2026-11-03 01:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261101T013000", "RRULE:FREQ=WEEKLY;BYDAY=SU;COUNT=2"},
       {"2026-11-01 01:30", "2026-11-08 01:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261101T063000Z"}, {"2026-11-01 01:30"}},  // the second 01:30
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261101T005959"}, {"2026-11-01 00:59"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261101T020000"}, {"2026-11-01 02:00"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20261030T013000", "RRULE:FREQ=DAILY;UNTIL=20261101T013000"},
       {"2026-11-01 01:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270310T023000", "RRULE:FREQ=DAILY;COUNT=8"},
       {"2027-03-10 02:30", "2027-03-11 02:30", "2027-03-12 02:30", "2027-03-13 02:30", "2027-03-14 03:30",
        "2027-03-15 02:30", "2027-03-16 02:30", "2027-03-17 02:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270314T023000", "RRULE:FREQ=DAILY;COUNT=2"},
       {"2027-03-14 03:30", "2027-03-15 02:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270312T023000", "RRULE:FREQ=DAILY;UNTIL=20270314T023000"},
       {"2027-03-12 02:30", "2027-03-13 02:30", "2027-03-14 03:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20260314T023000", "RRULE:FREQ=YEARLY"}, {"2027-03-14 03:30"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270214T020000", "RRULE:FREQ=MONTHLY;COUNT=3"},
       {"2027-02-14 02:00", "2027-03-14 03:00", "2027-04-14 02:00"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270314T015959"}, {"2027-03-14 01:59"}},
      {"America/New_York", 2026, 12, 9, {"DTSTART:20270314T030000"}, {"2027-03-14 03:00"}},
      // Berlin: 02:00-02:59 skipped on 2027-03-28, twice on 2027-10-31.
      {"Europe/Berlin", 2026, 12, 9, {"DTSTART:20270326T023000", "RRULE:FREQ=DAILY;COUNT=4"},
       {"2027-03-26 02:30", "2027-03-27 02:30", "2027-03-28 03:30", "2027-03-29 02:30"}},
      {"Europe/Berlin", 2026, 12, 9, {"DTSTART:20270321T023000", "RRULE:FREQ=WEEKLY;COUNT=3"},
       {"2027-03-21 02:30", "2027-03-28 03:30", "2027-04-04 02:30"}},
      {"Europe/Berlin", 2027, 10, 15, {"DTSTART:20271031T023000", "RRULE:FREQ=DAILY;COUNT=2"},
       {"2027-10-31 02:30", "2027-11-01 02:30"}},
      {"Europe/Berlin", 2027, 10, 15, {"DTSTART:20271031T003000Z"}, {"2027-10-31 02:30"}},  // the first 02:30
      {"Europe/Berlin", 2027, 10, 15, {"DTSTART:20271031T013000Z"}, {"2027-10-31 02:30"}},  // the second
      // Lord Howe: half an hour, 02:00-02:29 skipped on 2026-10-04, 01:30-01:59 twice on 2027-04-04.
      {"Australia/Lord_Howe", 2026, 10, 15, {"DTSTART:20261003T021500", "RRULE:FREQ=DAILY;COUNT=3"},
       {"2026-10-03 02:15", "2026-10-04 02:45", "2026-10-05 02:15"}},
      {"Australia/Lord_Howe", 2026, 10, 15, {"DTSTART:20261004T023000"}, {"2026-10-04 02:30"}},
      {"Australia/Lord_Howe", 2026, 12, 9, {"DTSTART:20270404T014500", "RRULE:FREQ=DAILY;COUNT=2"},
       {"2027-04-04 01:45", "2027-04-05 01:45"}},
      // Santiago: at midnight, 23:00-23:59 twice on 2026-04-04, 00:00-00:59 skipped on 2026-09-06.
      {"America/Santiago", 2026, 4, 15, {"DTSTART:20260403T233000", "RRULE:FREQ=DAILY;COUNT=3"},
       {"2026-04-03 23:30", "2026-04-04 23:30", "2026-04-05 23:30"}},
      {"America/Santiago", 2026, 4, 15, {"DTSTART:20260905", "RRULE:FREQ=DAILY;COUNT=3"},
       {"2026-09-05", "2026-09-06", "2026-09-07"}},
      {"America/Santiago", 2026, 4, 15, {"DTSTART:20260906T003000", "RRULE:FREQ=WEEKLY;COUNT=2"},
       {"2026-09-06 01:30", "2026-09-13 00:30"}},
      {"America/Santiago", 2026, 4, 15, {"DTSTART:20260905T235959"}, {"2026-09-05 23:59"}},
      {"America/Santiago", 2026, 4, 15, {"DTSTART:20260906T010000"}, {"2026-09-06 01:00"}},
      // Apia skipped the whole of 2011-12-30.
      {"Pacific/Apia", 2011, 12, 15, {"DTSTART:20111230", "RRULE:FREQ=YEARLY"}, {"2011-12-31"}},
      {"Pacific/Apia", 2011, 12, 15, {"DTSTART:20111228", "RRULE:FREQ=DAILY;COUNT=4"},
       {"2011-12-28", "2011-12-29", "2011-12-31", "2011-12-31"}},
      {"Pacific/Apia", 2011, 12, 15, {"DTSTART:20111229T093000", "RRULE:FREQ=DAILY;COUNT=3"},
       {"2011-12-29 09:30", "2011-12-31 09:30", "2011-12-31 09:30"}},
      // Kathmandu skipped 00:00-00:14 on 1986-01-01.
      {"Asia/Kathmandu", 1985, 12, 9, {"DTSTART:19851201T000700", "RRULE:FREQ=MONTHLY;COUNT=3"},
       {"1985-12-01 00:07", "1986-01-01 00:22", "1986-02-01 00:07"}},
      {"Asia/Kathmandu", 1985, 12, 9, {"DTSTART:19860101"}, {"1986-01-01"}},
      {"Asia/Kathmandu", 1985, 12, 9, {"DTSTART:19851231T235959"}, {"1985-12-31 23:59"}},
      {"Asia/Kathmandu", 1985, 12, 9, {"DTSTART:19860101T001500"}, {"1986-01-01 00:15"}},
  };
  for (const TimeCase& c : cases) {
    useZone(c.zone);
    const std::int64_t now = noonOn(c.nowYear, c.nowMonth, c.nowDay);
    const std::string mine = event("mine", c.lines);
    std::string what = std::string(c.zone) + ":";
    for (const std::string& line : c.lines) what += " " + line;
    EXPECT_EQ(rowsOfTitle(calendar({mine}), now, "mine"), c.rows) << what << " alone";
    std::vector<std::string> events = company();
    events.push_back(mine);
    EXPECT_EQ(rowsOfTitle(calendar(events), now, "mine"), c.rows) << what << " after other events";
    events.insert(events.begin() + 3, events.back());
    events.pop_back();
    EXPECT_EQ(rowsOfTitle(calendar(events), now, "mine"), c.rows) << what << " among other events";
  }
}

TEST_F(CalendarTimesTest, ARowIsShownOnlyOnItsOwnDayInTheWindow) {
  // The window ends at local midnight of 1986-01-01, a wall time Kathmandu
  // skipped: that day is past the window, and no row is dated into the
  // window's year.
  useZone("Asia/Kathmandu");
  const std::string text =
      calendar({event("mine", {"DTSTART;VALUE=DATE:19850630", "RRULE:FREQ=MONTHLY;BYMONTHDAY=-31"})});
  EXPECT_EQ(rowsOfTitle(text, noonOn(1985, 7, 15), "mine"),
            (std::vector<std::string>{"1985-07-01", "1985-08-01", "1985-10-01", "1985-12-01"}));
  const std::string later = calendar({event("mine", {"DTSTART:19851231T000000", "RRULE:FREQ=DAILY;COUNT=3"})});
  EXPECT_EQ(rowsOfTitle(later, noonOn(1985, 7, 15), "mine"), std::vector<std::string>{"1985-12-31 00:00"});
  EXPECT_EQ(rowsOfTitle(later, noonOn(1985, 8, 15), "mine"),
            (std::vector<std::string>{"1985-12-31 00:00", "1986-01-01 00:15", "1986-01-02 00:00"}));
}

namespace {

// A random event whose wall times lie near the clock changes of New York
// (2026-11-01, 2027-03-14) or Lord Howe (2026-10-04, 2027-04-04).
std::vector<std::string> randomEventLines(std::mt19937& rng) {
  static const char* const days[] = {"20261025", "20261031", "20261101", "20261102", "20261003", "20261004",
                                     "20270307", "20270313", "20270314", "20270315", "20270404", "20270403",
                                     "20260301", "20200308", "20201101", "20101107"};
  static const char* const rules[] = {
      "",
      "FREQ=DAILY;COUNT=4",
      "FREQ=DAILY;INTERVAL=7;COUNT=5",
      "FREQ=DAILY;BYDAY=SU,SA;COUNT=4",
      "FREQ=DAILY",
      "FREQ=WEEKLY;COUNT=3",
      "FREQ=WEEKLY;BYDAY=SU,MO;COUNT=4",
      "FREQ=WEEKLY;INTERVAL=2;UNTIL=20270401",
      "FREQ=MONTHLY;COUNT=3",
      "FREQ=MONTHLY;BYDAY=1SU,2SU;COUNT=4",
      "FREQ=MONTHLY;BYMONTHDAY=1,14,-1;COUNT=5",
      "FREQ=YEARLY;COUNT=9",
      "FREQ=DAILY;UNTIL=20261101T013000",
      "FREQ=DAILY;UNTIL=20270314T023000",
  };
  std::uniform_int_distribution<int> pickDay(0, std::size(days) - 1), pickRule(0, std::size(rules) - 1),
      hour(0, 4), minute(0, 59), allDay(0, 5);
  std::vector<std::string> lines;
  char buf[64];
  if (allDay(rng) == 0) {
    std::snprintf(buf, sizeof buf, "DTSTART:%s", days[pickDay(rng)]);
  } else {
    std::snprintf(buf, sizeof buf, "DTSTART:%sT%02d%02d00", days[pickDay(rng)], hour(rng), minute(rng));
  }
  lines.push_back(buf);
  const std::string rule = rules[pickRule(rng)];
  if (!rule.empty()) lines.push_back("RRULE:" + rule);
  return lines;
}

}  // namespace

TEST_F(CalendarTimesTest, EachEventHasTheSameRowsAloneAndInAnyCompany) {
  std::mt19937 rng(20261209);
  for (const char* zone : {"America/New_York", "Australia/Lord_Howe"}) {
    useZone(zone);
    const std::int64_t now = noonOn(2026, 12, 9);
    for (int round = 0; round < 60; ++round) {
      std::vector<std::string> events;
      std::map<std::string, std::vector<std::string>> alone;
      for (int i = 0; i < 12; ++i) {
        const std::string title = "e" + std::to_string(i);
        events.push_back(event(title, randomEventLines(rng)));
        alone[title] = rowsOfTitle(calendar({events.back()}), now, title);
      }
      for (int order = 0; order < 3; ++order) {
        const auto together = rowsByTitle(calendar(events), now);
        for (const auto& [title, rows] : alone) {
          auto found = together.find(title);
          EXPECT_EQ(found == together.end() ? std::vector<std::string>{} : found->second, rows)
              << zone << " round " << round << " order " << order << " " << title;
        }
        std::shuffle(events.begin(), events.end(), rng);
      }
    }
  }
}
