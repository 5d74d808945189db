// The web fetch: what goes to curl (configuration file, command line), how its
// output is read back, and that nothing is left behind or run by accident.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_curl/fake_curl.h"
#include "platform/platform.h"
#include "refresh/fetch.h"
#include "support/loopback_site.h"
#include "support/server_process.h"
#include "support/test_timings.h"

namespace {

const std::string kMarker = kStatusMarker;

struct OutputCase {
  const char* name;
  std::string output;
  bool ok;
  int status;
  std::string body;
  std::string error;
};

TEST(RefreshFetch, CurlOutputIsSplitAtTheLastMarker) {
  const std::string unreachable = "Could not reach the website. Check the internet connection.";
  const std::string longText(400, 'x');
  // Output without the marker never came from a curl that ran: its words are
  // not the household's.
  const std::string notCurl = "The \"curl\" program did not answer as expected. Check that curl is installed properly.";
  const std::string noAnswer = "No answer. Check the internet connection.";
  const OutputCase cases[] = {
      {"body and 200", "hello" + kMarker + "200", true, 200, "hello", ""},
      {"marker only", kMarker + "200", true, 200, "", ""},
      {"299 still ok", "b" + kMarker + "299", true, 299, "b", ""},
      {"404 leaves the message to the caller", "<h1>gone</h1>" + kMarker + "404", false, 404, "<h1>gone</h1>", ""},
      {"300 is not ok", "moved" + kMarker + "300", false, 300, "moved", ""},
      {"000 means no answer", "curl: (6) no host" + kMarker + "000", false, 0, "curl: (6) no host", unreachable},
      {"marker inside the body", "a" + kMarker + "200 b" + kMarker + "201", true, 201, "a" + kMarker + "200 b", ""},
      {"digits then other text", "x" + kMarker + "204curl: (23) late", true, 204, "x", ""},
      {"blanks and sign before digits", "x" + kMarker + "  +200", true, 200, "x", ""},
      {"no number after marker", "x" + kMarker + "abc", false, 0, "x", unreachable},
      {"shorter than the marker", "\n__BRIM", false, 0, "", notCurl},
      {"no marker, empty", "", false, 0, "", noAnswer},
      {"no marker, message", "sh: 1: curl: not found\r\n\n", false, 0, "", notCurl},
      {"no marker, only line ends", "\r\n\r\n", false, 0, "", noAnswer},
      {"no marker, long", longText, false, 0, "", notCurl},
  };
  for (const OutputCase& c : cases) {
    SCOPED_TRACE(c.name);
    FetchResult r = interpretCurlOutput(c.output, 0);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.error, c.error);
  }
}

// curl's exit code decides before the status line does: a transfer curl
// could not finish is never handed on, and the message says why.
TEST(RefreshFetch, CurlsExitCodeMakesTheFetchAFailure) {
  const std::string cutOff = "The download was cut off before it was complete. Try again later.";
  const std::string slow = "The download took longer than 30 seconds and was stopped. Try again later.";
  const std::string large = "The download is larger than 20 MB, too large to use.";
  const std::string unreachable = "Could not reach the website. Check the internet connection.";
  // curl's message arrives unbuffered, so it lands inside the body, before the marker.
  const std::string half = "BEGIN:VCALENDAR\r\nBEGIN:VEV";
  struct Case {
    const char* name;
    std::string output;
    int exitCode;
    int status;
    std::string error;
  } cases[] = {
      {"cut off", half + "curl: (18) transfer closed with 10 bytes remaining to read\nENT" + kMarker + "200", 18, 200,
       cutOff},
      {"too slow", half + "curl: (28) Operation timed out after 30001 milliseconds\n" + kMarker + "200", 28, 200, slow},
      {"too slow before any answer", "curl: (28) Connection timed out\n" + kMarker + "000", 28, 0, slow},
      {"announced too large", "curl: (63) Maximum file size exceeded\n" + kMarker + "200", 63, 200, large},
      // Every other failure gets a sentence of its own, never curl's line.
      {"redirect loop", "<p>x</p>curl: (47) Maximum (50) redirects followed\r\n<p>y" + kMarker + "301", 47, 301,
       "The website keeps sending the download on from one address to another and never delivers it. Open the "
       "link in a browser to check it, or try again later."},
      {"redirect to another protocol",
       "curl: (1) Protocol \"ftp\" not supported or disabled in libcurl\n" + kMarker + "302", 1, 302,
       "The website sent the download on to an address that does not start with http:// or https://, and such "
       "addresses are not followed. Check the link, or ask whoever publishes it for an https:// link."},
      {"reset", "curl: (56) old\nbody curl: (56) Recv failure: reset  \n" + kMarker + "200", 56, 200,
       "The connection to the website broke off. Try again later."},
      {"nothing came back", "curl: (52) Empty reply from server\n" + kMarker + "000", 52, 0,
       "The website closed the connection without answering. Try again later."},
      {"compressed and broken", "\x1f\x8b\x08curl: (61) Error while processing content unencoding\n" + kMarker + "200",
       61, 200, "The website sent a compressed answer that arrived broken. Try again later."},
      {"unknown host", "curl: (6) Could not resolve host: cal.example\n" + kMarker + "000", 6, 0,
       "Could not find the website. Check the link and the internet connection."},
      {"secure connection", "curl: (35) OpenSSL SSL_connect: SSL_ERROR_SYSCALL\n" + kMarker + "000", 35, 0,
       "Could not make a secure connection to the website. Check that this computer's date and time are right, "
       "or try again later."},
      {"no marker: curl's line", "curl: (26) Failed to open/read local data\n", 26, 0,
       "The download failed (curl error 26). Try again later."},
      {"curl not found", "sh: 1: curl: not found\n", 127, 0,
       "The \"curl\" program was not found, so weather and linked calendars can't update. On Linux run: sudo apt "
       "install curl"},
      {"no answer at all stays so", "curl: (7) Failed to connect\n" + kMarker + "000", 7, 0, unreachable},
      {"an unnamed failure before any answer", "curl: (99) x\n" + kMarker + "000", 99, 0, unreachable},
      {"ended by a signal", "whole" + kMarker + "200", 141, 200,
       "The download was stopped before it was complete. Try again later."},
      {"only line ends", "\r\n", 3, 0, "The link is not a complete web address. Check it."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FetchResult r = interpretCurlOutput(c.output, c.exitCode);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.error, c.error);
  }
  // The message names the time limit curl was given.
  {
    testsupport::ScopedTimings shortened("curl=2");
    EXPECT_EQ(interpretCurlOutput("curl: (28) Connection timed out\n" + kMarker + "000", 28).error,
              "The download took longer than 2 seconds and was stopped. Try again later.");
  }
  // An exit code that cannot be told leaves the output to decide.
  FetchResult unknown = interpretCurlOutput("whole" + kMarker + "200", -1);
  EXPECT_TRUE(unknown.ok);
  EXPECT_EQ(unknown.body, "whole");
}

TEST(RefreshFetch, ConfigurationFileEscapesTheLink) {
  const std::string tail =
      "user-agent = \"Brimloft/1.0\"\n"
      "write-out = \"\\n__BRIMLOFT_STATUS__%{http_code}\"\n"
      "globoff\n"
      "proto = \"=http,https\"\n"
      "proto-redir = \"=http,https\"\n";
  EXPECT_EQ(curlConfigText("https://example.org/a b?c=1"), "url = \"https://example.org/a b?c=1\"\n" + tail);
  EXPECT_EQ(curlConfigText("https://x/\r\nline\n2"), "url = \"https://x/line2\"\n" + tail);
  EXPECT_EQ(curlConfigText("https://x/\"q\"\\p"), "url = \"https://x/\\\"q\\\"\\\\p\"\n" + tail);
  EXPECT_EQ(curlConfigText("https://x/\t\x01\xC3\xBC"), "url = \"https://x/\t\x01\xC3\xBC\"\n" + tail);
  EXPECT_EQ(curlConfigText(""), "url = \"\"\n" + tail);
}

// A name already taken, by a file or a link someone put there, is passed
// over for the next one; what was there stays as it was.
TEST(RefreshFetch, ConfigFileTakesAnotherNameOnAClash) {
  testsupport::TempFolder folder;
  const std::filesystem::path taken = folder.path() / "brimloft-a.cfg";
  const std::filesystem::path trap = folder.path() / "brimloft-b.cfg";
  const std::filesystem::path target = folder.path() / "target";
  testsupport::writeFile(taken, "someone else's");
  std::filesystem::create_symlink(target, trap);
  std::vector<std::string> names = {"brimloft-a.cfg", "brimloft-b.cfg", "brimloft-c.cfg"};
  std::size_t drawn = 0;
  std::filesystem::path made = createConfigFile(folder.path(), "url = \"x\"\n", [&] { return names[drawn++]; });
  EXPECT_EQ(made, folder.path() / "brimloft-c.cfg");
  EXPECT_EQ(testsupport::readFile(made), "url = \"x\"\n");
  EXPECT_EQ(testsupport::readFile(taken), "someone else's");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(target)));

  // Only a bounded number of names is tried.
  int tries = 0;
  EXPECT_TRUE(createConfigFile(folder.path(), "x", [&] { ++tries; return std::string("brimloft-a.cfg"); }).empty());
  EXPECT_GE(tries, 2);
  EXPECT_LE(tries, 100);
}

TEST(RefreshFetch, ConfigFileNamesAreFreshDraws) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string name = drawConfigName();
    ASSERT_EQ(name.compare(0, 9, "brimloft-"), 0) << name;
    ASSERT_EQ(name.substr(name.size() - 4), ".cfg");
    std::string hex = name.substr(9, name.size() - 13);
    ASSERT_GE(hex.size(), 1u);
    ASSERT_LE(hex.size(), 16u);
    ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
    ASSERT_TRUE(hex.size() == 1 || hex[0] != '0') << name;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 200u);

  // Other processes draw other names too: nothing is shared or seeded alike.
  for (int child = 0; child < 3; ++child) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string name = drawConfigName();
      ssize_t written = ::write(fds[1], name.data(), name.size());
      ::_exit(written == static_cast<ssize_t>(name.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    char buffer[64];
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(seen.insert(std::string(buffer, static_cast<std::size_t>(n))).second);
  }
}

TEST(RefreshFetch, CommandLineIsFixed) {
  EXPECT_EQ(curlCommandLine("/tmp/brimloft-1f.cfg"),
            "curl -q -sS -L --max-time 30 --max-filesize 20000000 -K \"/tmp/brimloft-1f.cfg\" 2>&1");
  // Only tests give curl another time limit.
  testsupport::ScopedTimings shortened("curl=2");
  EXPECT_EQ(curlCommandLine("/tmp/brimloft-1f.cfg"),
            "curl -q -sS -L --max-time 2 --max-filesize 20000000 -K \"/tmp/brimloft-1f.cfg\" 2>&1");
}

TEST(RefreshFetch, FakeCurlReceivesTheFileAndLeavesNothingBehind) {
  fakecurl::FakeCurl curl;
  curl.installInProcess();
  const std::string url = "https://cal.example/\"odd\"\\path";
  curl.answer(url, fakecurl::Answer{std::string("BEGIN:VCALENDAR\r\n"), std::string("200"),
                                    std::string("curl: (0) a warning on stderr\n"), std::nullopt});

  FetchResult r = fetchUrl(url);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 200);
  // The error output shares the pipe: it arrives before the marker here.
  EXPECT_EQ(r.body, "BEGIN:VCALENDAR\r\ncurl: (0) a warning on stderr\n");
  EXPECT_EQ(r.error, "");

  ASSERT_EQ(curl.calls(), 1);
  EXPECT_EQ(curl.url(1), url);  // curl reads back exactly the link it was given
  EXPECT_EQ(curl.mode(1), "600");  // the private link is for this user's eyes only
  EXPECT_EQ(curl.config(1), curlConfigText(url));
  const std::string args = curl.args(1);
  const std::string prefix = "-q -sS -L --max-time 30 --max-filesize 20000000 -K " + curl.temp().string() + "/brimloft-";
  ASSERT_EQ(args.compare(0, prefix.size(), prefix), 0) << args;
  std::string hex = args.substr(prefix.size(), args.size() - prefix.size() - 4);
  EXPECT_EQ(args.substr(args.size() - 4), ".cfg");
  EXPECT_GE(hex.size(), 1u);
  EXPECT_LE(hex.size(), 16u);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
  EXPECT_NE(hex[0], '0');

  // Two fetches use two names, and neither file outlives its fetch.
  EXPECT_FALSE(fetchUrl("https://no-fixture.example/").ok);
  ASSERT_EQ(curl.calls(), 2);
  EXPECT_NE(curl.args(1), curl.args(2));
  EXPECT_TRUE(curl.leftovers().empty());
}

TEST(RefreshFetch, FakeCurlFailuresBecomeMessages) {
  fakecurl::FakeCurl curl;
  curl.installInProcess();
  curl.answer("https://silent.example/", fakecurl::Answer{});
  curl.answer("https://refused.example/",
              fakecurl::Answer{std::nullopt, std::string("000"),
                               std::string("curl: (7) Failed to connect\n"), std::nullopt});

  FetchResult silent = fetchUrl("https://silent.example/");
  EXPECT_EQ(silent.error, "No answer. Check the internet connection.");
  EXPECT_EQ(silent.status, 0);

  FetchResult unknown = fetchUrl("https://nobody.example/");
  EXPECT_EQ(unknown.error, "Could not find the website. Check the link and the internet connection.");

  FetchResult refused = fetchUrl("https://refused.example/");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.status, 0);
  EXPECT_EQ(refused.error, "Could not reach the website. Check the internet connection.");
  EXPECT_TRUE(curl.leftovers().empty());

  testsupport::ScopedEnv env;
  env.set("TMPDIR", (curl.temp() / "gone").string());
  EXPECT_EQ(fetchUrl("https://refused.example/").error,
            "The temporary folder could not be found. Set TMP, TEMP or TMPDIR to a folder that exists.");
}

// curl's --max-filesize stops only downloads whose size is announced; the
// fetch itself stops reading past the limit, so memory stays bounded.
TEST(RefreshFetch, OutputBeyondTheSizeLimitIsRefused) {
  fakecurl::FakeCurl curl;
  curl.installInProcess();
  const std::string largest(20000000, 'x');
  curl.answer("https://big.example/largest.ics", largest, "200");
  curl.answer("https://big.example/endless.ics", std::string(21000000, 'y'), "200");

  FetchResult ok = fetchUrl("https://big.example/largest.ics");
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body.size(), largest.size());

  FetchResult big = fetchUrl("https://big.example/endless.ics");
  EXPECT_FALSE(big.ok);
  EXPECT_EQ(big.status, 0);
  EXPECT_TRUE(big.body.empty()) << big.body.size();
  EXPECT_EQ(big.error, "The download is larger than 20 MB, too large to use.");
  EXPECT_TRUE(curl.leftovers().empty());
}

// A temporary folder whose name the shell would still read inside double
// quotes must not run anything: the fetch is refused before curl starts.
TEST(RefreshFetch, UnsafeTemporaryFolderRunsNothing) {
  fakecurl::FakeCurl curl;
  curl.installInProcess();
  curl.answer("https://cal.example/", "BEGIN:VCALENDAR", "200");
  testsupport::TempFolder base;
  testsupport::ScopedEnv env;
  const std::filesystem::path canary = base.path() / "ran";
  const std::string names[] = {
      "a\"; touch '" + canary.string() + "'; \"b",
      "a$(touch '" + canary.string() + "')b",
      "a`touch '" + canary.string() + "'`b",
      "back\\slash",
      "new\nline",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::filesystem::path folder = base.path() / name;
    std::filesystem::create_directories(folder);
    env.set("TMPDIR", folder.string());
    FetchResult r = fetchUrl("https://cal.example/");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error,
              "The temporary folder's path holds characters that cannot be passed to curl safely. "
              "Set TMP, TEMP or TMPDIR to a plain folder.");
    EXPECT_FALSE(std::filesystem::exists(canary));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
  }
  EXPECT_EQ(curl.calls(), 0);

  // Blanks and other punctuation are harmless between quotes.
  std::filesystem::path plain = base.path() / "with space & (parens) 'quote' #x";
  std::filesystem::create_directories(plain);
  env.set("TMPDIR", plain.string());
  EXPECT_TRUE(fetchUrl("https://cal.example/").ok);
  EXPECT_TRUE(std::filesystem::is_empty(plain));
}

TEST(RefreshFetch, SafeQuotingRules) {
  EXPECT_TRUE(platform::isSafeInCommandQuotes("/tmp/brimloft-1.cfg"));
  EXPECT_TRUE(platform::isSafeInCommandQuotes("/home/a b/'x'/#!&;|<>()*?~/\xC3\xA9"));
  for (const char* bad : {"/a\"b", "/a$b", "/a`b", "/a\\b", "/a\nb", "/a\rb", "/a\tb", "/a\x7f"}) {
    EXPECT_FALSE(platform::isSafeInCommandQuotes(bad)) << bad;
  }
}

// The real curl against a server of our own on the loopback interface proves
// the configuration file, the write-out marker and the status reading.
class RealCurl : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/curl")) GTEST_SKIP() << "no /usr/bin/curl";
    testsupport::useRealCurl(env_, temp_.path());
    server_.Get("/cal.ics", [this](const httplib::Request& request, httplib::Response& response) {
      userAgent_ = request.get_header_value("User-Agent");
      response.set_content(kCalendar, "text/calendar");
    });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("/cal.ics");
    });
    // 25 MB without a length, so curl cannot refuse it before it starts.
    server_.Get("/endless", [](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("text/calendar", [](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= 25000000) {
          sink.done();
          return true;
        }
        static const std::string chunk(65536, 'z');
        return sink.write(chunk.data(), chunk.size());
      });
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    ASSERT_TRUE(testsupport::waitUntil([this] { return server_.is_running(); }, std::chrono::seconds(5)));
  }
  void TearDown() override {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

  static constexpr const char* kCalendar =
      "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nSUMMARY:Dentist\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  testsupport::TempFolder temp_;
  testsupport::ScopedEnv env_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::string userAgent_;
};

TEST_F(RealCurl, FetchesStatusAndBody) {
  FetchResult ok = fetchUrl(base() + "/cal.ics");
  EXPECT_TRUE(ok.ok);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, kCalendar);
  EXPECT_EQ(ok.error, "");
  EXPECT_EQ(userAgent_, "Brimloft/1.0");

  FetchResult followed = fetchUrl(base() + "/moved");
  EXPECT_EQ(followed.status, 200);
  EXPECT_EQ(followed.body, kCalendar);

  FetchResult missing = fetchUrl(base() + "/missing.ics");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.error, "");
  EXPECT_TRUE(std::filesystem::is_empty(temp_.path()));
}

TEST_F(RealCurl, DownloadWithoutALengthIsCutAtTheSizeLimit) {
  FetchResult r = fetchUrl(base() + "/endless");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.body.empty()) << r.body.size();
  EXPECT_EQ(r.error, "The download is larger than 20 MB, too large to use.");
  EXPECT_TRUE(std::filesystem::is_empty(temp_.path()));
}

TEST_F(RealCurl, UnreachablePortGivesTheNoConnectionMessage) {
  FetchResult r = fetchUrl("http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/x");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.error, "Could not reach the website. Check the internet connection.");
  EXPECT_TRUE(r.body.empty()) << r.body;  // curl's "curl: (7) ..." is not handed on as a body
  EXPECT_TRUE(std::filesystem::is_empty(temp_.path()));
}

// Sites that misbehave as real ones do, against the real curl: whatever the
// status line said, a transfer that curl could not finish is a failure, and
// its message says why in words a family understands.
class MisbehavingSite : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/curl")) GTEST_SKIP() << "no /usr/bin/curl";
    testsupport::useRealCurl(env_, temp_.path());
  }
  void TearDown() override { EXPECT_TRUE(std::filesystem::is_empty(temp_.path())); }

  // One fetch from a site that gives `reply` to every request.
  FetchResult fetchFrom(const testsupport::RawReply& reply, const std::string& path = "/cal.ics") {
    testsupport::LoopbackSite site([&](const std::string&) { return reply; });
    return fetchUrl(site.base() + path);
  }
  static void expectFailure(const FetchResult& r, const std::string& message) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, message);
    EXPECT_TRUE(r.body.empty()) << r.body.size();  // nothing of a broken answer is handed on
  }

  testsupport::TempFolder temp_;
  testsupport::ScopedEnv env_;
};

const std::string kTooLarge = "The download is larger than 20 MB, too large to use.";
const std::string kCutOff = "The download was cut off before it was complete. Try again later.";
const std::string kTooSlowAfter2 = "The download took longer than 2 seconds and was stopped. Try again later.";

TEST_F(MisbehavingSite, CutOffDownloadFails) {
  const std::string half(10000, 'x');
  FetchResult r = fetchFrom({"HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + half, std::chrono::milliseconds(0)});
  expectFailure(r, kCutOff);
}

TEST_F(MisbehavingSite, AnnouncedLargeDownloadFailsWithTheSizeMessage) {
  FetchResult r = fetchFrom({"HTTP/1.1 200 OK\r\nContent-Length: 30000000\r\n\r\n" + std::string(1000, 'y'),
                             std::chrono::seconds(20)});
  expectFailure(r, kTooLarge);
}

// Takes curl's whole time limit, shortened to 2 seconds; the message names it.
TEST_F(MisbehavingSite, SiteThatStallsAfterItsHeadersFailsAsTooSlow) {
  testsupport::ScopedTimings shortened("curl=2");
  FetchResult r = fetchFrom({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nBEGIN:VCAL", std::chrono::seconds(60)});
  expectFailure(r, kTooSlowAfter2);
}

// A site that redirects to itself: curl gives up, and the household reads why.
TEST_F(MisbehavingSite, RedirectLoopGivesAPlainMessage) {
  FetchResult r = fetchFrom({"HTTP/1.1 302 Found\r\nLocation: /again\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
                             std::chrono::milliseconds(0)});
  expectFailure(r,
                "The website keeps sending the download on from one address to another and never delivers it. "
                "Open the link in a browser to check it, or try again later.");
}

// curl speaks only http and https. A redirect to ftp:// (where curl would log
// in to any service of this computer) is refused before anything connects;
// redirects to https:// and within the site are still followed.
TEST_F(MisbehavingSite, RedirectsAreFollowedOnlyToWebAddresses) {
  testsupport::LoopbackListener ftp;
  testsupport::LoopbackListener secure;
  std::string location;
  testsupport::LoopbackSite site([&](const std::string& target) {
    if (target == "/moved")
      return testsupport::RawReply{
          "HTTP/1.1 301 Moved\r\nLocation: /cal.ics\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
          std::chrono::milliseconds(0)};
    if (target == "/cal.ics") return testsupport::completeReply("BEGIN:VCALENDAR");
    return testsupport::RawReply{"HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                                 std::chrono::milliseconds(0)};
  });
  const std::string hostAndPort = "127.0.0.1:" + std::to_string(ftp.port());
  for (const std::string& elsewhere : std::vector<std::string>{
           "ftp://" + hostAndPort + "/", "FTP://" + hostAndPort + "/x", "ftps://" + hostAndPort + "/",
           "gopher://" + hostAndPort + "/", "dict://" + hostAndPort + "/d:x", "telnet://" + hostAndPort,
           "smb://" + hostAndPort + "/share/x", "file:///etc/hostname"}) {
    SCOPED_TRACE(elsewhere);
    location = elsewhere;
    expectFailure(fetchUrl(site.base() + "/elsewhere"),
                  "The website sent the download on to an address that does not start with http:// or https://, "
                  "and such addresses are not followed. Check the link, or ask whoever publishes it for an https:// "
                  "link.");
  }
  EXPECT_EQ(ftp.connections(), 0);

  FetchResult within = fetchUrl(site.base() + "/moved");
  EXPECT_TRUE(within.ok) << within.error;
  EXPECT_EQ(within.body, "BEGIN:VCALENDAR");

  // No TLS on the listener, so the fetch fails, but curl did go there and
  // began a TLS handshake (its first byte is 0x16).
  location = "https://127.0.0.1:" + std::to_string(secure.port()) + "/cal.ics";
  EXPECT_FALSE(fetchUrl(site.base() + "/to-https").ok);
  EXPECT_EQ(secure.connections(), 1);
  EXPECT_EQ(secure.firstBytes().substr(0, 1), "\x16");
}

// curl must read exactly the link it is given: brackets and braces in a link
// are not ranges or lists of addresses to fetch.
TEST_F(MisbehavingSite, LinksAreNotExpandedAsPatterns) {
  for (const std::string path : {"/cal[1-3].ics", "/b{7}.ics", "/feed?filter[0]=school&x={a,b}"}) {
    SCOPED_TRACE(path);
    testsupport::LoopbackSite site([](const std::string&) { return testsupport::completeReply("BEGIN:VCALENDAR"); });
    FetchResult r = fetchUrl(site.base() + path);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "BEGIN:VCALENDAR");
    EXPECT_EQ(site.targets(), std::vector<std::string>{path});
  }
}

}  // namespace
