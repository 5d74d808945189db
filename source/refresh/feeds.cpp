#include "refresh/feeds.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
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

// The guarded steps of one feed: fetch, read, store, report. Throws with the
// household's message when the feed fails.
void refreshOneFeed(const std::string& id, const json& item, const std::string& label) {
  // A "kind" that is not text fails the feed here, so the household sees it.
  item.value("kind", std::string("Calendar"));
  std::string link = applyLinkRules(trimBlanks(item.value("url", std::string())));
  std::string who = item.value("who", std::string());

  FetchResult fetched = fetchUrl(link);
  if (!fetched.ok) {
    // A message means no usable answer came (or curl could not finish it);
    // only a whole answer with a bad status is the site's own refusal.
    if (fetched.status == 0 || !fetched.error.empty()) throw std::runtime_error(fetched.error);
    throw std::runtime_error("The calendar site answered with error " + std::to_string(fetched.status) +
                             ". Check that the link is the secret/public calendar address.");
  }
  if (fetched.body.find("BEGIN:VCALENDAR") == std::string::npos) {
    throw std::runtime_error(
        "That link is a web page, not a calendar file. Copy the \"iCal\" / \"ICS\" address instead.");
  }
  json rows = parseIcsOccurrences(fetched.body);

  json record = json::object();
  record["who"] = who;
  record["events"] = rows;
  record["syncedAt"] = nowMilliseconds();
  record["error"] = "";
  applyChange("feedEvents", id, &record);
  printLine(consoleSafe("Calendar \"" + label + "\": " + std::to_string(rows.size()) + " events"));
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
  throw std::runtime_error("The link should start with https:// or webcal://");
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
      recordFeedFailure(id, item, label, failure.what());
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
