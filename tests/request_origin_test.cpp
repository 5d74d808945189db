// Which Host names the server answers and which writes it takes: the names
// of a home network are answered, any name a web site could point at the
// computer is not, and a write from another site's page is refused.
#include "server/request_origin.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "text/text_util.h"

namespace {

const std::vector<std::string> kOwnNames = {"den-pc", "den-pc.family.example"};

bool answered(const std::string& hostHeader) {
  const std::optional<HostAndPort> host = readHostHeader(hostHeader);
  return host && isHouseholdHost(host->host, kOwnNames);
}

TEST(RequestOrigin, HouseholdNamesAreAnsweredAndEveryOtherNameIsNot) {
  struct Case {
    const char* host;
    bool answered;
  } cases[] = {
      // Addresses, as a browser writes them.
      {"127.0.0.1", true},            {"127.0.0.1:8080", true},        {"192.168.1.20:8080", true},
      {"10.0.0.255", true},           {"0.0.0.0", true},               {"[::1]", true},
      {"[::1]:8080", true},           {"[fe80::1:2]:80", true},        {"[::ffff:192.168.1.2]", true},
      {"[2001:db8:0:0:0:0:0:1]", true},
      // Names that only a home network resolves.
      {"localhost", true},            {"LOCALHOST:8080", true},        {"localhost.", true},
      {"app.localhost", true},        {"familypc", true},              {"kitchen-pc:8080", true},
      {"FamilyPC", true},             {"familypc.local", true},        {"familypc.local.", true},
      {"kitchen.lan", true},          {"pc.home", true},               {"pc.home.arpa", true},
      {"nas.internal", true},         {"pc.localdomain", true},        {"pc.fritz.box", true},
      {"den-pc.family.example", true}, {"DEN-PC.Family.Example.:80", true}, {"familypc:", true},
      {"local", true},                {"evillocal", true},  // single labels
      // Names a web site controls, however they start.
      {"evil.com", false},            {"attacker.example:8080", false}, {"rebind.attacker.example", false},
      {"127.0.0.1.nip.io", false},    {"localhost.attacker.com", false}, {"familypc.local.evil.net", false},
      {"evil.local.com", false},      {"pc.notlocal", false},          {"fritz.box", false},
      {"x.box", false},
      {"den-pc.family.example.evil.net", false}, {"other.family.example", false},
      // Numbers that are not a dotted quad: older forms of addresses, or nothing.
      {"1.2.3", false},               {"0x7f.1", false},               {"2130706433", false},
      {"0x7f000001", false},          {"127.0.0.01", false},           {"256.1.1.1", false},
      {"1.2.3.4.5", false},           {"pc.123", false},               {"0177.0.0.1", false},
      // Malformed.
      {"", false},                    {".", false},                    {"..", false},
      {"a..b", false},                {"[::1", false},                 {"::1", false},
      {"[::1]x", false},              {"[::1]:x", false},              {"[1:2]", false},
      {"[::1::2]", false},            {"[1:2:3:4:5:6:7:8:9]", false},  {"[example.com]", false},
      {"[::1%25eth0]", false},        {"familypc:80:80", false},       {"familypc:123456", false},
      {"familypc:65536", false},      {"familypc:-1", false},          {"family pc", false},
      {"user@familypc", false},       {"familypc/x", false},           {"famil\xc3\xbc.local", false},
      {"familypc\r", false},
  };
  for (const Case& c : cases) EXPECT_EQ(answered(c.host), c.answered) << '"' << c.host << '"';
}

TEST(RequestOrigin, HostHeaderIsReadWithoutPortCaseOrTrailingDot) {
  struct Case {
    const char* value;
    const char* host;
    std::optional<unsigned> port;
  } cases[] = {
      {"FamilyPC.Local.:8080", "familypc.local", 8080u},
      {"127.0.0.1", "127.0.0.1", std::nullopt},
      {"[::1]:80", "[::1]", 80u},
      {"[FE80::A]", "[fe80::a]", std::nullopt},
      {"pc:0", "pc", 0u},
      {"pc:", "pc", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<HostAndPort> read = readHostHeader(c.value);
    ASSERT_TRUE(read) << c.value;
    EXPECT_EQ(read->host, c.host) << c.value;
    EXPECT_EQ(read->port, c.port) << c.value;
  }
}

TEST(RequestOrigin, AnOriginCountsAsThisSiteOnlyWhenItNamesTheHost) {
  struct Case {
    std::vector<std::string> origins;
    const char* host;  // null: no Host header
    bool crossSite;
  } cases[] = {
      {{}, "familypc:8080", false},
      {{}, nullptr, false},
      {{"http://familypc:8080"}, "familypc:8080", false},
      {{"http://FamilyPC:8080"}, "familypc:8080", false},
      {{"http://familypc.local.:8080"}, "familypc.local:8080", false},
      {{"http://192.168.1.20:8080"}, "192.168.1.20:8080", false},
      {{"http://[::1]:8080"}, "[::1]:8080", false},
      // A missing port is the scheme's own.
      {{"http://familypc"}, "familypc:80", false},
      {{"http://familypc:80"}, "familypc", false},
      {{"http://familypc"}, "familypc", false},
      {{"https://familypc"}, "familypc", false},
      {{"https://familypc"}, "familypc:80", true},
      {{"http://familypc"}, "familypc:8080", true},
      {{"http://familypc:8081"}, "familypc:8080", true},
      // Other sites, and origins that name none.
      {{"http://attacker.example"}, "familypc:8080", true},
      {{"http://attacker.example:8080"}, "attacker.example:8080", false},
      {{"http://localhost:8080"}, "127.0.0.1:8080", true},
      {{"null"}, "familypc:8080", true},
      {{"file://"}, "familypc:8080", true},
      {{"ftp://familypc:8080"}, "familypc:8080", true},
      {{"http://familypc:8080/"}, "familypc:8080", true},
      {{"http://user@familypc:8080"}, "familypc:8080", true},
      {{"http://familypc:8080", "http://familypc:8080"}, "familypc:8080", true},
      {{"http://familypc:8080"}, nullptr, true},
      {{""}, "familypc:8080", true},
  };
  for (const Case& c : cases) {
    const std::string host = c.host ? c.host : "";
    const std::string what = (c.origins.empty() ? "(no Origin)" : c.origins.front()) + " to " +
                             (c.host ? c.host : "(no Host)");
    EXPECT_EQ(isCrossSiteOrigin(c.origins, c.host ? &host : nullptr), c.crossSite) << what;
  }
}

httplib::Request request(const std::string& method, const std::string& path, const httplib::Headers& headers) {
  httplib::Request r;
  r.method = method;
  r.path = path;
  r.headers = headers;
  return r;
}

TEST(RequestOrigin, RefusalsNameTheAddressThatWorks) {
  setHouseholdAddress("192.168.1.20", 8080);
  const std::string message =
      "This calendar answers only at the household's own addresses. Open http://192.168.1.20:8080/ instead.";

  httplib::Response page;
  ASSERT_TRUE(answerForeignRequest(request("GET", "/", {{"Host", "evil.com"}}), page));
  EXPECT_EQ(page.status, 421);
  EXPECT_EQ(page.body, message + "\n");
  EXPECT_EQ(page.get_header_value("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(page.get_header_value("Cache-Control"), "no-store");

  httplib::Response api;
  ASSERT_TRUE(answerForeignRequest(request("GET", "/api/state", {{"Host", "evil.com"}}), api));
  EXPECT_EQ(api.status, 421);
  EXPECT_EQ(api.body, nlohmann::json({{"error", message}}).dump());
  EXPECT_EQ(api.get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(api.get_header_value("Cache-Control"), "no-store");

  httplib::Response twoHosts;
  EXPECT_TRUE(answerForeignRequest(request("GET", "/api/stream", {{"Host", "familypc"}, {"Host", "familypc"}}),
                                   twoHosts));
  EXPECT_EQ(twoHosts.status, 421);

  // Without a network address, the computer's own name for itself.
  setHouseholdAddress("", 9000);
  httplib::Response alone;
  ASSERT_TRUE(answerForeignRequest(request("GET", "/", {{"Host", "evil.com"}}), alone));
  EXPECT_NE(alone.body.find("Open http://localhost:9000/ instead."), std::string::npos) << alone.body;

  httplib::Response write;
  ASSERT_TRUE(answerForeignRequest(
      request("POST", "/api/refresh", {{"Host", "familypc:9000"}, {"Origin", "http://attacker.example"}}), write));
  EXPECT_EQ(write.status, 403);
  EXPECT_EQ(write.body, R"({"error":"Changes from other web sites are not accepted."})");
}

TEST(RequestOrigin, ReadsAndToolsAreLeftAlone) {
  struct Case {
    const char* method;
    httplib::Headers headers;
  } cases[] = {
      {"GET", {{"Host", "familypc:8080"}, {"Origin", "http://attacker.example"}}},  // reads carry no Origin check
      {"OPTIONS", {{"Host", "familypc:8080"}, {"Origin", "null"}}},
      {"PUT", {{"Host", "familypc:8080"}}},                                           // a tool: no Origin
      {"DELETE", {{"Host", "192.168.1.20:8080"}, {"Origin", "http://192.168.1.20:8080"}}},
      {"GET", {}},                                                                   // HTTP/1.0: no Host
      {"PUT", {}},
  };
  for (const Case& c : cases) {
    httplib::Response response;
    EXPECT_FALSE(answerForeignRequest(request(c.method, "/api/doc/events/a", c.headers), response)) << c.method;
    EXPECT_TRUE(response.body.empty());
  }
}

TEST(RequestOrigin, TheComputersOwnNameIsAnswered) {
  const std::vector<std::string> names = platform::computerNames();
  ASSERT_FALSE(names.empty());
  const std::string hostName = toLowerAscii(names.front());
  const std::vector<std::string>& own = ownHostNames();
  EXPECT_NE(std::find(own.begin(), own.end(), hostName.substr(0, hostName.find('.'))), own.end());
  for (const std::string& name : own) {
    EXPECT_EQ(toLowerAscii(name), name);
    EXPECT_NE(name.back(), '.');
  }
}

}  // namespace
