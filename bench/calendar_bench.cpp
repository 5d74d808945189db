// Times the calendar reader on two generated calendars and prints the
// figures: a mixed file of single and recurring events (a third of the
// series started ten years ago) and a file of single events only.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "calendar/ics_reader.h"
#include "calendar/ics_dates.h"

namespace {

std::string stamp(int year, int month, int day, int hour, int minute) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d00", year, month, day, hour, minute);
  return buf;
}

void addEvent(std::string& out, int id, const std::string& start, const std::string& end, const std::string& rule) {
  out += "BEGIN:VEVENT\r\nUID:event-" + std::to_string(id) + "@brimloft.bench\r\n";
  out += "DTSTAMP:20261201T080000Z\r\n";
  out += "DTSTART;TZID=Europe/Berlin:" + start + "\r\nDTEND;TZID=Europe/Berlin:" + end + "\r\n";
  if (!rule.empty()) out += "RRULE:" + rule + "\r\n";
  out += "SUMMARY:Family event " + std::to_string(id) + "\\, bring snacks\r\n";
  out += "LOCATION:Community hall\\, Main Street 12\r\nSTATUS:CONFIRMED\r\n";
  out += "END:VEVENT\r\n";
}

std::string header() {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Brimloft//bench//EN\r\nCALSCALE:GREGORIAN\r\n"
         "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
         "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
}

// Single events spread over 2024 to 2028.
void addSingles(std::string& out, int& id, int count, std::mt19937& rng) {
  std::uniform_int_distribution<int> year(2024, 2028), month(1, 12), day(1, 28), hour(6, 21), minute(0, 3);
  for (int i = 0; i < count; ++i) {
    const int y = year(rng), mo = month(rng), d = day(rng), h = hour(rng), mi = minute(rng) * 15;
    addEvent(out, id++, stamp(y, mo, d, h, mi), stamp(y, mo, d, h + 1, mi), "");
  }
}

std::string mixedCalendar() {
  std::mt19937 rng(42);
  std::string out = header();
  int id = 0;
  addSingles(out, id, 10000, rng);
  const char* rules[] = {"FREQ=DAILY", "FREQ=DAILY;INTERVAL=2;COUNT=400", "FREQ=WEEKLY;BYDAY=MO,WE,FR",
                         "FREQ=WEEKLY;INTERVAL=2", "FREQ=MONTHLY;BYDAY=2TU,-1FR", "FREQ=MONTHLY;BYMONTHDAY=1,15,-1",
                         "FREQ=MONTHLY", "FREQ=YEARLY", "FREQ=YEARLY;INTERVAL=2", "FREQ=WEEKLY;UNTIL=20270301T000000Z"};
  std::uniform_int_distribution<int> month(1, 12), day(1, 28), hour(6, 21);
  for (int i = 0; i < 1000; ++i) {
    // A third started ten years ago, the rest in the last two years.
    const int y = i % 3 == 0 ? 2016 : 2025 + i % 2;
    const int mo = month(rng), d = day(rng), h = hour(rng);
    addEvent(out, id++, stamp(y, mo, d, h, 0), stamp(y, mo, d, h + 1, 0), rules[i % 10]);
  }
  return out + "END:VCALENDAR\r\n";
}

std::string singlesCalendar() {
  std::mt19937 rng(7);
  std::string out = header();
  int id = 0;
  addSingles(out, id, 30000, rng);
  return out + "END:VCALENDAR\r\n";
}

void run(const char* name, const std::string& text, std::int64_t now) {
  constexpr int kRuns = 5;
  double best = 1e30;
  std::size_t rows = 0;
  for (int i = 0; i < kRuns; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    nlohmann::json result = parseIcsOccurrencesAt(text, now);
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    rows = result.size();
  }
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("%-8s %7.2f MB  best of %d: %8.1f ms  %7.1f MB/s  %zu rows\n", name, mb, kRuns, best,
              mb / (best / 1000.0), rows);
}

}  // namespace

int main() {
  // A household zone with daylight saving; the reader's arithmetic is local.
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::int64_t now = secondsOfLocal(makeLocal(126, 11, 9, 12, 0, 0));  // 2026-12-09 12:00

  const std::string mixed = mixedCalendar();
  const std::string singles = singlesCalendar();
  run("mixed", mixed, now);
  run("singles", singles, now);
  return 0;
}
