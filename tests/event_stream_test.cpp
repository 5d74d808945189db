#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "server/change_hub.h"
#include "server/event_stream.h"
#include "server/json_text.h"
#include "server/state.h"

using nlohmann::json;

namespace {

// A sink that records each write as one chunk.
struct RecordingSink {
  std::vector<std::string> chunks;
  httplib::DataSink sink;
  RecordingSink() {
    sink.write = [this](const char* data, std::size_t length) {
      chunks.emplace_back(data, length);
      return true;
    };
  }
};

struct StreamTest : ::testing::Test {
  void SetUp() override {
    stateDoc = json::object();
    resetStateSections();
    changeHub.waitLimit = std::chrono::milliseconds(50);
  }
  void put(const std::string& id, int n) {
    json item{{"n", n}};
    applyChange("events", id, &item);
  }
};

TEST_F(StreamTest, EventsFoundByOneWakeUpGoOutInOneChunk) {
  StreamState stream;
  RecordingSink out;
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  ASSERT_EQ(out.chunks.size(), 1u);
  EXPECT_EQ(out.chunks[0].rfind("retry: 3000\ndata: {\"full\":{\"chores\":{}", 0), 0u);
  put("a", 1);
  put("b", 2);
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  ASSERT_EQ(out.chunks.size(), 2u);
  EXPECT_EQ(out.chunks[1],
            "data: {\"coll\":\"events\",\"data\":{\"n\":1},\"id\":\"a\"}\n\n"
            "data: {\"coll\":\"events\",\"data\":{\"n\":2},\"id\":\"b\"}\n\n");
  // Nothing new: the keep-alive comment.
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  EXPECT_EQ(out.chunks[2], ": ping\n\n");
}

TEST_F(StreamTest, AStreamThatFellBehindGetsTheWholeStateAgainThenOnlyNewerEvents) {
  StreamState stream;
  RecordingSink out;
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  for (int i = 0; i < 1001; ++i) put("e" + std::to_string(i % 7), i);
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  ASSERT_EQ(out.chunks.size(), 2u);
  EXPECT_EQ(out.chunks[1].rfind("retry: 3000\ndata: {\"full\":{", 0), 0u);
  EXPECT_NE(out.chunks[1].find("\"e6\":{\"n\":1000}"), std::string::npos);
  EXPECT_EQ(stream.cursor, changeHub.currentSeq());
  put("z", 1);
  ASSERT_TRUE(sendNextEvents(stream, out.sink));
  EXPECT_EQ(out.chunks[2], "data: {\"coll\":\"events\",\"data\":{\"n\":1},\"id\":\"z\"}\n\n");
}

// The message a stream's chunks make together.
std::string joined(const RecordingSink& out) {
  std::string all;
  for (const auto& c : out.chunks) all += c;
  return all;
}

TEST_F(StreamTest, StreamsOpeningBetweenTwoChangesShareOneTextOfTheState) {
  put("a", 1);
  std::shared_ptr<const std::string> first, again;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    first = sharedStateText();
    again = sharedStateText();
  }
  EXPECT_EQ(first, again);
  EXPECT_EQ(*first, dumpCompact(stateDoc));
  put("b", 2);
  std::lock_guard<std::mutex> lock(stateMutex);
  auto after = sharedStateText();
  EXPECT_NE(after, first);
  EXPECT_NE(after->find("\"b\":{\"n\":2}"), std::string::npos);
  // The text taken before the change is left as it was for those still writing it.
  EXPECT_EQ(first->find("\"b\""), std::string::npos);
}

TEST_F(StreamTest, ALargeStateGoesOutInPiecesThatMakeTheSameMessage) {
  // Sizes around the piece's: one write while it fits, pieces after.
  for (std::size_t size : {std::size_t{10}, kFullStatePiece - 40, kFullStatePiece + 1, 3 * kFullStatePiece + 7}) {
    stateDoc = json::object();
    resetStateSections();
    put("big", 0);
    json item{{"text", std::string(size, 'x')}};
    applyChange("lists", "big", &item);
    StreamState stream;
    RecordingSink out;
    ASSERT_TRUE(sendNextEvents(stream, out.sink));
    std::string expected;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      expected = "retry: 3000\ndata: {\"full\":" + dumpCompact(stateDoc) + "}\n\n";
    }
    EXPECT_EQ(joined(out), expected) << size;
    const std::size_t textSize = expected.size() - std::string("retry: 3000\ndata: {\"full\":}\n\n").size();
    EXPECT_EQ(out.chunks.size(), (textSize + kFullStatePiece - 1) / kFullStatePiece) << size;
    for (const auto& c : out.chunks) EXPECT_LE(c.size(), kFullStatePiece + 40) << size;
    EXPECT_EQ(stream.cursor, changeHub.currentSeq());
  }
}

// The item `id`'s number n in a full-state message, or -1 without it.
int numberInState(const std::string& text, const std::string& id) {
  const std::string key = "\"" + id + "\":{\"n\":";
  auto at = text.find(key);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + key.size());
}

// The numbers n that the change events for `id` in `text` bring, in order.
std::vector<int> numbersInEvents(const std::string& text, const std::string& id) {
  std::vector<int> found;
  for (auto at = text.find("data: "); at != std::string::npos; at = text.find("data: ", at + 1)) {
    const std::string event = text.substr(at, text.find("\n\n", at) - at);
    if (event.find("\"id\":\"" + id + "\"") != std::string::npos) {
      found.push_back(std::atoi(event.c_str() + event.find("{\"n\":") + 5));
    }
  }
  return found;
}

TEST_F(StreamTest, AChangeMadeWhileAStreamOpensReachesItExactlyOnce) {
  // A writer counts an item up while a stream opens: the stream's state holds
  // some count v, and its events then bring exactly v+1, v+2, ... to the end.
  for (int round = 0; round < 20; ++round) {
    const std::string id = "w" + std::to_string(round);
    std::thread writer([&] {
      for (int i = 0; i < 300; ++i) put(id, i);
    });
    StreamState stream;
    RecordingSink out;
    ASSERT_TRUE(sendNextEvents(stream, out.sink));
    writer.join();
    int next = numberInState(joined(out), id) + 1;
    while (stream.cursor < changeHub.currentSeq()) {
      out.chunks.clear();
      ASSERT_TRUE(sendNextEvents(stream, out.sink));
      for (int n : numbersInEvents(joined(out), id)) EXPECT_EQ(n, next++) << round;
    }
    EXPECT_EQ(next, 300) << round;
  }
}

TEST_F(StreamTest, AFailedWriteEndsTheStreamAndFreesItsPlace) {
  int before = openStreamCount();
  {
    StreamState stream;
    EXPECT_EQ(openStreamCount(), before + 1);
    httplib::DataSink broken;
    broken.write = [](const char*, std::size_t) { return false; };
    EXPECT_FALSE(sendNextEvents(stream, broken));
  }
  EXPECT_EQ(openStreamCount(), before);
}

TEST_F(StreamTest, AStreamAskedToCheckWritesNothingAndEndsOnlyWhenItsBrowserLeft) {
  for (bool connected : {true, false}) {
    StreamState stream;
    RecordingSink out;
    out.sink.is_writable = [connected] { return connected; };
    ASSERT_TRUE(sendNextEvents(stream, out.sink));
    changeHub.askStreamsToCheck();
    EXPECT_EQ(sendNextEvents(stream, out.sink), connected);
    EXPECT_EQ(out.chunks.size(), 1u) << connected;
  }
}

TEST_F(StreamTest, OnlyTheFirstFiftySixStreamsFindAPlace) {
  std::vector<std::unique_ptr<StreamState>> streams;
  for (int i = openStreamCount(); i < kMaxOpenStreams; ++i) {
    streams.push_back(std::make_unique<StreamState>());
    EXPECT_TRUE(streams.back()->admitted);
  }
  {
    StreamState extra;
    EXPECT_FALSE(extra.admitted);
  }
  streams.pop_back();
  StreamState next;
  EXPECT_TRUE(next.admitted);
}

}  // namespace
