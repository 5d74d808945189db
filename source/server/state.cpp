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
  // The event text and the stored copy depend on nothing but the arguments,
  // so they are made before the lock is taken: for a large item that is most
  // of the work, and other readers and writers need not wait for it. The text
  // is the compact dump of {"coll","data","id"}, whose members come in that
  // order, written piece by piece to spare a second copy of the item.
  const std::string text = "{\"coll\":" + dumpCompact(json(section)) +
                           ",\"data\":" + (value ? dumpCompact(*value) : std::string("null")) +
                           ",\"id\":" + dumpCompact(json(id)) + "}";
  json replaced = value ? *value : json();
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    json& sec = stateDoc[section];
    if (value) {
      sec[id].swap(replaced);
    } else if (sec.is_object()) {
      auto found = sec.find(id);
      if (found != sec.end()) {
        replaced.swap(*found);
        sec.erase(found);
      }
    }
    stateDirty.exchange(true);
    changeHub.publishChange(text);
  }
  // `replaced` now holds the previous item, freed after the lock is released.
}

bool isWritableSection(const std::string& section) {
  return std::find(writableSections.begin(), writableSections.end(), section) != writableSections.end();
}
