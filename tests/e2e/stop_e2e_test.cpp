// Stopping the real program as a household does: Ctrl-C in its window, the
// window closed, or a request to end from the system. Every change it
// answered {"ok":true} for is in the data file when it has gone.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/running_server.h"

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::readFile;
using testsupport::RunningServer;
using testsupport::TempFolder;

namespace {

struct Signal {
  int number;
  const char* name;
};
const Signal kStopSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

json storedState(const TempFolder& folder) {
  return json::parse(readFile(folder.path() / "family-data.json"), nullptr, false);
}

// A change answered just before the stop is there after a restart; a stop
// with nothing new to save writes nothing.
TEST(StopE2E, AChangeAnsweredRightBeforeTheStopIsKept) {
  for (const Signal& signal : kStopSignals) {
    SCOPED_TRACE(signal.name);
    TempFolder folder;
    {
      RunningServer server(folder.path());
      ASSERT_TRUE(server.started()) << server.console();
      auto put = server.client().Put("/api/doc/events/e1", R"({"title":"Swim"})", "application/json");
      ASSERT_TRUE(put);
      ASSERT_EQ(put->body, "{\"ok\":true}");
      ASSERT_EQ(::kill(server.pid(), signal.number), 0);  // at once: the saver has not had its 400 ms
      EXPECT_EQ(server.waitForExit(5s), 0) << server.console();
      EXPECT_NE(server.console().find("\n  The calendar has stopped. Every change is saved.\n"), std::string::npos)
          << server.console();
    }
    {
      RunningServer server(folder.path());
      ASSERT_TRUE(server.started()) << server.console();
      auto state = server.client().Get("/api/state");
      ASSERT_TRUE(state);
      EXPECT_EQ(json::parse(state->body)["events"]["e1"], (json{{"title", "Swim"}}));

      // Nothing changed in this run: the stop leaves the file as it was.
      const auto before = std::filesystem::last_write_time(folder.path() / "family-data.json");
      ASSERT_EQ(::kill(server.pid(), signal.number), 0);
      EXPECT_EQ(server.waitForExit(5s), 0);
      EXPECT_EQ(std::filesystem::last_write_time(folder.path() / "family-data.json"), before);
    }
  }
}

// Writers that keep writing while the program is stopped: the last change
// each was told {"ok":true} for is in the data file; a change answered after
// the last save began is refused (503) or not answered at all, never "ok".
TEST(StopE2E, DuringAWriteStormEveryAnsweredChangeIsSaved) {
  for (const Signal& signal : kStopSignals) {
    SCOPED_TRACE(signal.name);
    TempFolder folder;
    RunningServer server(folder.path());
    ASSERT_TRUE(server.started()) << server.console();
    constexpr int kWriters = 6;
    std::vector<int> lastOk(kWriters, -1);
    std::vector<int> refused(kWriters, 0);
    std::atomic<int> answered{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        auto client = server.newClient(5);
        for (int n = 0; n < 100000; ++n) {
          auto res = client->Put("/api/doc/lists/w" + std::to_string(w), json{{"n", n}}.dump(), "application/json");
          if (!res) return;  // the program has gone
          if (res->status == 200 && res->body == "{\"ok\":true}") {
            lastOk[w] = n;
            ++answered;
          } else {
            EXPECT_EQ(res->status, 503) << res->body;
            ++refused[w];
          }
        }
      });
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return answered >= 300; }, 10s));
    ASSERT_EQ(::kill(server.pid(), signal.number), 0);
    EXPECT_EQ(server.waitForExit(5s), 0) << server.console();
    for (auto& writer : writers) writer.join();

    const json stored = storedState(folder);
    ASSERT_TRUE(stored.is_object()) << readFile(folder.path() / "family-data.json");
    for (int w = 0; w < kWriters; ++w) {
      SCOPED_TRACE(w);
      ASSERT_GE(lastOk[w], 0);
      const json& item = stored["lists"]["w" + std::to_string(w)];
      ASSERT_TRUE(item.is_object()) << stored["lists"].dump();
      // A change stored whose answer never left is there too, hence >=.
      EXPECT_GE(item["n"].get<int>(), lastOk[w]);
    }
  }
}

}  // namespace
