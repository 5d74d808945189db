// The real program, started in a temporary folder, as a household would run it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>

#include "support/raw_http.h"
#include "support/running_server.h"

using namespace testsupport;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char kFreshState[] =
    R"({"chores":{},"events":{},"feedEvents":{},"feeds":{},"lists":{},"live":{},"meals":{},"members":{},"settings":{}})";
const char kPageHead[] =
    "<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width,initial-scale=1,viewport-fit=cover\"><meta name=\"apple-mobile-web-app-capable\" "
    "content=\"yes\"><meta name=\"mobile-web-app-capable\" content=\"yes\"><style>:root{padding-top:env(safe-area-"
    "inset-top,0px);padding-bottom:env(safe-area-inset-bottom,0px)}body{margin:0;font:14px system-ui,sans-serif}"
    "img{max-width:100%}[hidden]{display:none!important}</style><script>window.BRIMLOFT_SERVER=true</script></head>"
    "<body>";
const char kMissingApp[] =
    "<p style='font:18px sans-serif;padding:20px'>app.html is missing. Put it in the same folder as this program.</p>";

TEST(ServerE2E, FreshStartPrintsTheBannerAndServesTheEmptyState) {
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started()) << s.console();
  std::string port = std::to_string(s.port());
  std::string console = s.console();
  std::regex banner(
      "^Starting with a fresh family calendar\\.\n"
      "\n  Brimloft is running!\n\n"
      "  On this computer:   http://localhost:" + port + "\n"
      "(  On your Wi-Fi:      http://[0-9.]+:" + port + "   <- type this on the tablet and phones\n)?"
      "\n  Leave this window open\\. Close it to stop the calendar\\.\n\n$");
  EXPECT_TRUE(std::regex_match(console, banner)) << console;
  EXPECT_NE(s.port(), 0);

  auto res = s.client().Get("/api/state");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, kFreshState);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  EXPECT_FALSE(fs::exists(folder.path() / "family-data.json"));
}

TEST(ServerE2E, MissingCurlGetsTheNoteAndTheServerStillRuns) {
  TempFolder folder;
  TempFolder emptyPath;
  ServerOptions options;
  options.env["PATH"] = emptyPath.path().string();
  RunningServer s(folder.path(), options);
  ASSERT_TRUE(s.started()) << s.console();
  EXPECT_NE(s.console().find(
                "\n\n  Note: the \"curl\" program was not found, so weather and linked calendars can't update.\n"
                "  Windows 10/11 and Macs already have it. On Linux run: sudo apt install curl\n\n"),
            std::string::npos)
      << s.console();
  EXPECT_TRUE(s.client().Get("/api/state"));
}

TEST(ServerE2E, ASecondCopyOnABusyPortEndsWithoutTouchingTheData) {
  TempFolder folder;
  const std::string data = "{\"events\":{\"e\":{\"t\":1}}}";
  writeFile(folder.path() / "family-data.json", data);
  int port = freeLoopbackPort();
  ServerOptions first;
  first.args = std::vector<std::string>{"--port", std::to_string(port)};
  RunningServer a(folder.path(), first);
  ASSERT_TRUE(a.started()) << a.console();

  ServerOptions second;
  second.env["PORT"] = std::to_string(port);
  second.args = std::vector<std::string>{};
  second.folder = folder.path();
  ServerProcess b(second);
  EXPECT_EQ(b.waitForExit(10s), 1);
  EXPECT_EQ(b.console(), "Loaded saved family data.\n\nPort " + std::to_string(port) +
                             " is busy. The calendar may already be running in another window.\n\n");
  EXPECT_EQ(readFile(folder.path() / "family-data.json"), data);
  EXPECT_TRUE(a.client().Get("/api/state"));  // the first copy goes on serving
}

TEST(ServerE2E, PortFromEnvironmentAndArguments) {
  int p1 = freeLoopbackPort(), p2 = freeLoopbackPort();
  struct Case {
    std::optional<std::string> env;
    std::vector<std::string> args;
    int expected;  // -1: any port the system chose
  } cases[] = {
      {std::to_string(p1), {"--port", std::to_string(p2)}, p2},
      {std::to_string(p1), {"--port"}, p1},
      {std::string(""), {}, -1},
      {std::string("abc"), {"--port=" + std::to_string(p2)}, -1},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    ServerOptions options;
    options.env["PORT"] = c.env;
    options.args = c.args;
    RunningServer s(folder.path(), options);
    ASSERT_TRUE(s.started()) << s.console();
    if (c.expected > 0) EXPECT_EQ(s.port(), c.expected);
    else EXPECT_GT(s.port(), 0);
    EXPECT_TRUE(s.client().Get("/api/state")) << "banner port must be the bound one";
  }
}

TEST(ServerE2E, PortsOutsideTheRangeAreRefused) {
  for (const char* port : {"70000", "-1"}) {
    TempFolder folder;
    ServerOptions options;
    options.args = std::vector<std::string>{"--port", port};
    options.folder = folder.path();
    ServerProcess p(options);
    EXPECT_EQ(p.waitForExit(10s), 1);
    EXPECT_NE(p.console().find(std::string("\nPort ") + port +
                               " is not a port number. Choose one from 1 to 65535.\n"),
              std::string::npos)
        << p.console();
  }
}

TEST(ServerE2E, DataLivesBesideTheProgramOnlyWhenAppHtmlIsThere) {
  for (bool withApp : {true, false}) {
    TempFolder programFolder, currentFolder;
    fs::copy_file(BRIMLOFT_BINARY, programFolder.path() / "brimloft");
    if (withApp) writeFile(programFolder.path() / "app.html", "<p>family</p>");
    ServerOptions options;
    options.binary = programFolder.path() / "brimloft";
    RunningServer s(currentFolder.path(), options);
    ASSERT_TRUE(s.started()) << s.console();
    ASSERT_TRUE(s.client().Put("/api/doc/events/e1", "{}", "application/json"));
    fs::path expected = (withApp ? programFolder : currentFolder).path() / "family-data.json";
    fs::path other = (withApp ? currentFolder : programFolder).path() / "family-data.json";
    EXPECT_TRUE(waitUntil([&] { return fs::exists(expected); }, 5s)) << withApp;
    EXPECT_FALSE(fs::exists(other));
    auto page = s.client().Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body.find("<p>family</p>") != std::string::npos, withApp);
  }
}

TEST(ServerE2E, AppPageWrapsAppHtmlAsItIsOnDisk) {
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started());
  struct Case {
    std::optional<std::string> file;
    std::string inside;
  } cases[] = {
      {std::nullopt, kMissingApp},
      {std::string(""), kMissingApp},
      {std::string("<h1>Family</h1>\r\n<p>caf\xC3\xA9</p>\r\n"), "<h1>Family</h1>\r\n<p>caf\xC3\xA9</p>\r\n"},
      {std::string("<p>replaced while running</p>"), "<p>replaced while running</p>"},
  };
  for (const auto& c : cases) {
    fs::remove(folder.path() / "app.html");
    if (c.file) writeFile(folder.path() / "app.html", *c.file);
    auto root = s.client().Get("/");
    auto index = s.client().Get("/index.html");
    ASSERT_TRUE(root && index);
    EXPECT_EQ(root->status, 200);
    EXPECT_EQ(root->body, std::string(kPageHead) + c.inside + "</body></html>");
    EXPECT_EQ(index->body, root->body);
    EXPECT_EQ(root->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(root->get_header_value("Cache-Control"), "no-store");
  }
}

TEST(ServerE2E, EveryBodilessErrorAnswersNotFoundAsJson) {
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started());
  for (const char* path : {"/favicon.ico", "/api/refresh", "/api/doc/events/", "/index.htm"}) {
    auto res = s.client().Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_EQ(res->body, R"({"error":"Not found"})") << path;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store");
  }
}

// Sends `request` as it stands and returns everything the server answered
// until it closed the connection (the request asks it to).
std::string rawExchange(int port, const std::string& request) {
  RawConnection connection(port);
  std::string answer;
  if (connection.send(request)) connection.readUntilClosed(answer);
  return answer;
}

TEST(ServerE2E, RefreshNeedsNoBodyAndIgnoresOne) {
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started());
  const std::string requests[] = {
      "POST /api/refresh HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
      "POST /api/refresh HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nx=1",
  };
  for (const auto& request : requests) {
    std::string answer = rawExchange(s.port(), request);
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << answer;
    EXPECT_EQ(answer.substr(answer.size() - 11), R"({"ok":true})") << answer;
  }
}

TEST(ServerE2E, APutWithoutAnyBodyIsBadDataAtOnce) {
  TempFolder folder;
  RunningServer s(folder.path());
  ASSERT_TRUE(s.started());
  auto start = std::chrono::steady_clock::now();
  std::string answer =
      rawExchange(s.port(), "PUT /api/doc/events/e HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(answer.substr(0, 24), "HTTP/1.1 400 Bad Request") << answer;
  EXPECT_EQ(answer.substr(answer.size() - 20), R"({"error":"Bad data"})");
  // No body is no reason to wait for one until the read time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

TEST(ServerE2E, LoadOutcomesAndRestart) {
  TempFolder folder;
  fs::path data = folder.path() / "family-data.json";
  fs::path broken = folder.path() / "family-data.broken.json";
  {
    const std::string file = "{\"events\":{\"e1\":{\"title\":\"Caf\xC3\xA9\"}},\"junk\":1}";
    writeFile(data, file);
    RunningServer s(folder.path());
    ASSERT_TRUE(s.started());
    const std::string partlyUsed =
        "Loaded saved family data, except for parts the calendar could not use. A copy of the whole file was kept "
        "as family-data.broken.json.\n";
    EXPECT_EQ(s.console().substr(0, partlyUsed.size()), partlyUsed);
    EXPECT_EQ(readFile(broken), file);
    auto res = s.client().Get("/api/state");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"events\":{\"e1\":{\"title\":\"Caf\xC3\xA9\"}}"), std::string::npos);
    ASSERT_TRUE(s.client().Put("/api/doc/members/m1", "{\"name\":\"Ann\"}", "application/json"));
    ASSERT_TRUE(waitUntil([&] { return readFile(data).find("Ann") != std::string::npos; }, 5s));
    EXPECT_EQ(readFile(data).find("junk"), std::string::npos);
  }
  {
    RunningServer s(folder.path());  // a restart keeps every item
    ASSERT_TRUE(s.started());
    auto res = s.client().Get("/api/state");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"members\":{\"m1\":{\"name\":\"Ann\"}}"), std::string::npos);
    EXPECT_NE(res->body.find("\"e1\""), std::string::npos);
  }
  {
    writeFile(data, "{\"events\":{\"e1\":");
    RunningServer s(folder.path());
    ASSERT_TRUE(s.started());
    // The first copy is still there: this one gets a name of its own.
    EXPECT_EQ(s.console().substr(0, 85),
              "The saved data file could not be read. A copy was kept as family-data.broken-2.json.\n");
    EXPECT_EQ(readFile(folder.path() / "family-data.broken-2.json"), "{\"events\":{\"e1\":");
    EXPECT_NE(readFile(broken), "{\"events\":{\"e1\":");
    auto res = s.client().Get("/api/state");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, kFreshState);
    EXPECT_EQ(readFile(data), "{\"events\":{\"e1\":");  // untouched until the first change
  }
  {
    // Nested a million levels deep: refused at load instead of crashing.
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    const std::string file = "{\"events\":{\"e\":" + deep + "}}";
    writeFile(data, file);
    RunningServer s(folder.path());
    ASSERT_TRUE(s.started()) << s.console();
    EXPECT_EQ(s.console().substr(0, 85),
              "The saved data file could not be read. A copy was kept as family-data.broken-3.json.\n");
    EXPECT_TRUE(readFile(folder.path() / "family-data.broken-3.json") == file);
    ASSERT_TRUE(s.client().Put("/api/doc/events/e2", "{}", "application/json"));
    ASSERT_TRUE(waitUntil([&] { return readFile(data).find("\"e2\"") != std::string::npos; }, 5s));
  }
}

}  // namespace
