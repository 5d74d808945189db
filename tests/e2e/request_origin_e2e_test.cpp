// The real program answers only requests sent to the household's own names,
// and takes writes only from its own pages: what a web page elsewhere could
// reach by pointing a name of its own at the computer (DNS rebinding), or by
// sending a form, is refused before any route runs or any body is read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_curl/fake_curl.h"
#include "platform/platform.h"
#include "support/raw_http.h"
#include "support/running_server.h"

using namespace testsupport;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kFeedUrl = "https://cal.example/family.ics";
const std::string kFeedLine = "Calendar \"Family\": ";
const std::string kCrossSite = R"({"error":"Changes from other web sites are not accepted."})";

struct Route {
  const char* method;
  const char* path;
  // Declared but never sent: a refusal must not wait for it.
  const char* headers;
};
const Route kRoutes[] = {
    {"GET", "/", ""},
    {"GET", "/index.html", ""},
    {"GET", "/api/state", ""},
    {"GET", "/api/stream", ""},
    {"PUT", "/api/doc/events/planted", "Content-Type: application/json\r\nContent-Length: 1000000\r\n"},
    {"DELETE", "/api/doc/members/mum", ""},
    {"POST", "/api/refresh", "Content-Type: text/plain\r\nContent-Length: 1000000\r\n"},
};

struct OriginE2e : ServerTest {
  fakecurl::FakeCurl curl;

  void SetUp() override {
    curl.answer(kFeedUrl, "BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n", "200");
    json doc = json::object();
    for (const char* name :
         {"members", "events", "chores", "meals", "lists", "settings", "feeds", "live", "feedEvents"})
      doc[name] = json::object();
    doc["members"]["mum"] = {{"name", "Mum"}};
    doc["feeds"]["fam"] = {{"url", "webcal://cal.example/family.ics"}, {"kind", "Family"}};
    writeFile(folder.path() / "family-data.json", doc.dump());
    writeFile(folder.path() / "app.html", "<p>app</p>");
    ServerOptions options;
    options.pathPrefix = BRIMLOFT_FAKE_CURL_DIR;
    options.env = curl.serverEnv();
    startServer(options);
    // The refresh at start is done: from here on every fetch is a request's.
    ASSERT_TRUE(server->waitForConsole(kFeedLine, 10s)) << server->console();
    curl.clearLog();
  }
  std::string port() const { return std::to_string(server->port()); }
  // The address the banner tells the family to type.
  std::string bannerAddress() const {
    const std::string console = server->console();
    const std::string wifi = "On your Wi-Fi:      http://";
    const std::size_t at = console.find(wifi);
    if (at == std::string::npos) return "http://localhost:" + port() + "/";
    const std::size_t start = at + wifi.size();
    return "http://" + console.substr(start, console.find(' ', start) - start) + "/";
  }
  std::string state() {
    auto res = server->newClient()->Get("/api/state");
    return res ? res->body : "";
  }
};

struct Exchange {
  std::optional<RawAnswer> answer;
  bool closed = false;
};

// One request on a connection of its own; `closed` says whether the server
// then ended the connection (looked for only on refusals).
Exchange exchange(int port, const std::string& head, bool expectClose) {
  Exchange result;
  RawConnection connection(port);
  if (!connection.send(head)) return result;
  result.answer = connection.readAnswer();
  std::string rest;
  if (result.answer && expectClose) result.closed = connection.readUntilClosed(rest, 5s);
  return result;
}

std::string request(const Route& route, const std::string& headers) {
  return std::string(route.method) + " " + route.path + " HTTP/1.1\r\n" + headers + route.headers + "\r\n";
}

TEST_F(OriginE2e, ForeignNamesGet421OnEveryRouteBeforeAnyBodyIsRead) {
  const std::string before = state();
  const std::string message =
      "This calendar answers only at the household's own addresses. Open " + bannerAddress() + " instead.";
  const std::string hosts[] = {"Host: attacker.example:8080\r\n",
                               "Host: rebind.attacker.example\r\n",
                               "Host: evil.com\r\n",
                               "Host: localhost.attacker.com\r\n",
                               "Host: 127.0.0.1.nip.io:" + port() + "\r\n",
                               "Host: familypc.local.evil.net\r\n",
                               "Host: 1.2.3\r\n",
                               "Host: 0x7f.1\r\n",
                               "Host: [::1\r\n",
                               "Host: 127.0.0.1:" + port() + "\r\nHost: evil.com\r\n",
                               "Host: 127.0.0.1:" + port() + "\r\nHost: 127.0.0.1:" + port() + "\r\n"};
  for (const std::string& host : hosts) {
    for (const Route& route : kRoutes) {
      const std::string what = host + route.method + " " + route.path;
      const Exchange sent =
          exchange(server->port(), request(route, host + "Origin: http://attacker.example\r\n"), true);
      ASSERT_TRUE(sent.answer) << what;
      EXPECT_EQ(sent.answer->status, 421) << what;
      if (std::string(route.path).rfind("/api/", 0) == 0) {
        EXPECT_EQ(sent.answer->body, json({{"error", message}}).dump()) << what;
        EXPECT_EQ(sent.answer->header("Content-Type"), "application/json; charset=utf-8") << what;
      } else {
        EXPECT_EQ(sent.answer->body, message + "\n") << what;
        EXPECT_EQ(sent.answer->header("Content-Type"), "text/plain; charset=utf-8") << what;
      }
      EXPECT_EQ(sent.answer->header("Cache-Control"), "no-store") << what;
      EXPECT_EQ(sent.answer->header("Connection"), "close") << what;
      EXPECT_TRUE(sent.closed) << what;
    }
  }
  EXPECT_EQ(state(), before);
  EXPECT_EQ(curl.calls(), 0);
}

TEST_F(OriginE2e, HouseholdNamesGetTheSameAnswersAsBefore) {
  std::vector<std::string> names = {
      "127.0.0.1:" + port(), "localhost",         "familypc",        "familypc.local", "kitchen.lan",
      "pc.home.arpa",        "192.168.1.20:8080", "[::1]:" + port(), "app.localhost",  "FamilyPC.Local.:" + port()};
  names.push_back(platform::computerNames().at(0));
  const Route* reads[] = {&kRoutes[0], &kRoutes[1], &kRoutes[2]};
  for (const Route* route : reads) {
    // HTTP/1.0 tools send no Host at all; their answer is the one every name gets.
    const Exchange plain =
        exchange(server->port(), std::string(route->method) + " " + route->path + " HTTP/1.0\r\n\r\n", false);
    ASSERT_TRUE(plain.answer) << route->path;
    EXPECT_EQ(plain.answer->status, 200) << route->path;
    for (const std::string& name : names) {
      const std::string what = name + " " + route->path;
      const Exchange sent = exchange(server->port(), request(*route, "Host: " + name + "\r\n"), false);
      ASSERT_TRUE(sent.answer) << what;
      EXPECT_EQ(sent.answer->status, 200) << what;
      EXPECT_EQ(sent.answer->body, plain.answer->body) << what;
      EXPECT_EQ(sent.answer->header("Content-Type"), plain.answer->header("Content-Type")) << what;
      EXPECT_EQ(sent.answer->header("Connection"), "") << what;
    }
  }
  for (const std::string& name : names) {
    RawConnection stream(server->port());
    ASSERT_TRUE(stream.send(request(kRoutes[3], "Host: " + name + "\r\n")));
    auto head = stream.readHead();
    ASSERT_TRUE(head) << name;
    EXPECT_EQ(head->status, 200) << name;
    EXPECT_EQ(head->header("Content-Type"), "text/event-stream") << name;
  }
}

TEST_F(OriginE2e, WritesFromAnotherSitesPageDoNothing) {
  const std::string before = state();
  const std::string own = "127.0.0.1:" + port();
  struct Case {
    std::string host;
    std::string origin;
  } cases[] = {
      {own, "Origin: http://attacker.example\r\n"},
      {own, "Origin: null\r\n"},
      {own, "Origin: http://localhost:" + port() + "\r\n"},  // another name is another site
      {own, "Origin: http://127.0.0.1\r\n"},                 // and another port
      {own, "Origin: http://" + own + "\r\nOrigin: http://attacker.example\r\n"},
      {"attacker.example.localhost:" + port(), "Origin: http://attacker.example\r\n"},
  };
  const Route* writes[] = {&kRoutes[4], &kRoutes[5], &kRoutes[6]};
  for (const Case& c : cases) {
    for (const Route* route : writes) {
      const std::string what = c.host + " " + c.origin + route->method;
      const Exchange sent = exchange(server->port(), request(*route, "Host: " + c.host + "\r\n" + c.origin), true);
      ASSERT_TRUE(sent.answer) << what;
      EXPECT_EQ(sent.answer->status, 403) << what;
      EXPECT_EQ(sent.answer->body, kCrossSite) << what;
      EXPECT_EQ(sent.answer->header("Connection"), "close") << what;
      EXPECT_TRUE(sent.closed) << what;
      // A refresh that ran would have been answered only after its fetch.
      EXPECT_EQ(curl.calls(), 0) << what;
    }
  }
  EXPECT_EQ(state(), before);
}

TEST_F(OriginE2e, WritesFromItsOwnPagesAndFromToolsAreTaken) {
  const std::string own = "127.0.0.1:" + port();
  struct Case {
    std::string host;
    std::string origin;
  } cases[] = {
      {own, "Origin: http://" + own + "\r\n"},
      {own, ""},  // a tool sends no Origin
      {"familypc:80", "Origin: http://familypc\r\n"},
      {"familypc", "Origin: http://FamilyPC:80\r\n"},
  };
  for (const Case& c : cases) {
    const std::string body = R"({"title":"Dentist"})";
    const Exchange put =
        exchange(server->port(),
                 "PUT /api/doc/events/dentist HTTP/1.1\r\nHost: " + c.host + "\r\n" + c.origin +
                     "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                 false);
    ASSERT_TRUE(put.answer) << c.host << c.origin;
    EXPECT_EQ(put.answer->status, 200) << c.host << c.origin;
    EXPECT_EQ(json::parse(state())["events"]["dentist"]["title"], "Dentist");
    const Exchange remove =
        exchange(server->port(),
                 "DELETE /api/doc/events/dentist HTTP/1.1\r\nHost: " + c.host + "\r\n" + c.origin + "\r\n", false);
    ASSERT_TRUE(remove.answer);
    EXPECT_EQ(remove.answer->status, 200);
    EXPECT_FALSE(json::parse(state())["events"].contains("dentist"));
  }
  const Exchange refresh = exchange(
      server->port(), "POST /api/refresh HTTP/1.1\r\nHost: " + own + "\r\nOrigin: http://" + own + "\r\n\r\n", false);
  ASSERT_TRUE(refresh.answer);
  EXPECT_EQ(refresh.answer->status, 200);
  EXPECT_EQ(refresh.answer->body, R"({"ok":true})");
  EXPECT_EQ(curl.urls(), std::vector<std::string>{kFeedUrl});
}

}  // namespace
