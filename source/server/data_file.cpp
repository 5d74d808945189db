#include "server/data_file.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "server/console.h"
#include "server/json_text.h"
#include "server/state.h"
#include "text/text_util.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Set when a data file that was not read whole could not be copied aside:
// saving would then destroy the only copy of the household's data, so the
// saver holds off for as long as that file stays where it is.
std::atomic<bool> protectDataFile{false};
// Whether the last save failed, so the console hears about a failing disk
// once per streak instead of every 400 ms.
bool lastSaveFailed = false;

fs::path tempPath() {
  fs::path p = dataFilePath;
  p += ".tmp";
  return p;
}

// The name of the n-th copy: family-data.broken.json, then
// family-data.broken-2.json, family-data.broken-3.json, ...
std::string copyName(int n) {
  return n == 1 ? "family-data.broken.json" : "family-data.broken-" + std::to_string(n) + ".json";
}

// Enough for years of damaged files; past it the file is protected instead.
constexpr int kMaxCopies = 1000;

// Copies the data file aside under the first free copy name and returns that
// name, or "" when no copy could be made. An earlier copy is never replaced:
// nobody can tell whether the household has looked at it yet. A copy that
// already holds exactly these bytes (`text`, when the file could be read) is
// named again instead of being made twice, so that restarting with the same
// file does not fill the folder.
std::string keepCopy(const std::string* text) {
  for (int n = 1; n <= kMaxCopies; ++n) {
    const std::string name = copyName(n);
    const fs::path copy = baseDir / name;
    std::error_code ec;
    if (fs::exists(copy, ec) || ec) {
      std::string earlier;
      if (text && fs::file_size(copy, ec) == text->size() && !ec && readWholeFile(copy, earlier) &&
          earlier == *text) {
        return name;
      }
      continue;
    }
    if (fs::copy_file(dataFilePath, copy, fs::copy_options::none, ec)) return name;
    // A copy cut short (a full disk) is no copy; leave no half file behind.
    if (ec != std::errc::file_exists) fs::remove(copy, ec);
    return "";
  }
  return "";
}

const char kNotSavedUntilMoved[] =
    "It is left as it is: changes will not be saved until family-data.json is moved out of this folder.";

void keepUnreadableFile(const std::string* text) {
  const std::string name = keepCopy(text);
  if (!name.empty()) {
    printLine("The saved data file could not be read. A copy was kept as " + name + ".");
    return;
  }
  protectDataFile = true;
  printLine(std::string("The saved data file could not be read, and no copy of it could be made. ") +
            kNotSavedUntilMoved);
}

// The first save writes only the nine sections; anything else in the file
// would be gone without a trace, so the whole file is kept aside first.
void keepPartlyUsedFile(const std::string& text) {
  const std::string name = keepCopy(&text);
  if (!name.empty()) {
    printLine("Loaded saved family data, except for parts the calendar could not use. A copy of the whole file "
              "was kept as " + name + ".");
    return;
  }
  protectDataFile = true;
  printLine(std::string("Loaded saved family data, except for parts the calendar could not use, and no copy of "
                        "the file could be made. ") +
            kNotSavedUntilMoved);
}

// Moves every section of `parsed` that is an object into stateDoc. True when
// that took everything the file holds: other members, sections that are not
// objects and a top-level value that is not an object would be lost at the
// first save. A file of null or [] holds nothing to lose.
bool takeSections(json& parsed) {
  if (!parsed.is_object()) return parsed.is_null() || (parsed.is_array() && parsed.empty());
  bool tookAll = true;
  for (auto& [name, value] : parsed.items()) {
    bool isSection = std::find(allSections.begin(), allSections.end(), name) != allSections.end();
    if (isSection && value.is_object()) {
      stateDoc[name] = std::move(value);
    } else {
      tookAll = false;
    }
  }
  return tookAll;
}

bool dataFileIsAFolder() {
  std::error_code ec;
  return fs::is_directory(dataFilePath, ec);
}

}  // namespace

void loadDataFile() {
  if (dataFileIsAFolder()) {
    printLine("There is a folder called family-data.json where the saved data belongs. The calendar starts empty, "
              "and changes cannot be saved until that folder is moved or renamed.");
    return;
  }
  std::string text;
  std::error_code ec;
  bool exists = fs::exists(dataFilePath, ec);
  if (!readWholeFile(dataFilePath, text)) {
    if (exists) {
      // There is a file, but it cannot be read: treat it like a damaged one
      // rather than overwrite it with an empty calendar at the first save.
      keepUnreadableFile(nullptr);
      return;
    }
    printLine("Starting with a fresh family calendar.");
    return;
  }
  bool tookAll = false;
  try {
    json parsed = parseBounded(text, kMaxDocumentDepth);
    tookAll = takeSections(parsed);
  } catch (...) {
    resetStateSections();
    keepUnreadableFile(&text);
    return;
  }
  if (tookAll) {
    printLine("Loaded saved family data.");
  } else {
    keepPartlyUsedFile(text);
  }
}

void saveIfDirty() {
  if (protectDataFile) {
    std::error_code ec;
    if (fs::exists(dataFilePath, ec) || ec) return;
    protectDataFile = false;
  }
  if (!stateDirty.exchange(false)) return;
  std::string text;
  try {
    std::lock_guard<std::mutex> lock(stateMutex);
    text = dumpIndented(stateDoc);
  } catch (...) {
    stateDirty = true;
    return;
  }
  // The data file is replaced only by a temporary file that reached the disk
  // whole; otherwise the old file stays and the save is tried again.
  std::error_code ec;
  bool saved = platform::writeFileDurably(tempPath(), text);
  if (saved) {
    fs::rename(tempPath(), dataFilePath, ec);
    saved = !ec;
  }
  if (!saved) {
    fs::remove(tempPath(), ec);
    stateDirty = true;
    if (!lastSaveFailed) {
      printLine(dataFileIsAFolder()
                    ? "Could not save family-data.json: a folder of that name is in the way. Trying again."
                    : "Could not save family-data.json (is the disk full or the folder read-only?). Trying again.");
    }
    lastSaveFailed = true;
    return;
  }
  platform::syncFolder(dataFilePath.parent_path());
  if (lastSaveFailed) printLine("Family data saved again.");
  lastSaveFailed = false;
}

void saveLoop() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    saveIfDirty();
  }
}
