// Browser writes and the live event stream, against the real program.
#include <gtest/gtest.h>
#include <httplib.h>

#include "support/event_stream_reader.h"
#include "support/running_server.h"
#include "support/test_timings.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char kFirstMessage[] =
    "retry: 3000\ndata: {\"full\":{\"chores\":{},\"events\":{},\"feedEvents\":{},\"feeds\":{},\"lists\":{},"
    "\"live\":{},\"meals\":{},\"members\":{},\"settings\":{}}}\n\n";

struct WritesTest : ServerTest {
  void SetUp() override {
    startServer();
    client().set_keep_alive(true);
  }
  std::string state() {
    auto res = client().Get("/api/state");
    return res ? res->body : "";
  }
};

TEST_F(WritesTest, RefusalsCarryTheirBodiesAndChangeNothing) {
  const std::string objectOf2000000 = "{\"a\":\"" + std::string(2000000 - 8, 'x') + "\"}";
  const std::string forbidden = R"({"error":"This part is updated by the server only."})";
  const std::string bad = R"({"error":"Bad data"})";
  const std::string notFound = R"({"error":"Not found"})";
  struct Case {
    std::string method, path, body;
    int status;
    std::string answer;
  } cases[] = {
      {"PUT", "/api/doc/live/weather", "{}", 403, forbidden},
      {"PUT", "/api/doc/live/weather", objectOf2000000 + " ", 403, forbidden},
      {"PUT", "/api/doc/feedEvents/f", "{}", 403, forbidden},
      {"PUT", "/api/doc/foo/1", "{}", 403, forbidden},
      {"PUT", "/api/doc/Events/1", "{}", 403, forbidden},
      {"DELETE", "/api/doc/live/weather", "", 403, forbidden},
      {"DELETE", "/api/doc/feedEvents/f", "", 403, forbidden},
      {"PUT", "/api/doc/events/big", objectOf2000000 + " ", 413, R"({"error":"Too big"})"},
      {"PUT", "/api/doc/events/x", "[1,2]", 400, bad},
      {"PUT", "/api/doc/events/x", "null", 400, bad},
      {"PUT", "/api/doc/events/x", "5", 400, bad},
      {"PUT", "/api/doc/events/x", "\"text\"", 400, bad},
      {"PUT", "/api/doc/events/x", "", 400, bad},
      {"PUT", "/api/doc/events/x", "{", 400, bad},
      {"PUT", "/api/doc/events/x", "{} {}", 400, bad},
      {"PUT", "/api/doc/events/x", "{\"t\":\"\xFF\"}", 400, bad},
      {"PUT", "/api/doc/events/" + std::string(81, 'a'), "{}", 404, notFound},
      {"PUT", "/api/doc/events/a%20b", "{}", 404, notFound},
      {"PUT", "/api/doc/events/a/b", "{}", 404, notFound},
      {"PUT", "/api/doc/events/x/", "{}", 404, notFound},
      {"GET", "/api/doc/events/x", "", 404, notFound},
  };
  const std::string before = state();
  for (const auto& c : cases) {
    httplib::Result res = c.method == "PUT"      ? client().Put(c.path.c_str(), c.body, "application/json")
                          : c.method == "DELETE" ? client().Delete(c.path.c_str())
                                                 : client().Get(c.path.c_str());
    ASSERT_TRUE(res) << c.method << " " << c.path;
    EXPECT_EQ(res->status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(res->body, c.answer) << c.method << " " << c.path;
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  }
  EXPECT_EQ(state(), before);
  // Nothing was refused into the data file either.
  std::this_thread::sleep_for(600ms);
  EXPECT_FALSE(fs::exists(folder.path() / "family-data.json"));
  auto ok = client().Put("/api/doc/events/big", objectOf2000000, "application/json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, R"({"ok":true})");
  auto longest = client().Put(("/api/doc/events/" + std::string(80, 'a')).c_str(), "{}", "application/json");
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->status, 200);
}

TEST_F(WritesTest, AFormEncodedBodyIsStoredLikeAnyOther) {
  // curl -d sends this content type; the route reads bodies whatever their type.
  const std::string body = "{\"note\":\"" + std::string(20000, 'n') + "\"}";
  auto res = client().Put("/api/doc/lists/l1", body, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_NE(state().find(std::string(20000, 'n')), std::string::npos);
}

TEST_F(WritesTest, ADeleteIgnoresWhateverBodyItCarries) {
  const std::string body(20000, 'a');
  for (const char* type : {"application/x-www-form-urlencoded", "application/json"}) {
    auto res = client().Delete("/api/doc/events/e1", body, type);
    ASSERT_TRUE(res) << type;
    EXPECT_EQ(res->status, 200) << type;
    EXPECT_EQ(res->body, R"({"ok":true})") << type;
  }
}

TEST_F(WritesTest, StreamsSeeEveryChangeOnceAndInOrder) {
  EventStreamReader first(server->port()), second(server->port());
  ASSERT_TRUE(first.waitFor("\n\n", 5s) && second.waitFor("\n\n", 5s));
  EXPECT_EQ(first.text(), kFirstMessage);
  EXPECT_EQ(first.status(), 200);
  auto headers = first.headers();
  auto header = [&](const char* name) {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  };
  EXPECT_EQ(header("Content-Type"), "text/event-stream");
  EXPECT_EQ(header("Cache-Control"), "no-store");
  EXPECT_EQ(header("X-Accel-Buffering"), "no");

  ASSERT_TRUE(client().Put("/api/doc/events/abc", R"({"title":"x","place":"school"})", "application/json"));
  ASSERT_TRUE(client().Put("/api/doc/events/abc", R"({"title":"y"})", "application/json"));
  ASSERT_TRUE(client().Delete("/api/doc/events/never-there"));
  ASSERT_TRUE(client().Delete("/api/doc/feeds/f1"));
  const std::string expected = std::string(kFirstMessage) +
                               "data: {\"coll\":\"events\",\"data\":{\"place\":\"school\",\"title\":\"x\"},\"id\":\"abc\"}\n\n"
                               "data: {\"coll\":\"events\",\"data\":{\"title\":\"y\"},\"id\":\"abc\"}\n\n"
                               "data: {\"coll\":\"events\",\"data\":null,\"id\":\"never-there\"}\n\n"
                               "data: {\"coll\":\"feeds\",\"data\":null,\"id\":\"f1\"}\n\n"
                               "data: {\"coll\":\"feedEvents\",\"data\":null,\"id\":\"f1\"}\n\n";
  for (auto* stream : {&first, &second}) {
    EXPECT_TRUE(stream->waitFor("\"feedEvents\",\"data\":null", 5s));
    EXPECT_EQ(stream->text(), expected);
  }
  // Replaced, not merged.
  EXPECT_NE(state().find("\"events\":{\"abc\":{\"title\":\"y\"}}"), std::string::npos);

  // A stream opened now starts from the current state.
  EventStreamReader third(server->port());
  ASSERT_TRUE(third.waitFor("\n\n", 5s));
  EXPECT_NE(third.text().find("\"events\":{\"abc\":{\"title\":\"y\"}}"), std::string::npos);

  // The data file follows within about 400 ms.
  EXPECT_TRUE(waitUntil(
      [&] { return readFile(folder.path() / "family-data.json").find("\"title\": \"y\"") != std::string::npos; }, 3s));
}

// The ping interval (20 s for a household) shortened, so the wait takes a second.
struct QuietStreamTest : ServerTest {
  static constexpr std::chrono::seconds kPing{1};
  void SetUp() override {
    ServerOptions options;
    options.env[kTestTimingsVariable] = "ping=" + std::to_string(kPing.count());
    startServer(options);
  }
};

TEST_F(QuietStreamTest, AQuietStreamGetsAPingAfterThePingInterval) {
  EventStreamReader stream(server->port());
  ASSERT_TRUE(stream.waitFor("\n\n", 5s));
  auto opened = std::chrono::steady_clock::now();
  ASSERT_TRUE(stream.waitFor(": ping\n\n", kPing + 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::milliseconds(kPing) * 3 / 4);
  EXPECT_EQ(stream.text(), std::string(kFirstMessage) + ": ping\n\n");
}

TEST_F(WritesTest, ADeeplyNestedBodyIsRefusedAndTheServerGoesOn) {
  const int depth = 999990;
  const std::string body = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  ASSERT_LE(body.size(), 2000000u);
  auto res = client().Put("/api/doc/events/deep", body, "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_EQ(res->body, R"({"error":"Bad data"})");
  const std::string nested200 = std::string(199, '[') + std::string(199, ']');
  auto fine = client().Put("/api/doc/events/ok", "{\"a\":" + nested200 + "}", "application/json");
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->status, 200);
  EXPECT_NE(state().find(nested200), std::string::npos);
}

TEST_F(WritesTest, FiftySixOpenStreamsLeaveRoomForWrites) {
  std::vector<std::unique_ptr<EventStreamReader>> streams;
  for (int i = 0; i < 56; ++i) streams.push_back(std::make_unique<EventStreamReader>(server->port()));
  for (auto& s : streams) ASSERT_TRUE(s->waitFor("retry: 3000", 10s));
  // One stream more is turned away rather than taking the last workers, with
  // an event stream that ends at once and names when to try again.
  EventStreamReader extra(server->port());
  ASSERT_TRUE(extra.waitFor("\n\n", 10s));
  EXPECT_EQ(extra.status(), 200);
  EXPECT_EQ(extra.text(),
            ": Too many open calendar windows. This one connects again by itself when another closes.\n"
            "retry: 2000\n\n");
  auto headers = extra.headers();
  EXPECT_EQ(headers.find("Content-Type")->second, "text/event-stream");
  EXPECT_EQ(headers.find("Cache-Control")->second, "no-store");
  auto page = client().Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  auto res = client().Put("/api/doc/chores/c1", R"({"task":"dishes"})", "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (auto& s : streams) EXPECT_TRUE(s->waitFor("\"dishes\"", 10s));
  // Closing streams frees their places again.
  streams.clear();
  EXPECT_TRUE(waitUntil(
      [&] {
        EventStreamReader again(server->port());
        return again.waitFor("retry: 3000", 2s);
      },
      30s));
}

}  // namespace
