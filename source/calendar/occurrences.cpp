#include "calendar/occurrences.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "platform/platform.h"

const char* const kTooMuchTitleText =
    "This calendar's event titles are too long to show: together they hold more than 2 MB of text.";

DisplayWindow displayWindowAt(std::int64_t nowSeconds) {
  DisplayWindow w;
  std::tm now{};
  localTimeOf(nowSeconds, now);
  w.windowStartLocal = makeLocal(now.tm_year, now.tm_mon - 1, 1, 0, 0, 0);
  w.windowEndLocal = makeLocal(now.tm_year, now.tm_mon + 6, 1, 0, 0, 0);
  w.windowStart = secondsOfLocal(w.windowStartLocal);
  w.windowEnd = secondsOfLocal(w.windowEndLocal);
  // The days of the bounds as written, whatever a clock change does to
  // their midnights.
  std::tm first{}, end{};
  first.tm_year = end.tm_year = now.tm_year;
  first.tm_mon = now.tm_mon - 1;
  end.tm_mon = now.tm_mon + 6;
  first.tm_mday = end.tm_mday = 1;
  w.startDay = wallSecondsOf(first) / 86400;
  w.endDay = wallSecondsOf(end) / 86400;
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

// Keys: ((year rank * 13 + month) * 32 + day) * 1441 + time, where time is 0
// for an all-day row and 1 + minutes since midnight otherwise. Rows of the
// window have normalised dates and times, so this orders them as their
// texts date + time do: dates of one year compare as numbers, an empty time
// comes before every HH:MM, and HH:MM texts compare as the minutes they name.
constexpr std::uint32_t kTimesPerDay = 1441;

}  // namespace

std::int64_t DisplayWindow::firstDayWithRows() const { return startDay - kMaxSpanDays - kLocalDaySlack; }

DayRows::DayRows(const DisplayWindow& window) {
  // The window's days belong to at most two years. Their date texts
  // compare by the year's text first: numerically for four-digit years, but
  // "999-" comes after "1000", so the order of the two is taken from the
  // texts themselves.
  const int first = window.windowStartLocal.tm_year;
  std::int64_t lastYear = 0, lastMonth = 0, lastDay = 0;
  civilDateOf(window.endDay - 1, lastYear, lastMonth, lastDay);
  const int last = static_cast<int>(lastYear - 1900);
  std::tm a{}, b{};
  a.tm_year = first;
  a.tm_mday = 1;
  b.tm_year = last;
  b.tm_mday = 1;
  const bool firstSortsFirst = formatIsoDate(a) <= formatIsoDate(b);
  yearFirst_ = firstSortsFirst ? first : last;
  yearSecond_ = firstSortsFirst ? last : first;
}

std::uint32_t DayRows::keyOf(const std::tm& day, bool allDay, int hour, int minute) const {
  const std::uint32_t rank = day.tm_year == yearFirst_ ? 0 : 1;
  const std::uint32_t date =
      (rank * 13 + static_cast<std::uint32_t>(day.tm_mon)) * 32 + static_cast<std::uint32_t>(day.tm_mday);
  const std::uint32_t time = allDay ? 0 : 1 + static_cast<std::uint32_t>(hour * 60 + minute);
  return date * kTimesPerDay + time;
}

bool DayRows::rankedBefore(const RankedRow& a, const RankedRow& b) {
  return a.key != b.key ? a.key < b.key : a.order < b.order;
}

bool DayRows::canKeep(std::uint32_t key) const {
  // A row produced now comes after every kept row of equal key.
  return !keepingEarliest_ || earliest_.size() < kMaxRows || key < earliest_.front().key;
}

std::uint32_t DayRows::addTitle(std::string title) {
  titles_.push_back(std::move(title));
  return static_cast<std::uint32_t>(titles_.size() - 1);
}

void DayRows::add(std::uint32_t key, std::uint32_t title) {
  const std::uint64_t order = produced_++;
  if (!keepingEarliest_) {
    all_.push_back(HeldRow{key, title});
    peakHeld_ = std::max(peakHeld_, all_.size());
    if (all_.size() > kExactRows) startKeepingEarliest();
    return;
  }
  if (earliest_.size() < kMaxRows) {
    earliest_.push_back(RankedRow{key, title, order});
    std::push_heap(earliest_.begin(), earliest_.end(), rankedBefore);
  } else if (key < earliest_.front().key) {
    std::pop_heap(earliest_.begin(), earliest_.end(), rankedBefore);
    earliest_.back() = RankedRow{key, title, order};
    std::push_heap(earliest_.begin(), earliest_.end(), rankedBefore);
  }
  peakHeld_ = std::max(peakHeld_, earliest_.size());
}

void DayRows::startKeepingEarliest() {
  std::vector<RankedRow> ranked;
  ranked.reserve(all_.size());
  for (std::size_t i = 0; i < all_.size(); ++i) ranked.push_back(RankedRow{all_[i].key, all_[i].title, i});
  std::vector<HeldRow>().swap(all_);
  if (ranked.size() > kMaxRows) {
    std::nth_element(ranked.begin(), ranked.begin() + kMaxRows - 1, ranked.end(), rankedBefore);
    ranked.resize(kMaxRows);
  }
  std::make_heap(ranked.begin(), ranked.end(), rankedBefore);
  earliest_ = std::move(ranked);
  keepingEarliest_ = true;
}

OccurrenceRow DayRows::rowText(std::uint32_t key, std::uint32_t title) const {
  const std::uint32_t time = key % kTimesPerDay;
  const std::uint32_t date = key / kTimesPerDay;
  std::tm day{};
  day.tm_year = date / (13 * 32) == 0 ? yearFirst_ : yearSecond_;
  day.tm_mon = static_cast<int>(date / 32 % 13);
  day.tm_mday = static_cast<int>(date % 32);
  return OccurrenceRow{
      formatIsoDate(day),
      time == 0 ? std::string() : formatClock(static_cast<int>((time - 1) / 60), static_cast<int>((time - 1) % 60)),
      titles_[title]};
}

nlohmann::json DayRows::result() {
  std::vector<HeldRow> sorted;
  if (keepingEarliest_) {
    std::sort(earliest_.begin(), earliest_.end(), rankedBefore);
    for (const RankedRow& r : earliest_) sorted.push_back(HeldRow{r.key, r.title});
  } else {
    // The sort is not stable: rows of equal date and time keep the order
    // this very sort has always given them.
    std::sort(all_.begin(), all_.end(), [](const HeldRow& a, const HeldRow& b) { return a.key < b.key; });
    sorted = std::move(all_);
    if (sorted.size() > kMaxRows) sorted.resize(kMaxRows);
  }
  std::size_t titleBytes = 0;
  for (const HeldRow& r : sorted) titleBytes += titles_[r.title].size();
  if (titleBytes > kMaxTitleBytes) throw std::runtime_error(kTooMuchTitleText);

  nlohmann::json out = nlohmann::json::array();
  for (const HeldRow& r : sorted) {
    OccurrenceRow row = rowText(r.key, r.title);
    out.push_back({{"date", std::move(row.date)}, {"time", std::move(row.time)}, {"title", std::move(row.title)}});
  }
  return out;
}

void ExcludedDates::seal() {
  std::sort(dates_.begin(), dates_.end());
  dates_.erase(std::unique(dates_.begin(), dates_.end()), dates_.end());
}

bool ExcludedDates::contains(const std::tm& date) const {
  const Fields f{date.tm_year, date.tm_mon, date.tm_mday};
  return std::binary_search(dates_.begin(), dates_.end(), f);
}

void OverrideKeys::seal() {
  for (auto& uid : days_) std::sort(uid.second.begin(), uid.second.end());
}

const std::vector<std::int64_t>* OverrideKeys::daysOf(const std::string& uid) const {
  auto found = days_.find(uid);
  return found == days_.end() ? nullptr : &found->second;
}

EventOccurrences::EventOccurrences(const OccurrenceEvent& event, const DisplayWindow& window,
                                   const OverrideKeys& overrideKeys, DayRows& rows, LocalClock& clock)
    : event_(event),
      window_(window),
      replacedDays_(event.isOverride || event.uid.empty() ? nullptr : overrideKeys.daysOf(event.uid)),
      rows_(rows),
      clock_(clock) {}

bool EventOccurrences::emitOccurrence(const std::tm& candidate) {
  const std::int32_t n = std::min<std::int32_t>(event_.spanDays, kMaxSpanDays);
  if (n < 1) return true;
  // Most candidates of long series lie years away from the window; they can
  // give no row, so the exclusion tests and conversions below are skipped.
  const std::int64_t first = civilDayOf(candidate);
  // (A later day of a span moves at most one day, where a change skipped a whole day.)
  if (first + n < window_.startDay) return true;
  if (first >= window_.endDay) return false;
  const bool allDay = event_.start.allDay;
  // Every row of this start, and of the later starts of its series, sorts
  // at or after the start's own date and time.
  if (window_.holdsDay(first) && !rows_.canKeep(rows_.keyOf(candidate, allDay, candidate.tm_hour, candidate.tm_min))) {
    return false;
  }

  if (event_.excludedDates.contains(candidate)) return true;
  if (replacedDays_ && std::binary_search(replacedDays_->begin(), replacedDays_->end(), first)) return true;
  const std::int64_t wall = wallSecondsOf(candidate);
  for (std::int32_t i = 0; i < n; ++i) {
    // A normalised start is its own first day.
    std::tm day = candidate;
    std::int64_t seconds = 0;
    if (i > 0 && !clock_.convert(wall + std::int64_t{i} * 86400, day, seconds)) break;
    if (!window_.holdsDay(i == 0 ? first : civilDayOf(day))) continue;
    const std::uint32_t rowKey = rows_.keyOf(day, allDay, candidate.tm_hour, candidate.tm_min);
    if (!rows_.canKeep(rowKey)) break;  // the later days sort later still
    if (titleNumber_ < 0) titleNumber_ = rows_.addTitle(event_.title);
    rows_.add(rowKey, static_cast<std::uint32_t>(titleNumber_));
  }
  return true;
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
