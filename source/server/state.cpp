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

namespace {
// The text of stateDoc as it is now, or null; guarded by stateMutex.
std::shared_ptr<const std::string> stateText;
// Set once, under stateMutex, when the program stops; applyChange reads it
// under the same lock.
bool writesClosed = false;
}  // namespace

std::filesystem::path baseDir;
std::filesystem::path dataFilePath;
std::filesystem::path appPagePath;

void resetStateSections() {
  for (const auto& name : allSections) stateDoc[name] = json::object();
  stateText.reset();
}

std::shared_ptr<const std::string> sharedStateText() {
  if (!stateText) stateText = std::make_shared<const std::string>(dumpCompact(stateDoc));
  return stateText;
}

json getItem(const std::string& section, const std::string& id) {
  std::lock_guard<std::mutex> lock(stateMutex);
  auto sec = stateDoc.find(section);
  if (sec == stateDoc.end() || !sec->is_object()) return json();
  auto item = sec->find(id);
  if (item == sec->end()) return json();
  return *item;
}

namespace {

// The change event {"coll","data","id"} as compact text. Its members come in
// that order, so it is written piece by piece, sparing a copy of the item.
std::string changeEventText(const std::string& section, const std::string& id, const json* value) {
  return "{\"coll\":" + dumpCompact(json(section)) + ",\"data\":" +
         (value ? dumpCompact(*value) : std::string("null")) + ",\"id\":" + dumpCompact(json(id)) + "}";
}

}  // namespace

// The event text and any copy of the item depend on nothing but the
// arguments, so they are made before the lock is taken: for a large item that
// is most of the work, and other readers and writers need not wait for it.
// Likewise the replaced item is freed after the lock is released.

bool applyChange(const std::string& section, const std::string& id, const json* value) {
  if (value) return applyChange(section, id, json(*value));
  const std::string text = changeEventText(section, id, nullptr);
  json removed;
  std::shared_ptr<const std::string> oldText;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (writesClosed) return false;
    oldText.swap(stateText);
    json& sec = stateDoc[section];
    if (sec.is_object()) {
      auto found = sec.find(id);
      if (found != sec.end()) {
        removed.swap(*found);
        sec.erase(found);
      }
    }
    stateDirty.exchange(true);
    changeHub.publishChange(text);
  }
  return true;
}

bool applyChange(const std::string& section, const std::string& id, json&& value) {
  const std::string text = changeEventText(section, id, &value);
  std::shared_ptr<const std::string> oldText;
  std::lock_guard<std::mutex> lock(stateMutex);
  if (writesClosed) return false;
  oldText.swap(stateText);
  stateDoc[section][id].swap(value);
  stateDirty.exchange(true);
  changeHub.publishChange(text);
  return true;
}

const json& stoppingError() {
  static const json error = {{"error",
                              "The calendar is stopping, so this change was not saved. Try again once it "
                              "runs again."}};
  return error;
}

void closeStateForWrites() {
  std::lock_guard<std::mutex> lock(stateMutex);
  writesClosed = true;
}

bool isWritableSection(const std::string& section) {
  return std::find(writableSections.begin(), writableSections.end(), section) != writableSections.end();
}
