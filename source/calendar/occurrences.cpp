#include "calendar/occurrences.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/platform.h"

DisplayWindow displayWindowAt(std::int64_t nowSeconds) {
  DisplayWindow w;
  std::tm now{};
  platform::secondsToLocalTime(nowSeconds, now);
  w.windowStartLocal = makeLocal(now.tm_year, now.tm_mon - 1, 1, 0, 0, 0);
  w.windowEndLocal = makeLocal(now.tm_year, now.tm_mon + 6, 1, 0, 0, 0);
  w.windowStart = secondsOfLocal(w.windowStartLocal);
  w.windowEnd = secondsOfLocal(w.windowEndLocal);
  w.startDay = civilDayOf(w.windowStartLocal);
  w.endDay = civilDayOf(w.windowEndLocal);
  return w;
}

namespace {

std::string formatClock(int hour, int minute) {
  if (hour >= 0 && hour <= 99 && minute >= 0 && minute <= 99) {
    char buf[5] = {static_cast<char>('0' + hour / 10), static_cast<char>('0' + hour % 10), ':',
                   static_cast<char>('0' + minute / 10), static_cast<char>('0' + minute % 10)};
    return std::string(buf, 5);
  }
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%02d:%02d", hour, minute);
  return std::string(buf, static_cast<std::size_t>(n));
}

constexpr std::int32_t kMaxSpanDays = 14;

}  // namespace

std::int64_t DisplayWindow::firstDayWithRows() const { return startDay - kMaxSpanDays - kLocalDaySlack; }

void EventOccurrences::emitOccurrence(const std::tm& candidate) {
  const std::int32_t n = std::min<std::int32_t>(spanDays, kMaxSpanDays);
  if (n < 1 || candidate.tm_mday > std::numeric_limits<int>::max() - n) return;
  // Most candidates of long series lie years away from the window; they can
  // give no row, so the exclusion tests and conversions below are skipped.
  const std::int64_t first = civilDayOf(candidate);
  if (first + n - 1 < window.startDay - kLocalDaySlack || first > window.endDay + kLocalDaySlack) return;

  const std::string key = formatIsoDate(candidate);
  if (excludedDates.find(key) != excludedDates.end()) return;
  if (!isOverride && !eventUid.empty() && !overrideKeys.empty()) {
    keyBuffer.assign(eventUid);
    keyBuffer.push_back('|');
    keyBuffer.append(key);
    if (overrideKeys.find(keyBuffer) != overrideKeys.end()) return;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    const std::tm day = makeLocal(candidate.tm_year, candidate.tm_mon, candidate.tm_mday + i, candidate.tm_hour,
                                  candidate.tm_min, candidate.tm_sec);
    std::tm midnight{};
    midnight.tm_mday = day.tm_mday;
    midnight.tm_mon = day.tm_mon;
    midnight.tm_year = day.tm_year;
    const std::int64_t t = normaliseLocal(midnight);
    if (t < window.windowStart || t >= window.windowEnd) continue;
    // The first day is usually the candidate's own date, already written.
    const bool sameDate = day.tm_mday == candidate.tm_mday && day.tm_mon == candidate.tm_mon &&
                          day.tm_year == candidate.tm_year;
    rows.push_back(OccurrenceRow{sameDate ? key : formatIsoDate(day),
                                 eventStart.allDay ? std::string() : formatClock(candidate.tm_hour, candidate.tm_min),
                                 eventTitle});
  }
}

bool occurrenceLessByDateTime(const OccurrenceRow& a, const OccurrenceRow& b) {
  // Compares a.date + a.time with b.date + b.time without building either.
  const std::string* aParts[2] = {&a.date, &a.time};
  const std::string* bParts[2] = {&b.date, &b.time};
  int ap = 0, bp = 0;
  std::size_t ai = 0, bi = 0;
  for (;;) {
    while (ap < 2 && ai == aParts[ap]->size()) ++ap, ai = 0;
    while (bp < 2 && bi == bParts[bp]->size()) ++bp, bi = 0;
    if (ap == 2 || bp == 2) return ap == 2 && bp != 2;
    const unsigned char ca = static_cast<unsigned char>((*aParts[ap])[ai]);
    const unsigned char cb = static_cast<unsigned char>((*bParts[bp])[bi]);
    if (ca != cb) return ca < cb;
    ++ai;
    ++bi;
  }
}

void sortOccurrencesByDateTime(std::vector<OccurrenceRow>& rows) {
  std::sort(rows.begin(), rows.end(), occurrenceLessByDateTime);
}
