#include "server/data_file.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

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
// One save at a time, whole: the saver's, or the last one when the program
// stops, which must not begin before a save in progress has ended. Taken
// before stateMutex; lastSaveFailed is guarded by it.
std::mutex saveMutex;

// Where a save writes: the data file, or the file it links to (through any
// number of links), so that a link the household made stays a link. Empty
// for links that go round in a circle.
fs::path saveTarget() {
  fs::path path = dataFilePath;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(path, ec)) return path;
    fs::path next = fs::read_symlink(path, ec);
    if (ec) return path;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return fs::path();
}

fs::path tempPath(const fs::path& target) {
  fs::path p = target;
  p += ".tmp";
  return p;
}

// What stands at `path` when it is something a save must not replace (a
// folder, a named pipe, a device, a socket), as the console names it; ""
// when it is a file, a link to one, or nothing at all.
std::string whatIsInTheWay(const fs::path& path) {
  if (path.empty()) return "a link that leads round in a circle";
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status) || fs::is_regular_file(status)) return "";
  switch (status.type()) {
    case fs::file_type::directory:
      return "a folder";
    case fs::file_type::fifo:
      return "a named pipe";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "something that is not a file";
  }
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

// Reads a JSON text through the library's event interface and notes whether
// any object holds a key twice. The library's own parse keeps the last of
// them and drops the rest without a word, so a hand-edited file could lose
// data at the first save without a copy being kept.
class RepeatedKeyFinder : public nlohmann::json_sax<json> {
 public:
  bool found = false;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    // The lists of closed objects are kept and reused: most objects are
    // small items, and their keys fit in the strings' own room.
    if (++depth_ > keys_.size()) keys_.emplace_back();
    keys_[depth_ - 1].clear();
    return true;
  }
  bool key(string_t& name) override {
    keys_[depth_ - 1].push_back(name);
    return true;
  }
  bool end_object() override {
    std::vector<std::string>& keys = keys_[--depth_];
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) == keys.end()) return true;
    found = true;
    return false;  // one is enough: stop reading
  }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override { return false; }

 private:
  std::vector<std::vector<std::string>> keys_;  // the keys of each object open at this point, outermost first
  std::size_t depth_ = 0;                        // how many objects are open
};

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

}  // namespace

bool holdsRepeatedKey(const std::string& text) {
  RepeatedKeyFinder finder;
  json::sax_parse(text, &finder, json::input_format_t::json, true, false);
  return finder.found;
}

void loadDataFile() {
  const std::string inTheWay = whatIsInTheWay(saveTarget());
  if (inTheWay == "a folder") {
    printLine("There is a folder called family-data.json where the saved data belongs. The calendar starts empty, "
              "and changes cannot be saved until that folder is moved or renamed.");
    return;
  }
  if (!inTheWay.empty()) {
    // Never opened: reading a named pipe waits for a writer for good, and a
    // device may never end.
    printLine("family-data.json is " + inTheWay +
              ", not a file, so it is not read. The calendar starts empty, "
              "and changes cannot be saved until it is moved or renamed.");
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
    tookAll = takeSections(parsed) && !holdsRepeatedKey(text);
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

SaveResult saveIfDirty(bool last) {
  std::lock_guard<std::mutex> saving(saveMutex);
  if (protectDataFile) {
    std::error_code ec;
    if (fs::exists(dataFilePath, ec) || ec) return stateDirty ? SaveResult::failed : SaveResult::nothingToSave;
    protectDataFile = false;
  }
  // With nothing to write, the saver's pass every 400 ms looks at nothing on disk.
  if (!stateDirty) return SaveResult::nothingToSave;
  const char* const retry = last ? "" : " Trying again.";
  const fs::path target = saveTarget();
  const std::string inTheWay = whatIsInTheWay(target);
  if (!inTheWay.empty()) {
    // A folder fails the rename by itself, but a pipe, a device or a socket
    // would simply be replaced: the household put it there, so it stays.
    if (!lastSaveFailed) {
      printLine("Could not save family-data.json: " + inTheWay + " of that name is in the way." + retry);
    }
    lastSaveFailed = true;
    return SaveResult::failed;
  }
  if (!stateDirty.exchange(false)) return SaveResult::nothingToSave;
  std::string text;
  try {
    std::lock_guard<std::mutex> lock(stateMutex);
    text = dumpIndented(stateDoc);
  } catch (...) {
    stateDirty = true;
    return SaveResult::failed;
  }
  // The data file is replaced only by a temporary file that reached the disk
  // whole; otherwise the old file stays and the save is tried again.
  std::error_code ec;
  bool saved = platform::writeFileDurably(tempPath(target), text);
  if (saved) {
    fs::rename(tempPath(target), target, ec);
    saved = !ec;
  }
  if (!saved) {
    fs::remove(tempPath(target), ec);
    stateDirty = true;
    if (!lastSaveFailed) {
      printLine(std::string("Could not save family-data.json (is the disk full or the folder read-only?).") + retry);
    }
    lastSaveFailed = true;
    return SaveResult::failed;
  }
  platform::syncFolder(target.parent_path());
  if (lastSaveFailed) printLine("Family data saved again.");
  lastSaveFailed = false;
  return SaveResult::saved;
}

void saveLoop() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    saveIfDirty();
  }
}

void stopWhenAsked() {
  platform::waitForStopRequest();
  closeStateForWrites();
  const SaveResult saved = saveIfDirty(true);
  printLine(saved == SaveResult::failed
                ? "\n  The calendar has stopped. Its latest changes could not be saved (see above).\n"
                : "\n  The calendar has stopped. Every change is saved.\n");
  platform::endProcess(0);
}
