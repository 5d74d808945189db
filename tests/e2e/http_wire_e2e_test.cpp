// What the real program does with requests that ask for more than it serves:
// compressed bodies, declared lengths over the limit, bodies that stop short,
// Range and Accept-Encoding headers. Sent over raw connections where a client
// library would not send them, or would hide what the server answered.
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>
#include <thread>

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
const std::string kTimedOut = R"({"error":"The request took too long"})";
const std::string kHeadTooLarge = R"({"error":"Request headers too large"})";

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
  stream.readUntilItHolds(received, "retry: 3000\ndata: {\"full\":");
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

TEST_F(WireTest, ABodyIsReadOrEndsItsConnectionAndNeverRunsAsARequest) {
  // The body of each request is itself a request that would delete an item.
  const std::string smuggled = "DELETE /api/doc/events/keep HTTP/1.1\r\nHost: x\r\n\r\n";
  std::ostringstream chunkSize;
  chunkSize << std::hex << smuggled.size();
  const std::string chunked = chunkSize.str() + "\r\n" + smuggled + "\r\n0\r\n\r\n";
  struct Case {
    std::string method, path;
    bool readsLength, readsChunked;  // whether the server reads a body framed each way
  } cases[] = {
      {"GET", "/api/state", false, false},
      {"HEAD", "/api/state", false, false},
      {"HEAD", "/", false, false},
      {"OPTIONS", "/api/state", false, false},
      {"TRACE", "/", false, false},
      {"PUT", "/api/doc/events/x", true, true},
      {"POST", "/api/nothing", true, true},
      {"PATCH", "/api/state", true, true},
      {"DELETE", "/api/doc/events/x", true, false},
  };
  enum Framing { none, length, chunks };
  for (const auto& c : cases) {
    for (Framing framing : {none, length, chunks}) {
      const std::string what = c.method + " " + c.path + " framing " + std::to_string(framing);
      ASSERT_EQ(client().Put("/api/doc/events/keep", "{}", "application/json")->status, 200) << what;
      const std::string request =
          framing == none ? head(c.method, c.path, "")
          : framing == length
              ? head(c.method, c.path, "Content-Length: " + std::to_string(smuggled.size()) + "\r\n") + smuggled
              : head(c.method, c.path, "Transfer-Encoding: chunked\r\n") + chunked;
      RawConnection connection(server->port());
      ASSERT_TRUE(connection.send(request)) << what;
      // An answer to HEAD has a Content-Length but no body.
      auto answer = c.method == "HEAD" ? connection.readHead() : connection.readAnswer();
      ASSERT_TRUE(answer) << what;
      const bool unread = framing == length ? !c.readsLength : framing == chunks && !c.readsChunked;
      EXPECT_EQ(answer->header("Connection") == "close", unread) << what;
      EXPECT_EQ(answer->header("Keep-Alive") == "", unread) << what;
      if (unread) {
        std::string rest;
        EXPECT_TRUE(connection.readUntilClosed(rest)) << what;
        EXPECT_EQ(rest, "") << what << ": the body was answered as a request";
      } else {
        EXPECT_TRUE(connection.takesAnotherRequest()) << what;
      }
      auto state = client().Get("/api/state");
      ASSERT_TRUE(state) << what;
      EXPECT_NE(state->body.find("\"keep\":{}"), std::string::npos) << what << ": the body ran as a request";
    }
  }
}

TEST_F(WireTest, ARequestThatAsksBeforeSendingItsBodyIsRefusedAtOnceOrInvited) {
  // Refused from the head alone: the refusal comes first, with no invitation.
  struct Refused {
    std::string headers;
    int status;
    std::string body;
  } refused[] = {
      {"Content-Length: 3000000\r\n", 413, kTooBig},
      {"Content-Length: 99999999999\r\n", 413, kTooBig},
      {"Content-Length: 10\r\nContent-Encoding: gzip\r\n", 415, kCompressed},
  };
  for (const auto& r : refused) {
    RawConnection connection(server->port());
    ASSERT_TRUE(connection.send(head("PUT", "/api/doc/events/x", r.headers + "Expect: 100-continue\r\n")));
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << r.headers;
    EXPECT_EQ(answer->status, r.status) << r.headers;
    EXPECT_EQ(answer->body, r.body) << r.headers;
    EXPECT_EQ(answer->header("Connection"), "close") << r.headers;
    std::string rest;
    connection.shutdownWrite();
    EXPECT_TRUE(connection.readUntilClosed(rest)) << r.headers;
    EXPECT_EQ(rest, "") << r.headers;
  }
  // A request the server takes is invited, and answered once its body came.
  RawConnection connection(server->port());
  ASSERT_TRUE(connection.send(head("PUT", "/api/doc/events/x", "Content-Length: 2\r\nExpect: 100-continue\r\n")));
  auto invitation = connection.readHead();
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->status, 100);
  ASSERT_TRUE(connection.send("{}"));
  auto answer = connection.readAnswer();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_TRUE(connection.takesAnotherRequest());
}

TEST_F(WireTest, AClientThatSendsAWholeOversizedBodyReadsTheRefusal) {
  // The server refuses from the declared length, and reads on while the body
  // still arrives, so that sending it never fails before the answer is read.
  // The first 64 KiB go with the head, the rest a moment later, as from a
  // device on Wi-Fi: by then the answer is written.
  const std::string body(3000000 - 65536, ' ');
  for (int i = 0; i < 8; ++i) {
    RawConnection connection(server->port());
    ASSERT_TRUE(
        connection.send(head("PUT", "/api/doc/events/x", "Content-Length: 3000000\r\n") + std::string(65536, ' ')));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(connection.send(body)) << i;
    auto answer = connection.readAnswer();
    ASSERT_TRUE(answer) << i;
    EXPECT_EQ(answer->status, 413) << i;
    EXPECT_EQ(answer->body, kTooBig) << i;
  }
}

TEST_F(WireTest, AnEventStreamToHttp10IsUnchunkedAndToHttp11AsItWas) {
  // The stream never ends: what came up to its first event is compared.
  RawConnection old(server->port());
  ASSERT_TRUE(old.send("GET /api/stream HTTP/1.0\r\n\r\n"));
  std::string received;
  old.readUntilItHolds(received, "data: {\"full\":");
  EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nConnection: close\r\n"
                           "Content-Type: text/event-stream\r\nX-Accel-Buffering: no\r\n\r\n"
                           "retry: 3000\ndata: {\"full\":",
                           0),
            0u)
      << received;
  RawConnection current(server->port());
  ASSERT_TRUE(current.send("GET /api/stream HTTP/1.1\r\nHost: x\r\n\r\n"));
  received.clear();
  current.readUntilItHolds(received, "data: {\"full\":");
  EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\nCache-Control: no-store\r\nContent-Type: text/event-stream\r\n"
                           "Keep-Alive: timeout=5, max=100\r\nTransfer-Encoding: chunked\r\n"
                           "X-Accel-Buffering: no\r\n\r\n8c\r\nretry: 3000\ndata: {\"full\":",
                           0),
            0u)
      << received;
}

TEST_F(WireTest, ARequestHeadIsCappedAndAFloodOfHeadersHoldsNoMemory) {
  const std::string line = "X-Filler: " + std::string(990, 'a') + "\r\n";  // 1,002 bytes
  // 60 KiB of headers is still a request.
  std::string headers;
  while (headers.size() < 60 * 1024) headers += line;
  RawConnection fits(server->port());
  ASSERT_TRUE(fits.send(head("GET", "/api/state", headers)));
  auto answer = fits.readAnswer();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  // Twenty connections send header lines with no end: each is answered 431
  // once its head passes 64 KiB, and ends.
  const long before = peakMemoryKiB(server->pid());
  std::string flood;
  while (flood.size() < 4 * 1024 * 1024) flood += line;
  std::vector<std::thread> senders;
  std::vector<std::optional<RawAnswer>> answers(20);
  std::vector<bool> closed(20, false);
  for (int i = 0; i < 20; ++i) {
    senders.emplace_back([&, i] {
      RawConnection connection(server->port());
      connection.send("GET /api/state HTTP/1.1\r\nHost: x\r\n" + flood);
      answers[i] = connection.readAnswer();
      std::string rest;
      closed[i] = connection.readUntilClosed(rest);
    });
  }
  for (auto& t : senders) t.join();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(answers[i]) << i;
    EXPECT_EQ(answers[i]->status, 431) << i;
    EXPECT_EQ(answers[i]->body, kHeadTooLarge) << i;
    EXPECT_EQ(answers[i]->header("Connection"), "close") << i;
    EXPECT_TRUE(closed[i]) << i;
  }
  const long after = peakMemoryKiB(server->pid());
  EXPECT_LT(after - before, 16 * 1024) << "80 MB of headers raised the peak from " << before << " to " << after
                                       << " KiB";
  EXPECT_TRUE(plain("/api/state"));
}

// The same server with the request deadline and the ping interval shortened
// (10 s and 20 s in production), for the tests that wait on them.
struct ShortTimersWireTest : WireTest {
  static constexpr int kRequestSeconds = 1;
  static constexpr std::chrono::seconds kPing{1};
  void SetUp() override {
    ServerOptions options;
    options.env[kTestTimingsVariable] =
        "request=" + std::to_string(kRequestSeconds) + ",ping=" + std::to_string(kPing.count());
    startServer(options);
  }
};

TEST_F(ShortTimersWireTest, ARequestCutOffByItsDeadlineGets408AndItsConnectionEnds) {
  // A head sent a line every quarter of a second, and a body dripped after
  // "100 Continue": the invitation does not stop the clock.
  RawConnection slowHead(server->port());
  RawConnection drip(server->port());
  ASSERT_TRUE(slowHead.send("GET /api/state HTTP/1.1\r\n"));
  ASSERT_TRUE(drip.send(head("PUT", "/api/doc/events/drip", "Content-Length: 100\r\nExpect: 100-continue\r\n")));
  auto invitation = drip.readHead();
  ASSERT_TRUE(invitation);
  ASSERT_EQ(invitation->status, 100);
  // Both are answered within their deadline; each is there half a second later.
  for (int i = 0; i < 4 * kRequestSeconds + 2; ++i) {
    slowHead.send("X-Slow: " + std::to_string(i) + "\r\n");
    drip.send(i == 0 ? "{" : " ");
    std::this_thread::sleep_for(250ms);
  }
  for (RawConnection* connection : {&slowHead, &drip}) {
    auto answer = connection->readAnswer(1s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 408);
    EXPECT_EQ(answer->body, kTimedOut);
    EXPECT_EQ(answer->header("Connection"), "close");
    std::string rest;
    EXPECT_TRUE(connection->readUntilClosed(rest, 1s));
    EXPECT_EQ(rest, "");
  }
  auto state = plain("/api/state");
  ASSERT_TRUE(state);
  EXPECT_EQ(state->body.find("drip"), std::string::npos);
}

// The server's open sockets (its listening socket and its connections).
std::size_t openSockets(pid_t pid) {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0) ++count;
  }
  return count;
}

TEST_F(ShortTimersWireTest, AClosedWindowsStreamEndsAtItsFirstPing) {
  const std::size_t before = openSockets(server->pid());
  std::chrono::steady_clock::time_point opened;
  {
    RawConnection window(server->port());
    ASSERT_TRUE(window.send("GET /api/stream HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(window.readHead());
    opened = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return openSockets(server->pid()) == before + 1; }, 2s));
  }
  // The first ping finds the window gone (before, the second one did): the
  // stream ends between them, counted from its opening.
  const auto firstPingAndAHalf = std::chrono::duration_cast<std::chrono::milliseconds>(
      opened + std::chrono::milliseconds(kPing) * 3 / 2 - std::chrono::steady_clock::now());
  EXPECT_TRUE(waitUntil([&] { return openSockets(server->pid()) == before; }, firstPingAndAHalf));
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
  // The read time-out (5 s for a household) shortened: the stalled requests
  // below are answered when it ends.
  options.env[kTestTimingsVariable] = "read=1";
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
  // answered when its read stops (the read time-out without a byte, well
  // before the request deadline, which would answer 408): 400, and the
  // connection ends.
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
