// The weather and linked-calendar refreshes in the real program, with the
// fake curl first on its search path: the first pass at start, the refreshes
// that writes ask for, POST /api/refresh, and unsafe temporary folders.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "fake_curl/fake_curl.h"
#include "refresh/refresh_requests.h"
#include "server/event_stream.h"
#include "support/event_stream_reader.h"
#include "support/running_server.h"

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::ServerOptions;

namespace {

const std::string kGeocode =
    "https://geocoding-api.open-meteo.com/v1/search?count=10&language=en&name=Springfield";
const std::string kForecast =
    "https://api.open-meteo.com/v1/forecast?latitude=39.8017&longitude=-89.6437"
    "&current=temperature_2m,weather_code&daily=temperature_2m_max,temperature_2m_min,weather_code"
    "&forecast_days=3&temperature_unit=fahrenheit&timezone=auto";
const std::string kFeedUrl = "https://cal.example/family.ics";
const std::string kWeatherLine = "Weather updated for Springfield, Illinois: 72 F, Partly cloudy";
const std::string kFeedLine = "Calendar \"Family\": ";
// One all-day event today (UTC, the server runs with TZ=UTC): inside the window.
std::string todayUtc() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char date[16];
  std::strftime(date, sizeof date, "%Y%m%d", &utc);
  return date;
}
const std::string kCalendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:e2e@test\r\nDTSTART;VALUE=DATE:" +
                              todayUtc() + "\r\nSUMMARY:Dentist\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";

json dataFile(const json& settings, const json& feeds) {
  json doc = json::object();
  for (const char* name : {"members", "events", "chores", "meals", "lists", "settings", "feeds", "live", "feedEvents"})
    doc[name] = json::object();
  doc["settings"] = settings;
  doc["feeds"] = feeds;
  return doc;
}

const json kSettings = {{"main", {{"weather", {{"place", "Springfield, Illinois"}}}, {"units", "F"}}}};
const json kFeeds = {{"fam", {{"url", "webcal://cal.example/family.ics"}, {"kind", "Family"}, {"who", "all"}}}};

struct RefreshE2e : testsupport::ServerTest {
  fakecurl::FakeCurl curl;

  void SetUp() override {
    curl.answer(kGeocode,
                json{{"results", {{{"name", "Springfield"}, {"admin1", "Illinois"}, {"latitude", 39.80172},
                                   {"longitude", -89.64371}}}}}.dump(),
                "200");
    curl.answer(kForecast,
                json{{"current", {{"temperature_2m", 71.5}, {"weather_code", 2}}},
                     {"daily", {{"time", {"2026-12-10", "2026-12-11", "2026-12-12"}},
                                {"weather_code", {2, 3, 61}},
                                {"temperature_2m_max", {75.2, 70, 68}},
                                {"temperature_2m_min", {50, 49.5, -0.5}}}}}.dump(),
                "200");
    curl.answer(kFeedUrl, kCalendar, "200");
  }
  void start(const json& settings = kSettings, const json& feeds = kFeeds,
             std::map<std::string, std::optional<std::string>> env = {}) {
    testsupport::writeFile(folder.path() / "family-data.json", dataFile(settings, feeds).dump());
    ServerOptions options;
    options.pathPrefix = BRIMLOFT_FAKE_CURL_DIR;
    options.env = curl.serverEnv();
    options.env["TZ"] = "UTC";
    for (auto& [name, value] : env) options.env[name] = value;
    startServer(options);
    client().set_read_timeout(30, 0);
  }
  json state() {
    auto res = client().Get("/api/state");
    return res ? json::parse(res->body) : json();
  }
  int countOf(const std::string& text) const { return testsupport::countOf(server->console(), text); }
};

TEST_F(RefreshE2e, FirstPassRunsWeatherThenFeeds) {
  start();
  ASSERT_TRUE(server->waitForConsole(kFeedLine, 10s)) << server->console();
  std::string console = server->console();
  ASSERT_NE(console.find(kWeatherLine), std::string::npos) << console;
  EXPECT_LT(console.find(kWeatherLine), console.find(kFeedLine));
  EXPECT_EQ(curl.urls(), (std::vector<std::string>{kGeocode, kForecast, kFeedUrl}));
  EXPECT_TRUE(curl.leftovers().empty());

  json doc = state();
  json weather = doc["live"]["weather"];
  EXPECT_EQ(weather["temp"], "72\u00B0");
  EXPECT_EQ(weather["high"], "75\u00B0");
  EXPECT_EQ(weather["place"], "Springfield, Illinois");
  EXPECT_EQ(weather["days"][2], (json{{"date", "2026-12-12"}, {"icon", "\U0001F327"}, {"high", 68}, {"low", -1}}));
  EXPECT_EQ(weather["error"], "");
  json feed = doc["feedEvents"]["fam"];
  EXPECT_EQ(feed["who"], "all");
  EXPECT_EQ(feed["error"], "");
  std::string today = todayUtc();
  today = today.substr(0, 4) + "-" + today.substr(4, 2) + "-" + today.substr(6, 2);
  EXPECT_EQ(feed["events"], (json::array({{{"date", today}, {"time", ""}, {"title", "Dentist"}}})));
  EXPECT_NE(console.find(kFeedLine + "1 events"), std::string::npos) << console;
}

TEST_F(RefreshE2e, WritesAskOnlyForTheirOwnRefresh) {
  start();
  ASSERT_TRUE(server->waitForConsole(kFeedLine, 10s)) << server->console();
  curl.clearLog();

  ASSERT_TRUE(client().Put("/api/doc/settings/other", "{\"x\":1}", "application/json"));
  ASSERT_TRUE(server->waitForConsole(kWeatherLine, 10s, 2)) << server->console();
  ASSERT_TRUE(client().Put("/api/doc/feeds/fam", kFeeds["fam"].dump(), "application/json"));
  ASSERT_TRUE(server->waitForConsole(kFeedLine, 10s, 2)) << server->console();
  // Other sections and deletions ask for nothing.
  ASSERT_TRUE(client().Put("/api/doc/events/e1", "{\"title\":\"t\"}", "application/json"));
  ASSERT_TRUE(client().Delete("/api/doc/settings/other"));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(curl.urls(), (std::vector<std::string>{kForecast, kFeedUrl}));  // the place stayed cached
  EXPECT_EQ(countOf(kWeatherLine), 2);
  EXPECT_EQ(countOf(kFeedLine), 2);
}

TEST_F(RefreshE2e, RefreshRequestWaitsForTheRunInProgress) {
  curl.hold(kFeedUrl);
  start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return curl.calls() == 3; }, 10s));  // the slow feed is being fetched
  EXPECT_EQ(countOf(kFeedLine), 0);
  auto pending = std::async(std::launch::async, [&] { return client().Post("/api/refresh"); });
  // The request arrives while the fetch is still held, and then it ends.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(countOf(kFeedLine), 0);
  curl.release(kFeedUrl);
  auto res = pending.get();
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "{\"ok\":true}");
  // Answered only after the scheduler's run and then both of its own.
  EXPECT_EQ(countOf(kFeedLine), 2) << server->console();
  EXPECT_EQ(countOf(kWeatherLine), 2);
  EXPECT_EQ(curl.urls(), (std::vector<std::string>{kGeocode, kForecast, kFeedUrl, kForecast, kFeedUrl}));
}

TEST_F(RefreshE2e, FailuresAreStoredAndTheServerGoesOn) {
  curl.answer(kForecast, fakecurl::Answer{std::string("down"), std::string("503")});
  curl.answer(kFeedUrl, fakecurl::Answer{std::string("<html>login</html>"), std::string("200")});
  json feeds = kFeeds;
  feeds["bad"] = "not an object";
  feeds["odd"] = {{"url", kFeedUrl}, {"who", nullptr}};
  start(kSettings, feeds);
  ASSERT_TRUE(server->waitForConsole("Calendar \"Calendar\" problem: ", 10s, 2)) << server->console();
  EXPECT_TRUE(server->waitForConsole("Weather problem: The weather service did not answer (error 503).", 1s));
  EXPECT_TRUE(server->waitForConsole(
      "Calendar \"Family\" problem: That link is a web page, not a calendar file. Copy the \"iCal\" / \"ICS\" "
      "address instead.", 1s));
  json doc = state();
  EXPECT_EQ(doc["live"]["weather"], (json{{"error", "The weather service did not answer (error 503)."}}));
  EXPECT_EQ(doc["feedEvents"]["bad"]["error"],
            "This linked calendar's settings could not be read. Remove it and add it again.");
  EXPECT_TRUE(doc["feedEvents"]["odd"]["triedAt"].is_number_integer());

  auto res = client().Post("/api/refresh");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, "{\"ok\":true}");
  EXPECT_EQ(countOf("Weather problem: "), 2);
}

// A burst of refresh presses while a calendar site is slow: the few that may
// wait share one run that starts after them, the rest are told at once, and
// page loads and writes go on, also with every event stream open.
struct RefreshBurstE2e : RefreshE2e, ::testing::WithParamInterface<int> {};

TEST_P(RefreshBurstE2e, PressesDuringASlowFetchShareARunAndLeaveWorkersFree) {
  const int streamCount = GetParam();
  const int presses = 64;
  const std::string busy =
      "{\"error\":\"A refresh is already running. The calendar will update by itself when it is done.\"}";
  start();
  ASSERT_TRUE(server->waitForConsole(kFeedLine, 10s)) << server->console();
  std::vector<std::unique_ptr<testsupport::EventStreamReader>> streams;
  for (int i = 0; i < streamCount; ++i)
    streams.push_back(std::make_unique<testsupport::EventStreamReader>(server->port()));
  for (auto& s : streams) ASSERT_TRUE(s->waitFor("data: {\"full\":", 10s));

  // The scheduler's next fetch of the calendar hangs until everything below
  // has been answered.
  curl.hold(kFeedUrl);
  curl.clearLog();
  ASSERT_TRUE(client().Put("/api/doc/feeds/fam", kFeeds["fam"].dump(), "application/json"));
  ASSERT_TRUE(testsupport::waitUntil([&] { return curl.calls() == 1; }, 5s));
  ASSERT_EQ(countOf(kFeedLine), 1);

  std::atomic<int> ok{0}, refused{0}, other{0}, okBeforeTheirRun{0};
  std::vector<std::thread> pressing;
  struct JoinAll {
    std::vector<std::thread>& threads;
    ~JoinAll() {
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } joinAll{pressing};
  for (int i = 0; i < presses; ++i) {
    pressing.emplace_back([&] {
      httplib::Client press("127.0.0.1", server->port());
      press.set_read_timeout(30, 0);
      auto res = press.Post("/api/refresh");
      if (res && res->status == 200 && res->body == "{\"ok\":true}") {
        ++ok;
        // Both the scheduler's run and a run that began after the press ended.
        if (countOf(kFeedLine) < 3) ++okBeforeTheirRun;
      } else if (res && res->status == 503 && res->body == busy) {
        ++refused;
      } else {
        ++other;
      }
    });
  }
  // Those that may not wait are answered at once, while the fetch still hangs.
  EXPECT_TRUE(testsupport::waitUntil([&] { return refused == presses - kMaxRefreshWaiters; }, 4s));
  client().set_read_timeout(10, 0);
  const auto before = std::chrono::steady_clock::now();
  auto doc = client().Get("/api/state");
  auto page = client().Get("/");
  auto put = client().Put("/api/doc/events/e1", R"({"title":"Swim"})", "application/json");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
  RecordProperty("answeredInMs", static_cast<int>(took.count()));
  EXPECT_EQ(countOf(kFeedLine), 1) << "answered only after the slow fetch, in " << took.count() << " ms";
  EXPECT_EQ(doc ? doc->status : 0, 200);
  EXPECT_EQ(page ? page->status : 0, 200);
  ASSERT_EQ(put ? put->status : 0, 200);
  for (auto& s : streams) EXPECT_TRUE(s->waitFor("\"Swim\"", 10s));
  // The slow fetch ends; the run the presses wait for is not slow.
  curl.release(kFeedUrl);

  for (auto& t : pressing) t.join();
  EXPECT_EQ(ok, kMaxRefreshWaiters);
  EXPECT_EQ(refused, presses - kMaxRefreshWaiters);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(okBeforeTheirRun, 0);
  std::this_thread::sleep_for(500ms);
  // The scheduler's fetch and at most two further runs.
  int feedFetches = 0;
  for (const auto& url : curl.urls()) feedFetches += url == kFeedUrl;
  EXPECT_GE(feedFetches, 2);
  EXPECT_LE(feedFetches, 3);
  EXPECT_LE(countOf(kFeedLine), 4) << server->console();
}

INSTANTIATE_TEST_SUITE_P(OpenStreams, RefreshBurstE2e, ::testing::Values(0, kMaxOpenStreams));

// A temporary folder whose path the shell would read inside double quotes:
// the fetch is refused, nothing is run, and the household is told why.
TEST_F(RefreshE2e, UnsafeTemporaryFolderRunsNothing) {
  const std::filesystem::path canary = folder.path() / "ran";
  const std::filesystem::path temp = folder.path() / ("t\"; touch '" + canary.string() + "'; \"");
  std::filesystem::create_directories(temp);
  start(kSettings, kFeeds, {{"TMPDIR", temp.string()}});
  const std::string message =
      "The temporary folder's path holds characters that cannot be passed to curl safely. "
      "Set TMP, TEMP or TMPDIR to a plain folder.";
  ASSERT_TRUE(server->waitForConsole("Calendar \"Family\" problem: " + message, 10s)) << server->console();
  EXPECT_TRUE(server->waitForConsole("Weather problem: " + message, 1s));
  EXPECT_FALSE(std::filesystem::exists(canary));
  EXPECT_EQ(curl.calls(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(temp));
}

}  // namespace
