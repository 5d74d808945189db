#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "server/change_hub.h"
#include "server/event_stream.h"
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
