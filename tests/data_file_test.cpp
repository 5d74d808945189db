#include <gtest/gtest.h>

#include <chrono>
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

TEST_F(DataFileTest, ParsableFilesLoadTheirObjectSections) {
  struct Case {
    std::string name, file;
    json events, members;
  } cases[] = {
      {"sections", R"({"events":{"e":{"t":1}},"members":{"m":{}},"extra":{"x":1}})", {{"e", {{"t", 1}}}}, {{"m", json::object()}}},
      {"byte-order mark", "\xEF\xBB\xBF{\"events\":{\"e\":5}}", {{"e", 5}}, json::object()},
      {"events not an object", R"({"events":[1,2],"members":{"m":1}})", json::object(), {{"m", 1}}},
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
    EXPECT_FALSE(fs::exists(broken())) << c.name;
  }
}

TEST_F(DataFileTest, UnreadableFilesAreCopiedAsideAndLeftUntouched) {
  const std::string deep = "{\"events\":{\"e\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}}";
  const std::string cases[] = {"", "{\"events\":{\"e\":", "{\"events\":{}} // note", "{\"events\":{},}",
                               "{\"t\":\"\xFF\"}", deep};
  for (const auto& bytes : cases) {
    SetUp();
    writeFile(broken(), "an older copy");
    writeFile(dataFilePath, bytes);
    EXPECT_EQ(load(), kUnreadableMessage) << bytes.substr(0, 40);
    EXPECT_EQ(stateDoc, sectionsOnly());
    EXPECT_EQ(readFile(broken()), bytes);
    EXPECT_EQ(readFile(dataFilePath), bytes);
  }
}

TEST_F(DataFileTest, AnUnreadableFileThatCannotBeCopiedIsNeverReplaced) {
  writeFile(dataFilePath, "{not json");
  fs::create_directory(broken());  // the copy cannot be made
  std::string printed = load();
  EXPECT_NE(printed.find("no copy of it could be made"), std::string::npos) << printed;
  json item{{"t", 1}};
  applyChange("events", "e", &item);
  saveIfDirty();
  EXPECT_EQ(readFile(dataFilePath), "{not json");
  EXPECT_TRUE(stateDirty);  // the change is kept for later
  fs::rename(dataFilePath, baseDir / "moved-away.json");
  saveIfDirty();
  EXPECT_EQ(parseBounded(readFile(dataFilePath), 10)["events"]["e"], item);
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
