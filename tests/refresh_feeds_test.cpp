// The linked-calendar refresh in process: section "feeds" in, the fake curl
// answering the calendar sites, section "feedEvents" and the console out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "calendar/ics_reader.h"
#include "fake_curl/fake_curl.h"
#include "refresh/feeds.h"
#include "server/state.h"
#include "support/loopback_site.h"

using testsupport::messageOf;
using nlohmann::json;

namespace {

// A calendar with one all-day event today, inside the display window.
std::string calendarForToday(const std::string& title) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y%m%d", &local);
  return std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:one@test\r\nDTSTART;VALUE=DATE:") +
         date + "\r\nSUMMARY:" + title + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
}

const std::string kLinkMessage = "The link should start with https:// or webcal://";
const std::string kCutOffMessage = "The download was cut off before it was complete. Try again later.";
const std::string kEmptyMessage =
    "The calendar site sent an empty answer. Try again later; if it stays empty, check that the link is the "
    "calendar's address.";
const std::string kCompressedMessage =
    "The calendar site sent a compressed answer that arrived broken. Try again later.";
const std::string kRedirectLoopMessage =
    "The website keeps sending the download on from one address to another and never delivers it. Open the link "
    "in a browser to check it, or try again later.";
const std::string kItemMessage = "This linked calendar's settings could not be read. Remove it and add it again.";
const std::string kWebPageMessage =
    "That link is a web page, not a calendar file. Copy the \"iCal\" / \"ICS\" address instead.";

std::string siteError(int status) {
  return "The calendar site answered with error " + std::to_string(status) +
         ". Check that the link is the secret/public calendar address.";
}

class RefreshFeeds : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("TZ", "UTC");
    tzset();
    resetStateSections();
    curl_.installInProcess();
  }
  void TearDown() override { tzset(); }

  void setFeed(const std::string& id, const json& item) { applyChange("feeds", id, &item); }
  std::string run() {
    testing::internal::CaptureStdout();
    refreshFeeds();
    return testing::internal::GetCapturedStdout();
  }
  json events(const std::string& id) { return getItem("feedEvents", id); }
  json section(const char* name) {
    std::lock_guard<std::mutex> lock(stateMutex);
    return stateDoc[name];
  }
  // The success record's parts other than its time.
  void expectSuccess(const std::string& id, const std::string& who, const std::string& body) {
    json item = events(id);
    ASSERT_TRUE(item["syncedAt"].is_number_integer()) << item.dump();
    item.erase("syncedAt");
    EXPECT_EQ(item, (json{{"who", who}, {"events", parseIcsOccurrences(body)}, {"error", ""}}));
  }

  testsupport::ScopedEnv env_;
  fakecurl::FakeCurl curl_;
};

TEST(RefreshFeedLinks, RulesAndRewrites) {
  const std::pair<const char*, const char*> accepted[] = {
      {"https://cal.example/a.ics", "https://cal.example/a.ics"},
      {"HTTP://Cal.Example/A.ics", "HTTP://Cal.Example/A.ics"},  // no switch to https
      {"WebCal://Cal.Example/A B.ics", "https://Cal.Example/A B.ics"},
      {"webcals://cal.example/x", "https://cal.example/x"},
      {"WEBCALS://X", "https://X"},
      {"webcal://", "https://"},
  };
  for (const auto& [link, fetched] : accepted) EXPECT_EQ(applyLinkRules(link), fetched) << link;
  for (const char* link : {"", "ftp://cal.example/a.ics", "webcal:/cal.example", "cal.example/a.ics",
                           "https:/x", " https://x", "webcalss://x"}) {
    EXPECT_EQ(messageOf([&] { applyLinkRules(link); }), kLinkMessage) << link;
  }
}

// A calendar is whole when its last event is closed and END:VCALENDAR
// follows it; what a download cut off at any point leaves is not.
TEST(RefreshFeedCalendarText, WholeOrCutOff) {
  const std::string whole =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nSUMMARY:A\r\nEND:VEVENT\r\n"
      "BEGIN:VEVENT\r\nSUMMARY:B\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  const std::pair<std::string, bool> cases[] = {
      {whole, true},
      {"BEGIN:VCALENDAR\nEND:VCALENDAR", true},                                       // no events, no final line end
      {"begin:vcalendar\nbegin:vevent\nend:vevent\nend:vcalendar\n", true},           // names in any case
      {"BEGIN:VCALENDAR\nBEGIN:VEVENT\nEND:VEVENT\nEND:VCALENDAR \t\r\n\r\n", true},  // blanks after the end
      {"junk\r\n" + whole + "<!-- a proxy's note -->\r\n", true},
      {whole.substr(0, whole.size() - 2), true},
      {"BEGIN:VCALENDAR\r\n", false},
      {"BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nSUMMARY:A\r\nEND:VEVENT\r\n", false},
      {"BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nSUMMARY:A\r\nEND:VCALENDAR\r\n", false},  // the event never closed
      {"BEGIN:VCALENDAR\r\nSUMMARY:END:VCALENDAR\r\n", false},                       // only inside a value
      {"BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\nBEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\n", false},
  };
  for (const auto& [text, isWhole] : cases) EXPECT_EQ(isWholeCalendar(text), isWhole) << text;
  // Cut after any byte before its last line, the calendar is never taken for whole.
  const std::size_t lastLine = whole.rfind("END:VCALENDAR");
  for (std::size_t cut = 0; cut < lastLine + 12; ++cut) {
    EXPECT_FALSE(isWholeCalendar(whole.substr(0, cut))) << cut;
  }
}

TEST_F(RefreshFeeds, VisitsFeedsInByteOrderAndStoresEach) {
  const std::string calendar = calendarForToday("Dentist");
  curl_.answer("https://Cal.Example/Upper.ics", calendar, "200");
  curl_.answer("https://a.example/cal.ics", "Some text first\n" + calendar, "200");
  curl_.answer("http://b.example/cal.ics", fakecurl::Answer{std::string("not here"), std::string("404")});
  setFeed("b", json{{"url", "http://b.example/cal.ics"}, {"kind", "School"}, {"who", "kid"}});
  setFeed("a", json{{"url", "https://a.example/cal.ics"}});
  setFeed("B", json{{"url", "  WEBCAL://Cal.Example/Upper.ics\t"}, {"kind", "Work"}, {"who", "mum"}});

  const std::size_t rows = parseIcsOccurrences(calendar).size();
  EXPECT_EQ(rows, 1u);  // one all-day row today: still " events"
  EXPECT_EQ(run(), "Calendar \"Work\": " + std::to_string(rows) + " events\n" +
                       "Calendar \"Calendar\": " + std::to_string(rows) + " events\n" +
                       "Calendar \"School\" problem: " + siteError(404) + "\n");
  EXPECT_EQ(curl_.urls(), (std::vector<std::string>{"https://Cal.Example/Upper.ics", "https://a.example/cal.ics",
                                                     "http://b.example/cal.ics"}));
  expectSuccess("B", "mum", calendar);
  expectSuccess("a", "", "Some text first\n" + calendar);
  json failed = events("b");
  ASSERT_TRUE(failed["triedAt"].is_number_integer());
  failed.erase("triedAt");
  EXPECT_EQ(failed, (json{{"events", json::array()}, {"who", "kid"}, {"error", siteError(404)}}));
  EXPECT_TRUE(curl_.leftovers().empty());
}

TEST_F(RefreshFeeds, FailureKeepsTheLastGoodRowsUntilTheNextSuccess) {
  const std::string url = "https://cal.example/family.ics";
  const std::string calendar = calendarForToday("Picnic");
  curl_.answer(url, calendar, "200");
  setFeed("fam", json{{"url", url}, {"who", "all"}});
  run();
  const json good = events("fam");

  struct Case {
    const char* name;
    fakecurl::Answer answer;
    std::string message;
  } cases[] = {
      {"503", {std::string("busy"), std::string("503")}, siteError(503)},
      {"no answer", {}, "No answer. Check the internet connection."},
      {"unreachable",
       {std::nullopt, std::string("000")},
       "Could not reach the website. Check the internet connection."},
      {"web page", {std::string("<html><body>Log in</body></html>"), std::string("200")}, kWebPageMessage},
      {"lower-case marker", {std::string("begin:vcalendar\r\n"), std::string("200")}, kWebPageMessage},
      {"curl failed after a status",
       {std::string(), std::string("301"), std::string("curl: (47) Maximum (50) redirects followed\n"), std::nullopt,
        std::string("47")},
       kRedirectLoopMessage},
      {"empty", {std::string(), std::string("200")}, kEmptyMessage},
      {"only line ends", {std::string("\r\n\r\n"), std::string("200")}, kEmptyMessage},
      {"gzip", {std::string("\x1f\x8b\x08\x00BEGIN:VCALENDAR"), std::string("200")}, kCompressedMessage},
      {"zstd", {std::string("\x28\xb5\x2f\xfd\x00"), std::string("200")}, kCompressedMessage},
      {"calendar not closed",
       {calendar.substr(0, calendar.rfind("END:VCALENDAR")), std::string("200")},
       kCutOffMessage},
      {"last event not closed", {calendar.substr(0, calendar.rfind("END:VEVENT")), std::string("200")}, kCutOffMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    curl_.answer(url, c.answer);
    setFeed("fam", json{{"url", url}, {"who", "dad"}});
    EXPECT_EQ(run(), "Calendar \"Calendar\" problem: " + c.message + "\n");
    json item = events("fam");
    ASSERT_TRUE(item["triedAt"].is_number_integer());
    item.erase("triedAt");
    json expected = good;
    expected["who"] = "dad";
    expected["error"] = c.message;
    EXPECT_EQ(item, expected);
  }

  curl_.answer(url, calendar, "200");
  run();
  EXPECT_FALSE(events("fam").contains("triedAt"));
  expectSuccess("fam", "dad", calendar);
}

// Items a browser or a hand-edited data file may hold: each fails only its
// own feed, with a message the household can act on (never the JSON
// library's), and the run goes on to the next feed and the sweep.
TEST_F(RefreshFeeds, MalformedItemsFailOnlyTheirFeed) {
  const std::string calendar = calendarForToday("Swim");
  curl_.answer("https://ok.example/c.ics", calendar, "200");
  const json okItem = {{"url", "https://ok.example/c.ics"}, {"kind", "Fine"}};
  struct Case {
    const char* name;
    json item;
    std::string label;
    std::string who;
    std::string message;
  } cases[] = {
      {"no url", json{{"who", "me"}}, "Calendar", "me", kLinkMessage},
      {"empty url", json{{"url", ""}, {"kind", "K"}}, "K", "", kLinkMessage},
      {"blank url", json{{"url", " \t\r\n"}}, "Calendar", "", kLinkMessage},
      {"number url", json{{"url", 5}, {"kind", "K"}}, "K", "", kLinkMessage},
      {"number kind", json{{"url", "https://ok.example/c.ics"}, {"kind", 7}}, "Calendar", "", kItemMessage},
      {"null who", json{{"url", "https://ok.example/c.ics"}, {"who", nullptr}}, "Calendar", "", kItemMessage},
      {"a text item", json("https://ok.example/c.ics"), "Calendar", "", kItemMessage},
      {"an array item", json::array(), "Calendar", "", kItemMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetStateSections();
    const json stale = {{"events", json::array()}};
    applyChange("feedEvents", "gone", &stale);
    setFeed("a-bad", c.item);
    setFeed("b-ok", okItem);
    curl_.clearLog();
    EXPECT_EQ(run(), "Calendar \"" + c.label + "\" problem: " + c.message + "\n" + "Calendar \"Fine\": " +
                         std::to_string(parseIcsOccurrences(calendar).size()) + " events\n");
    json item = events("a-bad");
    item.erase("triedAt");
    EXPECT_EQ(item, (json{{"events", json::array()}, {"who", c.who}, {"error", c.message}}));
    expectSuccess("b-ok", "", calendar);
    EXPECT_TRUE(events("gone").is_null());  // the sweep still ran
    EXPECT_EQ(curl_.urls(), std::vector<std::string>{"https://ok.example/c.ics"});
  }
}

// A label or message holding line breaks or terminal escapes must not break
// the console line or forge others (such as a false banner line).
TEST_F(RefreshFeeds, ConsoleLinesStayOneLine) {
  const std::string kind = "School\r\n  On your Wi-Fi:      http://192.0.2.66:8080\x1b[2J\t\xC2\x9B" "1m\x7F";
  const std::string who = "kid\nforged";
  const json feed = {{"url", "https://cal.example/s.ics"}, {"kind", kind}, {"who", who}};
  curl_.answer("https://cal.example/s.ics", calendarForToday("Dentist"), "200");
  curl_.answer("https://cal.example/bad.ics",
               fakecurl::Answer{std::nullopt, std::nullopt, std::string("curl: (6) bad\r\x1b]0;title\x07\n"),
                                std::nullopt, std::string("6")});
  setFeed("s", feed);
  setFeed("t", json{{"url", "https://cal.example/bad.ics"}, {"kind", kind}});

  const std::string shown = "School    On your Wi-Fi:      http://192.0.2.66:8080 [2J  1m ";
  const std::string unknownHost = "Could not find the website. Check the link and the internet connection.";
  EXPECT_EQ(run(),
            "Calendar \"" + shown + "\": 1 events\n" + "Calendar \"" + shown + "\" problem: " + unknownHost + "\n");
  EXPECT_EQ(section("feeds")["s"], feed);  // what is stored keeps its text
  EXPECT_EQ(events("s")["who"], who);
  EXPECT_EQ(events("t")["error"], unknownHost);  // curl's own line, escapes and all, never reaches the item
}

TEST_F(RefreshFeeds, SweepRemovesItemsOfDeletedFeeds) {
  const json rows = {{"events", json::array()}, {"error", ""}};
  applyChange("feedEvents", "old1", &rows);
  applyChange("feedEvents", "old2", &rows);
  EXPECT_EQ(run(), "");
  EXPECT_EQ(section("feedEvents"), json::object());
  EXPECT_EQ(curl_.calls(), 0);

  applyChange("feedEvents", "old1", &rows);
  setFeed("kept", json{{"url", "nope"}});
  run();
  EXPECT_EQ(section("feedEvents").size(), 1u);
  EXPECT_TRUE(section("feedEvents").contains("kept"));
}

TEST_F(RefreshFeeds, FeedDeletedDuringTheRunIsWrittenThenSwept) {
  curl_.answer("https://slow.example/a.ics", calendarForToday("A"), "200");
  curl_.hold("https://slow.example/a.ics");
  curl_.answer("https://b.example/b.ics", calendarForToday("B"), "200");
  setFeed("a", json{{"url", "https://slow.example/a.ics"}});
  setFeed("b", json{{"url", "https://b.example/b.ics"}, {"kind", "Bee"}});

  std::thread browser([this] {
    // While feed "a" is being fetched, a browser deletes feed "b" as the
    // DELETE route does: the feeds item and its feed events item.
    testsupport::waitUntil([this] { return curl_.calls() >= 1; }, std::chrono::seconds(10));
    applyChange("feeds", "b", nullptr);
    applyChange("feedEvents", "b", nullptr);
    curl_.release("https://slow.example/a.ics");
  });
  std::string console = run();
  browser.join();
  EXPECT_NE(console.find("Calendar \"Bee\": "), std::string::npos) << console;  // visited from the copy
  EXPECT_TRUE(events("b").is_null());                                           // and swept
  EXPECT_FALSE(events("a").is_null());
}

// The real curl against a calendar site on the loopback interface that
// misbehaves as real ones do: each failure keeps the rows the feed had, and
// says in plain words what happened.
TEST(RefreshFeedsRealCurl, MisbehavingSitesKeepTheLastGoodRows) {
  if (!std::filesystem::exists("/usr/bin/curl")) GTEST_SKIP() << "no /usr/bin/curl";
  testsupport::ScopedEnv env;
  env.set("TZ", "UTC");
  tzset();
  testsupport::TempFolder temp;
  testsupport::useRealCurl(env, temp.path());
  resetStateSections();

  // 40 all-day events from today on, all inside the display window.
  std::string calendar = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
  std::time_t now = std::time(nullptr);
  for (int day = 0; day < 40; ++day) {
    std::time_t t = now + day * 86400;
    std::tm utc{};
    gmtime_r(&t, &utc);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", &utc);
    calendar += "BEGIN:VEVENT\r\nUID:" + std::to_string(day) + "@test\r\nDTSTART;VALUE=DATE:" + date +
                "\r\nSUMMARY:Event " + std::to_string(day) + "\r\nEND:VEVENT\r\n";
  }
  calendar += "END:VCALENDAR\r\n";
  const std::string half = calendar.substr(0, calendar.size() / 2);
  testsupport::LoopbackListener ftp;
  const std::string redirect = "HTTP/1.1 302 Found\r\nContent-Length: 0\r\nConnection: close\r\nLocation: ";
  struct Case {
    const char* name;
    std::string reply;
    std::string message;
  } cases[] = {
      {"length announced, half sent",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(calendar.size()) + "\r\n\r\n" + half, kCutOffMessage},
      // curl cannot tell this from a whole answer: only the calendar's end can.
      {"no length, half sent", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + half, kCutOffMessage},
      {"no length, cut inside the last line",
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + calendar.substr(0, calendar.size() - 5), kCutOffMessage},
      {"redirect loop", redirect + "/school.ics\r\n\r\n", kRedirectLoopMessage},
      {"redirect to ftp", redirect + "ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/\r\n\r\n",
       "The website sent the download on to an address that does not start with http:// or https://, and such "
       "addresses are not followed. Check the link, or ask whoever publishes it for an https:// link."},
      {"empty", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", kEmptyMessage},
      {"gzip, cut off, unasked",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nConnection: close\r\n\r\n\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03"
       "\x73\x72\xf5\xf4",
       kCompressedMessage},
  };
  std::atomic<int> served{0};
  std::string reply;
  std::mutex replyMutex;
  testsupport::LoopbackSite site([&](const std::string&) {
    if (served++ == 0) return testsupport::completeReply(calendar);
    std::lock_guard<std::mutex> lock(replyMutex);
    return testsupport::RawReply{reply, std::chrono::milliseconds(0)};
  });
  const json feed = {{"url", site.base() + "/school.ics"}, {"kind", "School"}, {"who", "kids"}};
  applyChange("feeds", "school", &feed);

  testing::internal::CaptureStdout();
  refreshFeeds();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Calendar \"School\": 40 events\n");
  const json good = getItem("feedEvents", "school");
  ASSERT_EQ(good["events"].size(), 40u);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(replyMutex);
      reply = c.reply;
    }
    testing::internal::CaptureStdout();
    refreshFeeds();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Calendar \"School\" problem: " + c.message + "\n");
    json item = getItem("feedEvents", "school");
    EXPECT_TRUE(item["triedAt"].is_number_integer());
    item.erase("triedAt");
    json expected = good;
    expected["error"] = c.message;
    EXPECT_EQ(item, expected);  // the 40 rows and their "syncedAt" stay
  }
  EXPECT_EQ(ftp.connections(), 0);  // curl never went there
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  tzset();
}

}  // namespace
