#pragma once
// The state document: nine sections of items, one lock, one dirty flag.
// Every write goes through applyChange, the only writer of stateDoc.
// stateMutex guards stateDoc. It comes after refreshWorkMutex and the saver's
// saveMutex, and before the change hub's mutexes (README, "Threads and
// locks"); it is held only while an item is stored or read or the document is
// written to text, never across a fetch or a socket write.
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern const std::vector<std::string> writableSections;  // the seven a browser may change
extern const std::vector<std::string> allSections;       // those seven, then "live", "feedEvents"

extern nlohmann::json stateDoc;
extern std::mutex stateMutex;         // guards stateDoc
extern std::atomic<bool> stateDirty;  // no lock: set by writers, cleared by the saver

extern std::filesystem::path baseDir;
extern std::filesystem::path dataFilePath;
extern std::filesystem::path appPagePath;  // these three: set by main before any thread starts

// Sets every section of allSections to an empty object. Start-up only, before
// any other thread runs.
void resetStateSections();

// A copy of the item, or null when there is none. Takes stateMutex.
nlohmann::json getItem(const std::string& section, const std::string& id);

// Stores a copy of *value as the item (replacing it whole), or deletes the item
// when value is null; sets stateDirty and publishes the change event
// {"coll","data","id"} to changeHub. Takes stateMutex, and under it the hub's
// mutex and wakeMutex; must not be called with stateMutex held. Returns false,
// having changed nothing, once closeStateForWrites ran: the program is
// stopping and the change would not be saved.
bool applyChange(const std::string& section, const std::string& id, const nlohmann::json* value);
// As applyChange with a value, but stores `value` itself rather than a copy
// (a large item costs more to copy than to parse); `value` is left holding
// the previous item, or null (or, when refused, the value as it was).
bool applyChange(const std::string& section, const std::string& id, nlohmann::json&& value);

// Refuses every later applyChange, for good: called when the program stops,
// just before its last save, so that no change is accepted that the save
// would miss. Takes stateMutex, so a change being stored ends first.
void closeStateForWrites();
// The body of the 503 answer to a write that applyChange refused.
const nlohmann::json& stoppingError();

// The compact text of the whole of stateDoc, made once per change and shared
// by every caller until the next: fifty windows opening together on a large
// document hold one text between them, not fifty. The next applyChange (or
// resetStateSections) lets go of it. Call with stateMutex held.
std::shared_ptr<const std::string> sharedStateText();

// True when `section` is one of writableSections.
bool isWritableSection(const std::string& section);
