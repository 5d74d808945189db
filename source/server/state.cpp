#include "server/state.h"

#include <algorithm>

#include "server/change_hub.h"
#include "server/json_text.h"

using nlohmann::json;

const std::vector<std::string> writableSections{"members", "events", "chores", "meals",
                                                "lists",   "settings", "feeds"};
const std::vector<std::string> allSections{"members",  "events", "chores", "meals", "lists",
                                           "settings", "feeds",  "live",   "feedEvents"};

json stateDoc = json::object();
std::mutex stateMutex;
std::atomic<bool> stateDirty{false};

std::filesystem::path baseDir;
std::filesystem::path dataFilePath;
std::filesystem::path appPagePath;

void resetStateSections() {
  for (const auto& name : allSections) stateDoc[name] = json::object();
}

json getItem(const std::string& section, const std::string& id) {
  std::lock_guard<std::mutex> lock(stateMutex);
  auto sec = stateDoc.find(section);
  if (sec == stateDoc.end() || !sec->is_object()) return json();
  auto item = sec->find(id);
  if (item == sec->end()) return json();
  return *item;
}

void applyChange(const std::string& section, const std::string& id, const json* value) {
  std::lock_guard<std::mutex> lock(stateMutex);
  json event = json::object();
  event["coll"] = section;
  event["id"] = id;
  json& sec = stateDoc[section];
  if (value) {
    sec[id] = *value;
    event["data"] = *value;
  } else {
    if (sec.is_object()) sec.erase(id);
    event["data"] = nullptr;
  }
  stateDirty.exchange(true);
  changeHub.publishChange(dumpCompact(event));
}

bool isWritableSection(const std::string& section) {
  return std::find(writableSections.begin(), writableSections.end(), section) != writableSections.end();
}
