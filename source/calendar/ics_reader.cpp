// The calendar reader's entry: events to the sorted, capped day rows of the
// display window.
#include "calendar/ics_reader.h"

#include <cmath>
#include <ctime>
#include <limits>

#include "calendar/ics_dates.h"
#include "calendar/ics_lines.h"
#include "calendar/occurrences.h"
#include "calendar/recurrence.h"
#include "text/text_util.h"

namespace {

// "\n" and "\N" become a space (a title is one line); any other escaped byte
// stands for itself.
std::string unescapeTitle(const std::string& summary) {
  std::string out;
  out.reserve(summary.size());
  for (std::size_t i = 0; i < summary.size(); ++i) {
    char c = summary[i];
    if (c == '\\' && i + 1 < summary.size()) {
      char next = summary[++i];
      out.push_back(next == 'n' || next == 'N' ? ' ' : next);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool isCancelled(const std::string& status) { return toLowerAscii(status).find("cancelled") != std::string::npos; }

// Whole days from start to end of an all-day event, rounded so that a day of
// 23 or 25 hours across a daylight-saving change still counts as one.
std::int32_t allDaySpan(const IcsDateValue& start, const IcsDateValue& end) {
  const double seconds = static_cast<double>(secondsOfLocal(end.local) - secondsOfLocal(start.local));
  const double days = std::round(seconds / 86400.0);
  if (days < 2) return 1;
  // No more than 14 days are ever shown; the clamp only keeps the
  // conversion defined for absurd spans.
  return days > 1e6 ? 1000000 : static_cast<std::int32_t>(days);
}

}  // namespace

nlohmann::json parseIcsOccurrences(const std::string& text) {
  return parseIcsOccurrencesAt(text, static_cast<std::int64_t>(std::time(nullptr)));
}

nlohmann::json parseIcsOccurrencesAt(const std::string& text, std::int64_t nowSeconds, CalendarReadStats* stats) {
  const std::uint64_t conversionsBefore = localTimeConversions();
  // The names read below, sorted.
  static const std::vector<std::string> readNames = {"DTEND", "DTSTART", "EXDATE", "RECURRENCE-ID",
                                                     "RRULE", "STATUS",  "SUMMARY", "UID"};
  static const std::vector<std::string> overrideNames = {"RECURRENCE-ID", "UID"};
  // The events are read twice from the unfolded text rather than held: a
  // large calendar's events would take many times its own size.
  const std::string unfolded = unfoldIcsLines(text);
  const DisplayWindow window = displayWindowAt(nowSeconds);

  // Instances replaced by an event with RECURRENCE-ID, cancelled or not.
  OverrideKeys overrideKeys;
  forEachIcsEvent(unfolded, &overrideNames, [&overrideKeys](const IcsEvent& event) {
    const std::string& recurrenceId = propertyValue(event, "RECURRENCE-ID");
    const std::string& uid = propertyValue(event, "UID");
    if (recurrenceId.empty() || uid.empty()) return;
    IcsDateValue replaced = parseIcsDateValue(recurrenceId);
    if (replaced.ok) overrideKeys.add(uid, replaced.local);
  });
  overrideKeys.seal();

  DayRows rows(window);
  // The days near the window, where most conversions of a large calendar fall.
  LocalClock clock(window.firstDayWithRows() - kLocalDaySlack, window.endDay + kLocalDaySlack);
  forEachIcsEvent(
      unfolded, &readNames,
      [&](const IcsEvent& event) {
        const std::string& dtstart = propertyValue(event, "DTSTART");
        if (dtstart.empty()) return;
        if (isCancelled(propertyValue(event, "STATUS"))) return;
        OccurrenceEvent occurring;
        occurring.start = parseIcsDateValue(dtstart);
        if (!occurring.start.ok) return;
        const std::string& dtend = propertyValue(event, "DTEND");
        const IcsDateValue eventEnd = dtend.empty() ? IcsDateValue{} : parseIcsDateValue(dtend);

        occurring.title = trimBlanks(unescapeTitle(propertyValue(event, "SUMMARY")));
        if (occurring.title.empty()) occurring.title = "(No title)";
        occurring.uid = propertyValue(event, "UID");
        occurring.isOverride = !propertyValue(event, "RECURRENCE-ID").empty();
        if (occurring.start.allDay && eventEnd.ok) occurring.spanDays = allDaySpan(occurring.start, eventEnd);

        ExcludedDates& excludedDates = occurring.excludedDates;
        auto exdates = event.find("EXDATE");
        if (exdates != event.end()) {
          // One entry per EXDATE line here; its pieces are read in turn.
          std::string value;
          for (const IcsProperty& line : exdates->second) {
            forEachPiece(line.value, ',', [&](std::string_view piece) {
              value.assign(piece);
              IcsDateValue excluded = parseIcsDateValue(value);
              if (excluded.ok) excludedDates.add(excluded.local);
            });
          }
          excludedDates.seal();
        }

        EventOccurrences occurrences(occurring, window, overrideKeys, rows, clock);
        const std::string& rruleText = propertyValue(event, "RRULE");
        if (!rruleText.empty() && !occurring.isOverride) {
          expandRecurrence(rruleText, occurring.start, window.windowEndLocal, window.firstDayWithRows(), clock,
                           [&occurrences](const std::tm& candidate) { return occurrences.emitOccurrence(candidate); });
        } else {
          occurrences.emitOccurrence(occurring.start.local);
        }
      },
      /*wholeExdates=*/true);

  nlohmann::json result = rows.result();
  if (stats) {
    stats->localTimeConversions = localTimeConversions() - conversionsBefore;
    stats->peakRowsHeld = rows.peakHeld();
  }
  return result;
}
