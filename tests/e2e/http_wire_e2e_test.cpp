// What the real program does with requests that ask for more than it serves:
// compressed bodies, declared lengths over the limit, bodies that stop short,
// Range and Accept-Encoding headers. Sent over raw connections where a client
// library would not send them, or would hide what the server answered.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "fake_curl/fake_curl.h"
#include "support/raw_http.h"
#include "support/running_server.h"
#include "support/test_timings.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kTooBig = R"({"error":"Too big"})";
const std::string kBadData = R"({"error":"Bad data"})";
const std::string kNotFound = R"({"error":"Not found"})";
const std::string kCompressed = R"({"error":"Compressed bodies are not accepted"})";

struct WireTest : ServerTest {
  void SetUp() override {
    // A page that compresses well, as a real app.html does.
    std::string app;
    for (int i = 0; app.size() < 200000; ++i) app += "<div class=\"row\">Row " + std::to_string(i) + "</div>\n";
    writeFile(folder.path() / "app.html", app);
    startServer();
  }
  std::string head(const std::string& method, const std::string& path, const std::string& headers) {
    return method + " " + path + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
  }
  // The status line and headers of the answer to one request sent on `connection`.
  std::optional<RawAnswer> headOfAnswer(RawConnection& connection, const std::string& method, const std::string& path,
                                        const std::string& headers) {
    if (!connection.send(head(method, path, headers))) return std::nullopt;
    return connection.readHead();
  }
  // Plain answers through a client library, for comparison.
  httplib::Result plain(const std::string& path) {
    return server->newClient()->Get(path.c_str());
  }
};

// A body that is the end of its connection: the answer says so, and the
// server takes no further request on it.
void expectLastOnItsConnection(RawConnection& connection, const RawAnswer& answer, const std::string& what) {
  EXPECT_EQ(answer.header("Connection"), "close") << what;
  EXPECT_FALSE(connection.takesAnotherRequest()) << what;
}

TEST_F(WireTest, ACompressedBodyIsRefusedOnEveryPathBeforeItIsRead) {
  const char* methods[] = {"POST", "PUT", "PATCH", "DELETE", "GET"};
  const char* paths[] = {"/", "/api/state", "/api/doc/events/a", "/%0A", "/api/doc/events/%0A", "/api/refresh"};
  for (const char* method : methods) {
    for (const char* path : paths) {
      const std::string what = std::string(method) + " " + path;
      RawConnection connection(server->port());
      // The body is declared but never sent: the answer cannot wait for it.
      ASSERT_TRUE(connection.send(
          head(method, path, "Content-Encoding: br\r\nContent-Length: 1000000\r\nContent-Type: application/json\r\n")));
      auto answer = connection.readAnswer();
      ASSERT_TRUE(answer) << what;
      EXPECT_EQ(answer->status, 415) << what;
      EXPECT_EQ(answer->body, kCompressed) << what;
      EXPECT_EQ(answer->header("Content-Type"), "application/json; charset=utf-8") << what;
      EXPECT_EQ(answer->header("Cache-Control"), "no-store") << what;
      expectLastOnItsConnection(connection, *answer, what);
    }
  }
  // Every way of naming a coding but identity; identity itself is no coding at all.
  struct Coding {
    const char* name;
    int status;
  } codings[] = {{"gzip", 415},     {"deflate", 415},  {"GZIP", 415},        {"x-gzip", 415}, {"identity, br", 415},
                 {"zstd", 415},     {"identity", 200}, {"Identity", 200},    {" identity ", 200}};
  for (const auto& coding : codings) {
    RawConnection connection(server->port());
    ASSERT_TRUE(connection.send(head("PUT", "/api/doc/events/a",
                                     std::string("Content-Encoding: ") + coding.name + "\r\nContent-Length: 2\r\n") +
                                "{}"));
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << coding.name;
    EXPECT_EQ(answer->status, coding.status) << coding.name;
    EXPECT_EQ(connection.takesAnotherRequest(), coding.status == 200) << coding.name;
  }
}

// A gzip body that unpacks to `bytes` zero bytes, a thousand times smaller.
std::string gzipOfZeros(std::size_t bytes) {
  httplib::detail::gzip_compressor gzip;
  const std::string block(1 << 20, '\0');
  std::string out;
  for (std::size_t done = 0; done < bytes; done += block.size()) {
    gzip.compress(block.data(), block.size(), done + block.size() >= bytes, [&](const char* data, std::size_t n) {
      out.append(data, n);
      return true;
    });
  }
  return out;
}

TEST_F(WireTest, ACompressedBodyCannotMakeTheServerHoldItUnpacked) {
  // A small body that unpacks to 160 MiB, sent whole, also where no route
  // matches the path (an encoded line break).
  const std::string bomb = gzipOfZeros(160u << 20);
  ASSERT_LT(bomb.size(), 1000000u);
  const char* paths[] = {"/api/doc/events/e1", "/api/doc/events/a%20b", "/api/nothing", "/%0A", "/api/doc/events/%0D%0A"};
  for (const char* method : {"DELETE", "PUT", "POST", "PATCH", "PRI"}) {
    for (const char* path : paths) {
      RawConnection connection(server->port());
      connection.send(head(method, path,
                           "Content-Encoding: gzip\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                               std::to_string(bomb.size()) + "\r\n") +
                      bomb);
      auto answer = connection.readAnswer();
      ASSERT_TRUE(answer) << method << " " << path;
      EXPECT_EQ(answer->status, 415) << method << " " << path;
    }
  }
  long peak = peakMemoryKiB(server->pid());
  ASSERT_GT(peak, 0);
  EXPECT_LT(peak, 96 * 1024) << "the server held an unpacked body";
  EXPECT_TRUE(plain("/api/state"));
}

TEST_F(WireTest, ADeclaredLengthOverTheLimitIsRefusedWithoutReadingTheBody) {
  struct Case {
    std::string method, path, length;
    std::size_t sent;  // bytes of the body sent before the answer is read
  } cases[] = {
      {"PUT", "/api/doc/events/x", "2000000000", 0},
      {"PUT", "/api/doc/events/x", "3000000", 65536},
      {"PUT", "/api/doc/events/x", "2065537", 0},
      {"PUT", "/api/doc/events/x", "99999999999999999999999", 0},
      {"DELETE", "/api/doc/events/x", "2000000000", 0},
      {"POST", "/api/refresh", "2000000000", 0},
      {"POST", "/%0A", "2000000000", 0},
      {"PATCH", "/", "2000000000", 0},
      {"GET", "/api/state", "2000000000", 0},
  };
  for (const auto& c : cases) {
    const std::string what = c.method + " " + c.path + " " + c.length;
    RawConnection connection(server->port());
    ASSERT_TRUE(connection.send(head(c.method, c.path, "Content-Length: " + c.length + "\r\n") +
                                std::string(c.sent, ' ')));
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << what;
    EXPECT_EQ(answer->status, 413) << what;
    EXPECT_EQ(answer->body, kTooBig) << what;
    expectLastOnItsConnection(connection, *answer, what);
  }
  // The largest body the server receives at all still gets the item route's own answer.
  RawConnection connection(server->port());
  ASSERT_TRUE(connection.send(head("PUT", "/api/doc/events/x", "Content-Length: 2065536\r\n") +
                              std::string(2065536, ' ')));
  auto answer = connection.readAnswer();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 413);
  EXPECT_TRUE(connection.takesAnotherRequest());
}

std::string chunked(std::size_t total) {
  const std::string piece(65536, ' ');
  std::string body;
  for (std::size_t sent = 0; sent < total; sent += piece.size()) body += "10000\r\n" + piece + "\r\n";
  return body + "0\r\n\r\n";
}

TEST_F(WireTest, AChunkedBodyIsStoppedOnceItPassesTheLimit) {
  for (const char* target : {"PUT /api/doc/events/x", "DELETE /api/doc/events/x", "POST /api/refresh", "POST /%0A",
                             "PUT /api/doc/live/weather"}) {
    const std::string method = std::string(target).substr(0, std::string(target).find(' '));
    const std::string path = std::string(target).substr(method.size() + 1);
    RawConnection connection(server->port());
    // DELETE bodies are read only with a Content-Length; the chunked coding
    // then decides how they are read.
    const std::string length = method == "DELETE" ? "Content-Length: 1\r\n" : "";
    connection.send(head(method, path, "Transfer-Encoding: chunked\r\n" + length) + chunked(2200000));
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << target;
    if (path == "/api/doc/live/weather") {
      EXPECT_EQ(answer->status, 403) << target;
    } else {
      EXPECT_EQ(answer->status, 413) << target;
      EXPECT_EQ(answer->body, kTooBig) << target;
    }
    expectLastOnItsConnection(connection, *answer, target);
  }
  // Below the limit a chunked body is read as any other.
  RawConnection connection(server->port());
  ASSERT_TRUE(connection.send(head("PUT", "/api/doc/events/x", "Transfer-Encoding: chunked\r\n") +
                              "2\r\n{}\r\n0\r\n\r\n"));
  auto answer = connection.readAnswer();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_TRUE(connection.takesAnotherRequest());
}

TEST_F(WireTest, AnswersAreWholeWhateverRangeAsks) {
  for (const char* path : {"/", "/api/state", "/favicon.ico"}) {
    auto whole = plain(path);
    ASSERT_TRUE(whole) << path;
    for (const char* range : {"bytes=0-5", "bytes=-3", "bytes=0-,0-", "bytes=2-"}) {
      RawConnection connection(server->port());
      ASSERT_TRUE(connection.send(head("GET", path, std::string("Range: ") + range + "\r\n")));
      auto answer = connection.readAnswer();
      ASSERT_TRUE(answer) << path << " " << range;
      EXPECT_EQ(answer->status, whole->status) << path << " " << range;
      EXPECT_EQ(answer->header("Content-Range"), "") << path << " " << range;
      EXPECT_EQ(answer->header("Content-Type"), whole->get_header_value("Content-Type")) << path << " " << range;
      EXPECT_EQ(answer->body, whole->body) << path << " " << range;
    }
  }
  // The event stream too is the whole stream, not a part of it.
  RawConnection stream(server->port());
  auto streamHead = headOfAnswer(stream, "GET", "/api/stream", "Range: bytes=0-5\r\n");
  ASSERT_TRUE(streamHead);
  EXPECT_EQ(streamHead->status, 200);
  // Nor is any offered.
  RawConnection headOnly(server->port());
  auto headAnswer = headOfAnswer(headOnly, "HEAD", "/", "");
  ASSERT_TRUE(headAnswer);
  EXPECT_EQ(headAnswer->status, 200);
  EXPECT_EQ(headAnswer->header("Accept-Ranges"), "");
  // A Range header the library cannot read is answered 416 before any route,
  // with the error body whole.
  RawConnection malformed(server->port());
  ASSERT_TRUE(malformed.send(head("GET", "/api/state", "Range: bytes=0-1,5-1\r\n")));
  auto refused = malformed.readAnswer();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 416);
  EXPECT_EQ(refused->body, kNotFound);
  EXPECT_EQ(refused->header("Content-Range"), "");
}

TEST_F(WireTest, ManyRangesMakeNoCopiesOfTheState) {
  // A state of about 1 MB, and one Range header naming the whole of it 600 times.
  httplib::Client client("127.0.0.1", server->port());
  auto put = client.Put("/api/doc/events/big", "{\"a\":\"" + std::string(1000000, 'x') + "\"}", "application/json");
  ASSERT_TRUE(put);
  ASSERT_EQ(put->status, 200);
  std::string range = "Range: bytes=0-";
  for (int i = 1; i < 600; ++i) range += ",0-";
  auto whole = plain("/api/state");
  ASSERT_TRUE(whole);
  RawConnection connection(server->port());
  ASSERT_TRUE(connection.send(head("GET", "/api/state", range + "\r\n")));
  auto answer = connection.readAnswer(30s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body.size(), whole->body.size());
  long peak = peakMemoryKiB(server->pid());
  ASSERT_GT(peak, 0);
  EXPECT_LT(peak, 128 * 1024) << "the server built copies of the state";
}

TEST_F(WireTest, AnswersAreNeverCompressed) {
  const httplib::Headers browser{{"Accept-Encoding", "gzip, deflate, br"}};
  httplib::Client client("127.0.0.1", server->port());
  client.set_read_timeout(10, 0);
  // Shows the answer as it came, without unpacking it.
  client.set_decompress(false);
  for (const char* path : {"/", "/index.html", "/api/state", "/favicon.ico"}) {
    auto whole = plain(path);
    auto answer = client.Get(path, browser);
    ASSERT_TRUE(answer && whole) << path;
    EXPECT_FALSE(answer->has_header("Content-Encoding")) << path;
    EXPECT_EQ(answer->body, whole->body) << path;
  }
  auto refused = client.Put("/api/doc/events/x", browser, "[1]", "application/json");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_FALSE(refused->has_header("Content-Encoding"));
  EXPECT_EQ(refused->body, kBadData);
  // The event stream: its head and its first event as they are.
  RawConnection stream(server->port());
  auto streamHead = headOfAnswer(stream, "GET", "/api/stream", "Accept-Encoding: gzip, deflate, br\r\n");
  ASSERT_TRUE(streamHead);
  EXPECT_EQ(streamHead->status, 200);
  EXPECT_EQ(streamHead->header("Content-Encoding"), "");
  std::string received;
  stream.readUntilClosed(received, 2s);
  EXPECT_NE(received.find("retry: 3000\ndata: {\"full\":"), std::string::npos) << received;
}

TEST_F(WireTest, ABodyTheLibraryNeverReadsEndsItsConnection) {
  // The library reads no body of a GET, nor of a DELETE without a
  // Content-Length: left on the connection it would be taken for the next request.
  struct Case {
    std::string method, path, headers, body;
    int status;
  } cases[] = {
      {"GET", "/api/state", "Content-Length: 37\r\n", "GET /api/state HTTP/1.1\r\nHost: x\r\n\r\n", 200},
      {"DELETE", "/api/doc/events/x", "Transfer-Encoding: chunked\r\n", "0\r\n\r\n", 200},
  };
  for (const auto& c : cases) {
    RawConnection connection(server->port());
    ASSERT_TRUE(connection.send(head(c.method, c.path, c.headers)));
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << c.method;
    EXPECT_EQ(answer->status, c.status) << c.method;
    EXPECT_EQ(answer->header("Connection"), "close") << c.method;
    // The body arrives after the answer, as from a slow client.
    connection.send(c.body);
    std::string rest;
    EXPECT_TRUE(connection.readUntilClosed(rest)) << c.method;
    EXPECT_EQ(rest, "") << c.method << ": the body was answered as a request";
  }
}

TEST(WireRefresh, ARequestWhoseBodyIsCutOffDoesNothing) {
  // One linked calendar, so that every refresh runs curl once.
  TempFolder folder;
  fakecurl::FakeCurl curl;
  nlohmann::json doc = nlohmann::json::object();
  for (const char* name : {"members", "events", "chores", "meals", "lists", "settings", "feeds", "live", "feedEvents"})
    doc[name] = nlohmann::json::object();
  doc["events"]["e1"] = {{"title", "stays"}};
  doc["feeds"]["f"] = {{"url", "https://cal.example/f.ics"}, {"kind", "Family"}};
  writeFile(folder.path() / "family-data.json", doc.dump());
  ServerOptions options;
  options.pathPrefix = BRIMLOFT_FAKE_CURL_DIR;
  options.env = curl.serverEnv();
  // The request deadline shortened from 10 s to 2, below the read time-out (5 s).
  options.env[kTestTimingsVariable] = "request=2";
  RunningServer server(folder.path(), options);
  ASSERT_TRUE(server.started()) << server.console();
  ASSERT_TRUE(waitUntil([&] { return curl.calls() == 1; }, 10s));
  ASSERT_TRUE(server.waitForConsole("Calendar \"Family\" problem", 10s));

  struct Case {
    std::string method, path, headers, body;
  } cases[] = {
      {"DELETE", "/api/doc/events/e1", "Content-Length: 100\r\n", "0123456789"},
      {"DELETE", "/api/doc/events/e1", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "zz\r\nab"},
      {"POST", "/api/refresh", "Content-Length: 100\r\n", "0123456789"},
      {"POST", "/api/refresh", "Transfer-Encoding: chunked\r\n", "10\r\nabc"},
      {"PUT", "/api/doc/events/e1", "Content-Length: 100\r\n", "{\"title\":\"changed\"}"},
  };
  // A client that stops sending (a tablet that leaves the house) is
  // answered when its read stops (here at the request deadline): 400, and
  // the connection ends.
  std::vector<std::unique_ptr<RawConnection>> stalled;
  for (const auto& c : cases) {
    stalled.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(stalled.back()->send(c.method + " " + c.path + " HTTP/1.1\r\nHost: x\r\n" + c.headers + "\r\n" + c.body));
  }
  for (std::size_t i = 0; i < stalled.size(); ++i) {
    const std::string what = cases[i].method + " " + cases[i].headers;
    auto answer = stalled[i]->readAnswer(20s);
    ASSERT_TRUE(answer) << what;
    EXPECT_EQ(answer->status, 400) << what;
    EXPECT_EQ(answer->body, kBadData) << what;
    EXPECT_EQ(answer->header("Connection"), "close") << what;
    std::string rest;
    EXPECT_TRUE(stalled[i]->readUntilClosed(rest)) << what;
  }
  // A client that closes its side mid-body gets no answer at all (the library
  // writes none to a closed peer), and the request does nothing either.
  for (const auto& c : cases) {
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.send(c.method + " " + c.path + " HTTP/1.1\r\nHost: x\r\n" + c.headers + "\r\n" + c.body));
    connection.shutdownWrite();
    std::string rest;
    EXPECT_TRUE(connection.readUntilClosed(rest)) << c.method;
  }
  // A whole refresh request runs curl once more, and the event is still there.
  auto client = server.newClient(30);
  auto refreshed = client->Post("/api/refresh");
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(refreshed->status, 200);
  EXPECT_EQ(curl.calls(), 2);
  auto state = client->Get("/api/state");
  ASSERT_TRUE(state);
  EXPECT_NE(state->body.find("\"e1\":{\"title\":\"stays\"}"), std::string::npos) << state->body;
}

}  // namespace
