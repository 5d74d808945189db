// Times the calendar reader on generated calendars and prints the figures:
// a mixed file of single and recurring events (a third of the series
// started ten years ago), a file of single events only, and the largest
// files a calendar site can send (just under the 20 MB download limit) in
// the shapes that cost the reader most, among them series whose every
// instance in the window is replaced by a cancelled one.
//
// Each case runs in a child process of its own, so its peak resident size
// (printed beside its time) is not mixed with any other case's.
//
//   calendar_bench [--limit SECONDS] [--memory MB] [--write FOLDER] [case ...]
//
// --limit ends a case that runs longer, --memory caps a case's address
// space (so an older reader that needs gigabytes fails instead of taking
// the machine); --write saves each case's calendar text as FOLDER/<case>.ics
// instead of reading it; with case names only those cases run.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "calendar/ics_dates.h"
#include "calendar/ics_reader.h"

namespace {

constexpr std::size_t kDownloadLimit = 20u * 1000 * 1000;  // curl's --max-filesize
constexpr std::size_t kLargeFile = kDownloadLimit - 100 * 1000;

std::string stamp(int year, int month, int day, int hour, int minute) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d00", year, month, day, hour, minute);
  return buf;
}

std::string date(int year, int month, int day) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", year, month, day);
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

// A short event, as the large generated files hold them: about 100 bytes.
void addShortEvent(std::string& out, int id, const std::string& start, const std::string& rule,
                   const std::string& more = std::string()) {
  out += "BEGIN:VEVENT\r\nUID:e" + std::to_string(id) + "\r\nDTSTART:" + start + "\r\n";
  if (!rule.empty()) out += "RRULE:" + rule + "\r\n";
  out += more;
  out += "SUMMARY:Event " + std::to_string(id) + "\r\nEND:VEVENT\r\n";
}

std::string header() {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Brimloft//bench//EN\r\nCALSCALE:GREGORIAN\r\n"
         "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
         "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
}

const char* const kFooter = "END:VCALENDAR\r\n";

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
  return out + kFooter;
}

std::string singlesCalendar() {
  std::mt19937 rng(7);
  std::string out = header();
  int id = 0;
  addSingles(out, id, 30000, rng);
  return out + kFooter;
}

// Events added by `add` until the file is just under the download limit.
std::string largeCalendar(const std::function<void(std::string&, int)>& add) {
  std::string out = header();
  for (int id = 0; out.size() < kLargeFile - 1000; ++id) add(out, id);
  return out + kFooter;
}

// Daily series starting on the days of this month, each with hundreds of
// rows in the window.
std::string dailyCalendar() {
  return largeCalendar([](std::string& out, int id) {
    addShortEvent(out, id, stamp(2026, 12, 1 + id % 31, 6 + id % 15, 0), "FREQ=DAILY");
  });
}

// Series begun decades ago, of every frequency; some still reach the window.
std::string oldSeriesCalendar() {
  const char* rules[] = {"FREQ=DAILY",          "FREQ=DAILY;INTERVAL=3",       "FREQ=DAILY;BYDAY=MO,TH",
                         "FREQ=WEEKLY",         "FREQ=WEEKLY;BYDAY=MO,WE,FR",  "FREQ=WEEKLY;INTERVAL=2",
                         "FREQ=MONTHLY",        "FREQ=MONTHLY;BYDAY=2TU,-1FR", "FREQ=YEARLY",
                         "FREQ=DAILY;COUNT=20000"};
  return largeCalendar([&rules](std::string& out, int id) {
    addShortEvent(out, id, stamp(1990 + id % 7, 1 + id % 12, 1 + id % 28, 6 + id % 15, 0), rules[id % 10]);
  });
}

std::string byDayList(int entries) {
  const char* codes[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU", "1MO", "-1FR", "2TU"};
  std::string list;
  for (int i = 0; i < entries; ++i) {
    if (i) list += ",";
    list += codes[i % 10];
  }
  return list;
}

// Weekly and monthly series with 1300-entry BYDAY lists (4 KB rules), from
// 2000 and from this month.
std::string longByDayCalendar() {
  const std::string list = byDayList(1300);
  return largeCalendar([&list](std::string& out, int id) {
    const char* freq = id % 2 ? "FREQ=WEEKLY;BYDAY=" : "FREQ=MONTHLY;BYDAY=";
    addShortEvent(out, id, stamp(id % 4 ? 2000 : 2026, 12, 1 + id % 28, 9, 0), freq + list);
  });
}

// One weekly series whose BYDAY list fills the whole file.
std::string hugeByDayCalendar() {
  std::string out = header();
  const std::string list = byDayList(static_cast<int>(kLargeFile / 3.4));
  addShortEvent(out, 0, stamp(2026, 12, 1, 9, 0), "FREQ=WEEKLY;BYDAY=" + list);
  return out + kFooter;
}

// All-day daily series of two weeks each: 14 rows per start.
std::string spansCalendar() {
  return largeCalendar([](std::string& out, int id) {
    const int d = 1 + id % 28;
    addShortEvent(out, id, date(2026, 11, d), "FREQ=DAILY", "DTEND:" + date(2026, 11, d + 14) + "\r\n");
  });
}

// One daily series whose EXDATE list fills the whole file.
std::string exdatesCalendar() {
  std::string out = header();
  std::string list = "EXDATE:";
  for (int i = 0; list.size() < kLargeFile - 200; ++i) {
    if (i) list += ",";
    list += stamp(1900 + i % 150, 1 + i % 12, 1 + i % 28, 9, 0);
  }
  addShortEvent(out, 0, stamp(2026, 12, 1, 9, 0), "FREQ=DAILY", list + "\r\n");
  return out + kFooter;
}

// One daily series with a title of nearly 20 MB: its rows would repeat it
// hundreds of times.
std::string longTitleCalendar() {
  std::string out = header();
  out += "BEGIN:VEVENT\r\nUID:long\r\nDTSTART:20261201T090000\r\nRRULE:FREQ=DAILY\r\nSUMMARY:";
  out.append(kLargeFile - out.size() - 100, 'x');
  out += "\r\nEND:VEVENT\r\n";
  return out + kFooter;
}

// Series of one UID whose every day in the window is replaced by a
// cancelled instance (232 events with RECURRENCE-ID): no start gives a row,
// so no series ends early because its rows come too late.
std::string hiddenCalendar(const char* rule) {
  std::string out = header();
  for (int i = 0; i < 232; ++i) {
    const std::string day = formatIsoDate(makeLocal(126, 9, 15 + i, 0, 0, 0));  // from 2026-10-15
    const std::string stampText = day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2);
    out += "BEGIN:VEVENT\r\nUID:h\r\nRECURRENCE-ID;VALUE=DATE:" + stampText + "\r\nDTSTART;VALUE=DATE:" + stampText +
           "\r\nSTATUS:CANCELLED\r\nSUMMARY:Off\r\nEND:VEVENT\r\n";
  }
  for (int id = 0; out.size() < kLargeFile - 1000; ++id) {
    out += "BEGIN:VEVENT\r\nUID:h\r\nDTSTART:" + stamp(2026, 11, 1 + id % 7, 6 + id % 15, id % 4 * 15) + "\r\nRRULE:" +
           rule + "\r\nEND:VEVENT\r\n";
  }
  return out + kFooter;
}

std::string hiddenWeeklyCalendar() { return hiddenCalendar("FREQ=WEEKLY;BYDAY=SU,MO,TU,WE,TH,FR,SA"); }
std::string hiddenDailyCalendar() { return hiddenCalendar("FREQ=DAILY"); }

struct Case {
  const char* name;
  std::string (*make)();
  int runs;
};

const Case kCases[] = {
    {"mixed", mixedCalendar, 5},       {"singles", singlesCalendar, 5},       {"daily", dailyCalendar, 1},
    {"old-series", oldSeriesCalendar, 1}, {"long-byday", longByDayCalendar, 1}, {"huge-byday", hugeByDayCalendar, 1},
    {"spans", spansCalendar, 1},       {"exdates", exdatesCalendar, 1},       {"long-title", longTitleCalendar, 1},
    {"hidden-weekly", hiddenWeeklyCalendar, 1}, {"hidden-daily", hiddenDailyCalendar, 1},
};

// The resident size now, in MB (Linux).
long residentMbNow() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * sysconf(_SC_PAGESIZE) / (1024 * 1024);
}

// In the child: read the text `runs` times and print the best time.
void runCase(const Case& c, const std::string& text, std::int64_t now) {
  double best = 1e30;
  std::size_t rows = 0;
  std::string failure;
  for (int i = 0; i < c.runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    try {
      nlohmann::json result = parseIcsOccurrencesAt(text, now);
      rows = result.size();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("%-13s %6.2f MB  best of %d: %9.1f ms  %7.1f MB/s  ", c.name, mb, c.runs, best, mb / (best / 1000.0));
  if (failure.empty()) {
    std::printf("%zu rows", rows);
  } else {
    std::printf("failed: %.60s", failure.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // A household zone with daylight saving; the reader's arithmetic is local.
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::int64_t now = secondsOfLocal(makeLocal(126, 11, 9, 12, 0, 0));  // 2026-12-09 12:00

  unsigned limitSeconds = 0;
  long memoryMb = 0;
  std::vector<std::string> only;
  std::string writeFolder;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--limit") == 0 && i + 1 < argc) {
      limitSeconds = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--memory") == 0 && i + 1 < argc) {
      memoryMb = std::atol(argv[++i]);
    } else if (std::strcmp(argv[i], "--write") == 0 && i + 1 < argc) {
      writeFolder = argv[++i];
    } else {
      only.push_back(argv[i]);
    }
  }

  std::printf("peak = the case's whole process (text included); \"before\" = its size before reading\n");
  for (const Case& c : kCases) {
    if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
    const std::string text = c.make();
    if (!writeFolder.empty()) {
      const std::string path = writeFolder + "/" + c.name + ".ics";
      if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        std::printf("%s\n", path.c_str());
      }
      continue;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      if (memoryMb > 0) {
        struct rlimit cap {};
        cap.rlim_cur = cap.rlim_max = static_cast<rlim_t>(memoryMb) * 1024 * 1024;
        setrlimit(RLIMIT_AS, &cap);
      }
      if (limitSeconds > 0) alarm(limitSeconds);
      std::printf("[%3ld MB before] ", residentMbNow());
      runCase(c, text, now);
      std::_Exit(0);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    if (WIFSIGNALED(status)) {
      std::printf("%-13s %6.2f MB  ended by signal %d%s", c.name, static_cast<double>(text.size()) / 1e6,
                  WTERMSIG(status), WTERMSIG(status) == SIGALRM ? " (over the time limit)" : "");
    }
    std::printf("  peak %ld MB\n", usage.ru_maxrss / 1024);
  }
  return 0;
}
