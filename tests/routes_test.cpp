// The routes served in-process, on a server set up as main sets it up, so the
// refresh flags they set can be read.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "refresh/refresh_requests.h"
#include "server/routes.h"
#include "server/startup.h"
#include "server/state.h"
#include "support/raw_http.h"

namespace {

struct RoutesTest : ::testing::Test {
  HouseholdServer server;
  int port = 0;
  std::thread thread;
  std::unique_ptr<httplib::Client> client;
  void SetUp() override {
    resetStateSections();
    configureServer(server);
    port = bindServer(server, "127.0.0.1", 0);
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server.listen_after_bind(); });
    // stop() does nothing before the server runs: a test that sends nothing
    // could otherwise end before the listening thread starts, and never join.
    for (int i = 0; i < 1000 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(server.is_running());
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_read_timeout(10, 0);
    setFlags(true, true);
  }
  void TearDown() override {
    server.stop();
    thread.join();
  }
  static void setFlags(bool weather, bool feeds) {
    std::lock_guard<std::mutex> lock(refreshMutex);
    weatherFresh = weather;
    feedsFresh = feeds;
  }
  static std::pair<bool, bool> flags() {
    std::lock_guard<std::mutex> lock(refreshMutex);
    return {weatherFresh, feedsFresh};
  }
};

TEST_F(RoutesTest, OnlySettingsAndFeedsWritesAskForARefresh) {
  struct Case {
    std::string method, path;
    bool weather, feeds;  // the flags afterwards: false means due
  } cases[] = {
      {"PUT", "/api/doc/settings/main", false, true},
      {"PUT", "/api/doc/settings/other", false, true},
      {"PUT", "/api/doc/feeds/f1", true, false},
      {"PUT", "/api/doc/members/m", true, true},
      {"PUT", "/api/doc/events/e", true, true},
      {"PUT", "/api/doc/chores/c", true, true},
      {"PUT", "/api/doc/meals/m", true, true},
      {"PUT", "/api/doc/lists/l", true, true},
      {"DELETE", "/api/doc/settings/main", true, true},
      {"DELETE", "/api/doc/feeds/f1", true, true},
      {"PUT", "/api/doc/live/weather", true, true},
  };
  for (const auto& c : cases) {
    setFlags(true, true);
    auto res = c.method == "PUT" ? client->Put(c.path.c_str(), "{}", "application/json") : client->Delete(c.path.c_str());
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(flags(), std::make_pair(c.weather, c.feeds)) << c.method << " " << c.path;
  }
}

TEST_F(RoutesTest, ASettingsWriteWakesTheWaitingScheduler) {
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(refreshMutex);
    woke = refreshCond.wait_for(lock, std::chrono::seconds(10), [] { return !weatherFresh; });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(client->Put("/api/doc/settings/main", "{}", "application/json"));
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(flags(), std::make_pair(false, true));
}

TEST_F(RoutesTest, AKeptConnectionCarriesAHundredRequestsAndThenCloses) {
  testsupport::RawConnection connection(port);
  ASSERT_TRUE(connection.connected());
  for (int n = 1; n <= 100; ++n) {
    ASSERT_TRUE(connection.send("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) << n;
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << n;
    EXPECT_EQ(answer->status, 200) << n;
    EXPECT_EQ(answer->header("Connection") == "close", n == 100) << n;
  }
  std::string rest;
  EXPECT_TRUE(connection.readUntilClosed(rest));
}

TEST_F(RoutesTest, ASecondServerFindsThePortBusy) {
  HouseholdServer second;
  configureServer(second);
  EXPECT_EQ(bindServer(second, "127.0.0.1", port), -1);
}

TEST_F(RoutesTest, ARefusedWriteLeavesTheFlagsAlone) {
  for (const char* body : {"[]", "", "{"}) {
    setFlags(true, true);
    auto res = client->Put("/api/doc/settings/main", body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_EQ(flags(), std::make_pair(true, true));
  }
}

}  // namespace

namespace {

TEST(ErrorHandler, AnExceptionInAHandlerAnswers500NotFound) {
  HouseholdServer server;
  configureServer(server);
  server.Get("/throws", [](const httplib::Request&, httplib::Response&) { throw std::runtime_error("boom"); });
  int port = bindServer(server, "127.0.0.1", 0);
  std::thread thread([&] { server.listen_after_bind(); });
  httplib::Client client("127.0.0.1", port);
  auto res = client.Get("/throws");
  server.stop();
  thread.join();
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);
  EXPECT_EQ(res->body, R"({"error":"Not found"})");
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
}

}  // namespace
