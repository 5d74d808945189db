#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "server/data_file.h"
#include "server/json_text.h"
#include "server/state.h"
#include "support/server_process.h"

using nlohmann::json;
using testsupport::readFile;
using testsupport::TempFolder;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const char kFreshMessage[] = "Starting with a fresh family calendar.\n";
const char kLoadedMessage[] = "Loaded saved family data.\n";
const char kUnreadableMessage[] =
    "The saved data file could not be read. A copy was kept as family-data.broken.json.\n";
const char kPartlyUsedMessage[] =
    "Loaded saved family data, except for parts the calendar could not use. A copy of the whole file was kept as "
    "family-data.broken.json.\n";

struct DataFileTest : ::testing::Test {
  TempFolder folder;
  void SetUp() override {
    baseDir = folder.path();
    dataFilePath = baseDir / "family-data.json";
    stateDoc = json::object();
    resetStateSections();
    stateDirty = false;
  }
  // Runs the load and returns what it printed.
  std::string load() {
    ::testing::internal::CaptureStdout();
    loadDataFile();
    return ::testing::internal::GetCapturedStdout();
  }
  fs::path broken() const { return baseDir / "family-data.broken.json"; }
  // The copies of data files in the folder, by name.
  std::vector<std::string> copies() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(baseDir)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("family-data.broken", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void clearFolder() const {
    for (const auto& entry : fs::directory_iterator(baseDir)) fs::remove_all(entry.path());
  }
  json sectionsOnly() const {
    json empty = json::object();
    for (const auto& s : allSections) empty[s] = json::object();
    return empty;
  }
};

TEST_F(DataFileTest, MissingFileStartsFresh) {
  EXPECT_EQ(load(), kFreshMessage);
  EXPECT_EQ(stateDoc, sectionsOnly());
  EXPECT_FALSE(stateDirty);
  saveIfDirty();
  EXPECT_FALSE(fs::exists(dataFilePath));  // nothing written until a change
}

TEST_F(DataFileTest, FilesMadeOfSectionsLoadWhole) {
  struct Case {
    std::string name, file;
    json events, members;
  } cases[] = {
      {"sections", R"({"events":{"e":{"t":1}},"members":{"m":{}}})", {{"e", {{"t", 1}}}}, {{"m", json::object()}}},
      {"byte-order mark", "\xEF\xBB\xBF{\"events\":{\"e\":5}}", {{"e", 5}}, json::object()},
      {"empty object", "{}", json::object(), json::object()},
      {"empty array", "[]", json::object(), json::object()},
      {"null", " null\n", json::object(), json::object()},
  };
  for (const auto& c : cases) {
    SetUp();
    writeFile(dataFilePath, c.file);
    EXPECT_EQ(load(), kLoadedMessage) << c.name;
    EXPECT_EQ(stateDoc["events"], c.events) << c.name;
    EXPECT_EQ(stateDoc["members"], c.members) << c.name;
    EXPECT_EQ(stateDoc.size(), 9u) << c.name;
    EXPECT_EQ(copies(), std::vector<std::string>{}) << c.name;
  }
}

TEST_F(DataFileTest, WhatTheLoadCannotTakeIsKeptInACopy) {
  // The sections that are objects load; the whole file is copied aside
  // before the first save drops the rest.
  struct Case {
    std::string name, file;
    json events, lists;
  } cases[] = {
      {"section an array", R"({"events":[1,2],"lists":{"l":1}})", json::object(), {{"l", 1}}},
      {"section a text", R"({"events":"e","lists":{"l":1}})", json::object(), {{"l", 1}}},
      {"section a number", R"({"events":7})", json::object(), json::object()},
      {"section null", R"({"lists":{"l":1},"events":null})", json::object(), {{"l", 1}}},
      {"other member", R"({"events":{"e":{"t":1}},"extra":{"x":1}})", {{"e", {{"t", 1}}}}, json::object()},
      {"a mix", R"({"events":{"e":2},"members":[{"n":"Ann"}],"lists":{"l":{}},"notes":"x"})", {{"e", 2}},
       {{"l", json::object()}}},
      {"top level an array", R"([{"events":{"e":1}}])", json::object(), json::object()},
      {"top level a text", R"("events")", json::object(), json::object()},
      {"top level a number", "0", json::object(), json::object()},
  };
  for (const auto& c : cases) {
    SetUp();
    clearFolder();
    writeFile(dataFilePath, c.file);
    EXPECT_EQ(load(), kPartlyUsedMessage) << c.name;
    EXPECT_EQ(stateDoc["events"], c.events) << c.name;
    EXPECT_EQ(stateDoc["lists"], c.lists) << c.name;
    EXPECT_EQ(stateDoc.size(), 9u) << c.name;
    EXPECT_EQ(copies(), std::vector<std::string>{"family-data.broken.json"}) << c.name;
    EXPECT_EQ(readFile(broken()), c.file) << c.name;
    // The first save replaces the data file; the copy stays.
    json item{{"t", 2}};
    applyChange("meals", "x", &item);
    saveIfDirty();
    EXPECT_EQ(parseBounded(readFile(dataFilePath), 10)["meals"]["x"], item) << c.name;
    EXPECT_EQ(readFile(broken()), c.file) << c.name;
  }
}

TEST_F(DataFileTest, UnreadableFilesAreCopiedAsideAndLeftUntouched) {
  const std::string deep = "{\"events\":{\"e\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}}";
  const std::string cases[] = {"", "{\"events\":{\"e\":", "{\"events\":{}} // note", "{\"events\":{},}",
                               "{\"t\":\"\xFF\"}", deep};
  for (const auto& bytes : cases) {
    SetUp();
    clearFolder();
    writeFile(dataFilePath, bytes);
    EXPECT_EQ(load(), kUnreadableMessage) << bytes.substr(0, 40);
    EXPECT_EQ(stateDoc, sectionsOnly());
    EXPECT_EQ(readFile(broken()), bytes);
    EXPECT_EQ(readFile(dataFilePath), bytes);
  }
}

TEST_F(DataFileTest, AnEarlierCopyIsNeverReplaced) {
  writeFile(broken(), "an older copy");
  writeFile(baseDir / "family-data.broken-2.json", "another older copy");
  writeFile(dataFilePath, "{not json");
  EXPECT_EQ(load(), "The saved data file could not be read. A copy was kept as family-data.broken-3.json.\n");
  EXPECT_EQ(readFile(baseDir / "family-data.broken-3.json"), "{not json");
  // Starting again with the same file names the copy already made.
  SetUp();
  EXPECT_EQ(load(), "The saved data file could not be read. A copy was kept as family-data.broken-3.json.\n");
  // A different file, and one the load takes only in part, get a copy of their own.
  SetUp();
  writeFile(dataFilePath, "{\"junk\":1}");
  EXPECT_EQ(load(),
            "Loaded saved family data, except for parts the calendar could not use. A copy of the whole file "
            "was kept as family-data.broken-4.json.\n");
  EXPECT_EQ(readFile(broken()), "an older copy");
  EXPECT_EQ(readFile(baseDir / "family-data.broken-2.json"), "another older copy");
  EXPECT_EQ(readFile(baseDir / "family-data.broken-3.json"), "{not json");
  EXPECT_EQ(readFile(baseDir / "family-data.broken-4.json"), "{\"junk\":1}");
  EXPECT_EQ(copies().size(), 4u);
}

TEST_F(DataFileTest, AFileThatCannotBeCopiedIsNeverReplaced) {
  // Every name a copy could take is in use by a folder.
  fs::create_directory(broken());
  for (int n = 2; n <= 1000; ++n) fs::create_directory(baseDir / ("family-data.broken-" + std::to_string(n) + ".json"));
  const std::string notSaved =
      "It is left as it is: changes will not be saved until family-data.json is moved out of this folder.\n";
  const std::pair<std::string, std::string> cases[] = {
      {"{not json", "The saved data file could not be read, and no copy of it could be made. " + notSaved},
      {"{\"events\":{\"e\":1},\"junk\":1}",
       "Loaded saved family data, except for parts the calendar could not use, and no copy of the file could be "
       "made. " + notSaved},
  };
  for (const auto& [file, message] : cases) {
    SetUp();
    fs::remove_all(baseDir / "moved-away.json");
    writeFile(dataFilePath, file);
    EXPECT_EQ(load(), message);
    json item{{"t", 1}};
    applyChange("events", "e", &item);
    saveIfDirty();
    EXPECT_EQ(readFile(dataFilePath), file);
    EXPECT_TRUE(stateDirty);  // the change is kept for later
    fs::rename(dataFilePath, baseDir / "moved-away.json");
    saveIfDirty();
    EXPECT_EQ(parseBounded(readFile(dataFilePath), 10)["events"]["e"], item);
  }
}

// A key given twice, at any depth, loses all but the last at the first save:
// the whole file is kept aside first, as for any part the load cannot use.
TEST_F(DataFileTest, RepeatedKeysAtAnyDepthAreKeptInACopy) {
  const std::pair<const char*, bool> shapes[] = {
      {R"({"events": {"e0": {}, "e1": {}}, "events": {"b0": {}}})", true},  // a section twice
      {R"({"events": {"b0": {"t": 1}, "b0": {"t": 2}}})", true},            // an item twice
      {R"({"events": {"e": {"tags": [{"x": 1, "x": 2}]}}})", true},         // deep inside an item
      {R"({"lists": {"l": {"a": {"b": {"c": 1, "d": 2, "c": 3}}}}})", true},
      {R"({"other": 1, "other": 2})", true},
      {R"({"events": {"a": {"x": 1}, "b": {"x": 1}}, "lists": {"a": {"x": [{"x": 1}, {"x": 2}]}}})", false},
      {R"({"events": {"a": {"t": "\"b\": 1, \"b\": 2"}}})", false},  // only inside a text
  };
  for (const auto& [text, repeated] : shapes) {
    SCOPED_TRACE(text);
    clearFolder();
    resetStateSections();
    EXPECT_EQ(holdsRepeatedKey(text), repeated);
    writeFile(dataFilePath, text);
    if (repeated) {
      EXPECT_EQ(load(), kPartlyUsedMessage);
      EXPECT_EQ(readFile(broken()), text);
    } else {
      EXPECT_EQ(load(), kLoadedMessage);
      EXPECT_TRUE(copies().empty());
    }
  }
}

// A folder, a named pipe, a device or a socket where the data file belongs
// is named as the cause and never opened (reading a pipe would wait for a
// writer for good): the calendar starts empty, and saves wait until it is
// moved.
TEST_F(DataFileTest, WhatIsNotAFileIsNeverOpenedAndNeverReplaced) {
  const std::string notAFile =
      ", not a file, so it is not read. The calendar starts empty, and changes cannot be saved until it is moved "
      "or renamed.\n";
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string what;
    std::string loadMessage;
  } cases[] = {
      {"folder", [&] { fs::create_directory(dataFilePath); }, "a folder",
       "There is a folder called family-data.json where the saved data belongs. The calendar starts empty, and "
       "changes cannot be saved until that folder is moved or renamed.\n"},
      {"named pipe", [&] { ASSERT_EQ(::mkfifo(dataFilePath.c_str(), 0600), 0); }, "a named pipe",
       "family-data.json is a named pipe" + notAFile},
      {"link to a device", [&] { fs::create_symlink("/dev/null", dataFilePath); }, "a device",
       "family-data.json is a device" + notAFile},
      {"socket",
       [&] {
         int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         ASSERT_LT(dataFilePath.string().size(), sizeof address.sun_path);
         std::strcpy(address.sun_path, dataFilePath.c_str());
         ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
         ::close(fd);
       },
       "a socket", "family-data.json is a socket" + notAFile},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clearFolder();
    resetStateSections();
    c.make();
    EXPECT_EQ(load(), c.loadMessage);
    EXPECT_EQ(stateDoc, sectionsOnly());
    json item{{"t", 1}};
    applyChange("events", "e", &item);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(saveIfDirty(), SaveResult::failed);
    EXPECT_EQ(saveIfDirty(), SaveResult::failed);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Could not save family-data.json: " + c.what + " of that name is in the way. Trying again.\n");
    EXPECT_TRUE(stateDirty);
    EXPECT_FALSE(fs::is_regular_file(dataFilePath));
    EXPECT_FALSE(fs::exists(baseDir / "family-data.json.tmp"));
    fs::remove(dataFilePath);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(saveIfDirty(), SaveResult::saved);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Family data saved again.\n");
    EXPECT_EQ(parseBounded(readFile(dataFilePath), 10)["events"]["e"], item);
  }
}

// A data file that is a link (to a backed-up folder, say) stays a link: the
// save writes the file it points to, through a temporary file beside it.
TEST_F(DataFileTest, ASaveWritesThroughALink) {
  fs::create_directories(baseDir / "backup" / "inner");
  const fs::path real = baseDir / "backup" / "inner" / "real.json";
  writeFile(real, R"({"events": {"a": {"t": "a"}}})");
  fs::create_symlink("inner/real.json", baseDir / "backup" / "hop.json");  // relative, through a second link
  fs::create_symlink("backup/hop.json", dataFilePath);
  EXPECT_EQ(load(), kLoadedMessage);
  json item{{"t", "b"}};
  applyChange("events", "b", &item);
  EXPECT_EQ(saveIfDirty(), SaveResult::saved);
  EXPECT_TRUE(fs::is_symlink(dataFilePath));
  EXPECT_EQ(fs::read_symlink(dataFilePath), "backup/hop.json");
  EXPECT_TRUE(fs::is_symlink(baseDir / "backup" / "hop.json"));
  EXPECT_EQ(readFile(real), dumpIndented(stateDoc));
  EXPECT_EQ(parseBounded(readFile(real), 10)["events"].size(), 2u);
  EXPECT_FALSE(fs::exists(baseDir / "family-data.json.tmp"));
  EXPECT_FALSE(fs::exists(real.string() + ".tmp"));

  // A link to a file not made yet: the first save makes it there.
  fs::remove(real);
  applyChange("events", "c", &item);
  EXPECT_EQ(saveIfDirty(), SaveResult::saved);
  EXPECT_TRUE(fs::is_symlink(dataFilePath));
  EXPECT_EQ(parseBounded(readFile(real), 10)["events"].size(), 3u);

  // Links in a circle lead nowhere: nothing is replaced.
  clearFolder();
  fs::create_symlink("loop-b.json", dataFilePath);
  fs::create_symlink("family-data.json", baseDir / "loop-b.json");
  applyChange("events", "d", &item);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(saveIfDirty(), SaveResult::failed);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("a link that leads round in a circle"), std::string::npos);
  EXPECT_TRUE(fs::is_symlink(dataFilePath));
}

TEST_F(DataFileTest, SaveWritesTheIndentedDocumentAndNoTemporaryFile) {
  json item{{"title", "Caf\xC3\xA9"}, {"n", 1}};
  for (int i = 0; i < 10; ++i) applyChange("events", "e" + std::to_string(i), &item);
  saveIfDirty();
  std::string text = readFile(dataFilePath);
  EXPECT_EQ(text, dumpIndented(stateDoc));
  EXPECT_EQ(text.substr(0, 13), "{\n \"chores\": ");
  EXPECT_NE(text.find("\"title\": \"Caf\xC3\xA9\""), std::string::npos);
  EXPECT_NE(text.back(), '\n');
  EXPECT_FALSE(fs::exists(baseDir / "family-data.json.tmp"));
  // Ten changes, one save: the flag is down until the next change.
  EXPECT_FALSE(stateDirty);
  fs::remove(dataFilePath);
  saveIfDirty();
  EXPECT_FALSE(fs::exists(dataFilePath));
}

TEST_F(DataFileTest, AFailedSaveKeepsTheOldFileAndIsRetried) {
  writeFile(dataFilePath, "{\"events\":{}}");
  load();
  // A folder in the temporary file's place makes its creation fail, as a
  // full disk or a read-only folder would.
  fs::create_directory(baseDir / "family-data.json.tmp");
  writeFile(baseDir / "family-data.json.tmp" / "keep", "x");
  json item{{"t", 1}};
  applyChange("events", "e", &item);
  ::testing::internal::CaptureStdout();
  saveIfDirty();
  saveIfDirty();
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(readFile(dataFilePath), "{\"events\":{}}");
  EXPECT_TRUE(stateDirty);
  EXPECT_EQ(printed,
            "Could not save family-data.json (is the disk full or the folder read-only?). Trying again.\n");
  fs::remove_all(baseDir / "family-data.json.tmp");
  ::testing::internal::CaptureStdout();
  saveIfDirty();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Family data saved again.\n");
  EXPECT_EQ(parseBounded(readFile(dataFilePath), 10)["events"]["e"], item);
  EXPECT_FALSE(stateDirty);
}

TEST_F(DataFileTest, SaverThreadWritesWithinAboutFourHundredMilliseconds) {
  std::thread(saveLoop).detach();  // runs for the rest of this test program
  json item{{"t", 1}};
  auto start = std::chrono::steady_clock::now();
  applyChange("events", "e", &item);
  ASSERT_TRUE(testsupport::waitUntil([&] { return fs::exists(dataFilePath); }, std::chrono::seconds(5)));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(2000)) << "saver far slower than its 400 ms period";
}

}  // namespace
