#include "server/data_file.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "server/console.h"
#include "server/json_text.h"
#include "server/state.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Set when an unreadable data file could not be copied aside: saving would
// then destroy the only copy of the household's data, so the saver holds off
// for as long as that file stays where it is.
std::atomic<bool> protectUnreadableFile{false};
// Whether the last save failed, so the console hears about a failing disk
// once per streak instead of every 400 ms.
bool lastSaveFailed = false;

fs::path brokenCopyPath() { return baseDir / "family-data.broken.json"; }

fs::path tempPath() {
  fs::path p = dataFilePath;
  p += ".tmp";
  return p;
}

bool readWholeFile(const fs::path& path, std::string& out) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = text.str();
  return true;
}

void keepUnreadableFile() {
  std::error_code ec;
  fs::copy_file(dataFilePath, brokenCopyPath(), fs::copy_options::overwrite_existing, ec);
  if (!ec) {
    printLine("The saved data file could not be read. A copy was kept as family-data.broken.json.");
    return;
  }
  protectUnreadableFile = true;
  printLine(
      "The saved data file could not be read, and no copy of it could be made. It is left as it is: "
      "changes will not be saved until family-data.json is moved out of this folder.");
}

}  // namespace

void loadDataFile() {
  std::string text;
  std::error_code ec;
  bool exists = fs::exists(dataFilePath, ec) && !fs::is_directory(dataFilePath, ec);
  if (!readWholeFile(dataFilePath, text)) {
    if (exists) {
      // There is a file, but it cannot be read: treat it like a damaged one
      // rather than overwrite it with an empty calendar at the first save.
      keepUnreadableFile();
      return;
    }
    printLine("Starting with a fresh family calendar.");
    return;
  }
  try {
    json parsed = parseBounded(text, kMaxDocumentDepth);
    if (parsed.is_object()) {
      for (const auto& name : allSections) {
        auto found = parsed.find(name);
        if (found != parsed.end() && found->is_object()) stateDoc[name] = std::move(*found);
      }
    }
  } catch (...) {
    resetStateSections();
    keepUnreadableFile();
    return;
  }
  printLine("Loaded saved family data.");
}

void saveIfDirty() {
  if (protectUnreadableFile) {
    std::error_code ec;
    if (fs::exists(dataFilePath, ec) || ec) return;
    protectUnreadableFile = false;
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
      printLine("Could not save family-data.json (is the disk full or the folder read-only?). Trying again.");
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
