#include "refresh/feeds.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "calendar/ics_reader.h"
#include "refresh/fetch.h"
#include "refresh/refresh_util.h"
#include "server/console.h"
#include "server/state.h"
#include "text/text_util.h"

using nlohmann::json;

namespace {

// A text member for the console line and the failure record, which must not
// fail themselves: the default stands in for a member that is not text (the
// guarded steps have already reported that member as the feed's failure).
std::string textOrDefault(const json& item, const char* key, const char* fallback) {
  if (!item.is_object()) return fallback;
  auto found = item.find(key);
  return found != item.end() && found->is_string() ? found->get<std::string>() : std::string(fallback);
}

const char* const kLinkRuleMessage = "The link should start with https:// or webcal://";
const char* const kUnreadableItemMessage =
    "This linked calendar's settings could not be read. Remove it and add it again.";

// A text member read inside the guarded steps: the fallback when absent;
// `message` is the feed's failure when the member (or the item) is not text.
std::string textMember(const json& item, const char* key, const char* fallback, const char* message) {
  if (!item.is_object()) throw std::runtime_error(kUnreadableItemMessage);
  auto found = item.find(key);
  if (found == item.end()) return fallback;
  if (!found->is_string()) throw std::runtime_error(message);
  return found->get<std::string>();
}

// Compressed data is not calendar text: curl does not ask for compression,
// so a site that sends it anyway (gzip's or zstd's first bytes) sent it
// unasked, and what came is most likely cut off as well.
bool looksCompressed(const std::string& body) {
  return startsWith(body, "\x1f\x8b") || startsWith(body, "\x28\xb5\x2f\xfd");
}

// The guarded steps of one feed: fetch, read, store, report. Throws with the
// household's message when the feed fails.
void refreshOneFeed(const std::string& id, const json& item, const std::string& label) {
  // A "kind" that is not text fails the feed here, so the household sees it.
  textMember(item, "kind", "Calendar", kUnreadableItemMessage);
  std::string link = applyLinkRules(trimBlanks(textMember(item, "url", "", kLinkRuleMessage)));
  std::string who = textMember(item, "who", "", kUnreadableItemMessage);

  FetchResult fetched = fetchUrl(link);
  if (!fetched.ok) {
    // A message means no usable answer came (or curl could not finish it);
    // only a whole answer with a bad status is the site's own refusal.
    if (fetched.status == 0 || !fetched.error.empty()) throw std::runtime_error(fetched.error);
    throw std::runtime_error("The calendar site answered with error " + std::to_string(fetched.status) +
                             ". Check that the link is the secret/public calendar address.");
  }
  if (trimBlanks(fetched.body).empty()) {
    throw std::runtime_error(
        "The calendar site sent an empty answer. Try again later; if it stays empty, check "
        "that the link is the calendar's address.");
  }
  if (looksCompressed(fetched.body)) {
    throw std::runtime_error("The calendar site sent a compressed answer that arrived broken. Try again later.");
  }
  if (fetched.body.find("BEGIN:VCALENDAR") == std::string::npos) {
    throw std::runtime_error(
        "That link is a web page, not a calendar file. Copy the \"iCal\" / \"ICS\" address instead.");
  }
  // A site that sends no length and closes the connection part way gives
  // curl no way to tell: only the calendar's own closing lines show it.
  if (!isWholeCalendar(fetched.body)) throw std::runtime_error(kCutOffDownloadMessage);
  json rows = parseIcsOccurrences(fetched.body);

  json record = json::object();
  record["who"] = who;
  record["events"] = rows;
  record["syncedAt"] = nowMilliseconds();
  record["error"] = "";
  applyChange("feedEvents", id, &record);
  printLine(consoleSafe("Calendar \"" + label + "\": " + std::to_string(rows.size()) + " events"));
}

// A content line's name matches `name` (upper case): the line is exactly it,
// in any letter case, blanks at its end aside.
bool lineIs(const std::string& text, std::size_t start, std::size_t end, const char* name) {
  while (end > start && (text[end - 1] == '\r' || text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  std::size_t length = std::char_traits<char>::length(name);
  if (end - start != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[start + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != name[i]) return false;
  }
  return true;
}

void recordFeedFailure(const std::string& id, const json& item, const std::string& label,
                       const std::string& message) {
  // The last good rows stay, so the calendar keeps showing while its site fails.
  json record = getItem("feedEvents", id);
  if (!record.is_object()) record = json{{"events", json::array()}};
  record["who"] = textOrDefault(item, "who", "");
  record["error"] = message;
  record["triedAt"] = nowMilliseconds();
  applyChange("feedEvents", id, &record);
  printLine(consoleSafe("Calendar \"" + label + "\" problem: " + message));
}

}  // namespace

std::string applyLinkRules(const std::string& link) {
  std::string feedLink = link;
  std::string lower = toLowerAscii(feedLink);
  if (startsWith(lower, "webcals://")) {
    feedLink = "https://" + feedLink.substr(10);
  } else if (startsWith(lower, "webcal://")) {
    feedLink = "https://" + feedLink.substr(9);
  }
  lower = toLowerAscii(feedLink);
  if (startsWith(lower, "https://") || startsWith(lower, "http://")) return feedLink;
  throw std::runtime_error(kLinkRuleMessage);
}

bool isWholeCalendar(const std::string& text) {
  // Line numbers of the last of each: 0 for none.
  std::size_t beginCalendar = 0, endCalendar = 0, beginEvent = 0, endEvent = 0;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++number;
    if (lineIs(text, start, end, "BEGIN:VCALENDAR")) beginCalendar = number;
    if (lineIs(text, start, end, "END:VCALENDAR")) endCalendar = number;
    if (lineIs(text, start, end, "BEGIN:VEVENT")) beginEvent = number;
    if (lineIs(text, start, end, "END:VEVENT")) endEvent = number;
    start = end + 1;
  }
  // The last event is closed, and the calendar is closed after it.
  return endEvent >= beginEvent && endCalendar > beginCalendar && endCalendar > endEvent;
}

void refreshFeeds() {
  json feeds;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    feeds = stateDoc["feeds"];
  }

  for (const auto& entry : feeds.items()) {
    const std::string& id = entry.key();
    const json& item = entry.value();
    std::string label = textOrDefault(item, "kind", "Calendar");
    try {
      refreshOneFeed(id, item, label);
    } catch (const std::exception& failure) {
      recordFeedFailure(id, item, label,
                        householdMessage(failure,
                                         "This calendar could not be read. Try again later; if it keeps "
                                         "happening, check the link."));
    }
  }

  std::vector<std::string> stale;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    const json& live = stateDoc["feeds"];
    for (const auto& entry : stateDoc["feedEvents"].items()) {
      if (!live.contains(entry.key())) stale.push_back(entry.key());
    }
  }
  for (const std::string& id : stale) applyChange("feedEvents", id, nullptr);
}
