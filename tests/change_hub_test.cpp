#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <thread>

#include "server/change_hub.h"

namespace {

std::string eventText(int n) { return "event " + std::to_string(n); }

struct HubTest : ::testing::Test {
  ChangeHub hub;
  void SetUp() override { hub.startWaker(); }
  void publish(int from, int to) {
    for (int i = from; i <= to; ++i) hub.publishChange(eventText(i));
  }
};

TEST_F(HubTest, NumbersEventsFromOneAndKeepsTheNewestThousand) {
  publish(1, 1);
  ASSERT_EQ(hub.seq, 1u);
  ASSERT_EQ(hub.log.size(), 1u);
  EXPECT_EQ(hub.log.front().seq, 1u);
  publish(2, 1001);
  EXPECT_EQ(hub.seq, 1001u);
  ASSERT_EQ(hub.log.size(), 1000u);
  EXPECT_EQ(hub.log.front().seq, 2u);
  EXPECT_EQ(hub.log.back().seq, 1001u);
  EXPECT_EQ(hub.log.back().text, eventText(1001));
}

TEST_F(HubTest, LargeEventsAreDroppedByTotalSizeAndReportedAsMissed) {
  const std::string big(ChangeHub::kLogBytes / 4 + 1, 'x');
  for (int i = 0; i < 8; ++i) hub.publishChange(big);
  EXPECT_EQ(hub.log.size(), 3u);
  EXPECT_EQ(hub.log.front().seq, 6u);
  std::uint64_t cursor = 4;
  std::vector<std::string> texts;
  bool missed = false;
  ASSERT_TRUE(hub.waitForChanges(cursor, texts, missed));
  EXPECT_TRUE(missed);
  // A single event above the budget is still kept: it is the newest.
  hub.publishChange(std::string(ChangeHub::kLogBytes + 1, 'y'));
  ASSERT_EQ(hub.log.size(), 1u);
  EXPECT_EQ(hub.log.back().seq, 9u);
}

TEST_F(HubTest, WaitHandsOverEveryNewerEventInOrder) {
  publish(1, 5);
  std::uint64_t cursor = 0;
  std::vector<std::string> texts;
  bool missed = true;
  ASSERT_TRUE(hub.waitForChanges(cursor, texts, missed));
  EXPECT_FALSE(missed);
  EXPECT_EQ(texts, (std::vector<std::string>{eventText(1), eventText(2), eventText(3), eventText(4), eventText(5)}));
  EXPECT_EQ(cursor, 5u);
}

TEST_F(HubTest, ReportsFallingBehindOnlyWhenTheNextEventIsGone) {
  publish(1, 1001);
  struct Case {
    std::uint64_t cursor;
    bool missed;
    std::size_t texts;
  } cases[] = {{0, true, 1000}, {1, false, 1000}, {500, false, 501}};
  for (const auto& c : cases) {
    std::uint64_t cursor = c.cursor;
    std::vector<std::string> texts;
    bool missed = false;
    ASSERT_TRUE(hub.waitForChanges(cursor, texts, missed));
    EXPECT_EQ(missed, c.missed) << c.cursor;
    EXPECT_EQ(texts.size(), c.texts) << c.cursor;
    EXPECT_EQ(texts.back(), eventText(1001));
    EXPECT_EQ(cursor, 1001u);
  }
}

TEST_F(HubTest, TimesOutWithoutNewsAndLeavesEverythingAlone) {
  hub.waitLimit = std::chrono::milliseconds(100);
  publish(1, 2);
  std::uint64_t cursor = 2;
  std::vector<std::string> texts;
  bool missed = false;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(hub.waitForChanges(cursor, texts, missed));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(cursor, 2u);
  EXPECT_TRUE(texts.empty());
  EXPECT_FALSE(missed);
}

TEST_F(HubTest, APublishWakesAWaiterWellBeforeTheTimeOut) {
  std::uint64_t cursor = 0;
  std::vector<std::string> texts;
  bool missed = false;
  std::thread publisher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    publish(1, 1);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(hub.waitForChanges(cursor, texts, missed));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  publisher.join();
  EXPECT_EQ(texts, std::vector<std::string>{eventText(1)});
}

}  // namespace

namespace {

TEST_F(HubTest, OneWaitHandsOverAtMostABatchAndTheNextGoesOnFromThere) {
  // Four of these fill a batch exactly; the one of twice the size goes alone.
  const std::string quarter(ChangeHub::kBatchBytes / 4 - 1, 'x');
  std::vector<std::string> published;
  for (int i = 0; i < 6; ++i) published.push_back(quarter + std::to_string(i));
  published.push_back(std::string(2 * ChangeHub::kBatchBytes, 'y'));
  published.push_back(eventText(8));
  for (const auto& text : published) hub.publishChange(text);
  hub.waitLimit = std::chrono::milliseconds(50);
  std::uint64_t cursor = 0;
  std::vector<std::size_t> batchSizes;
  std::vector<std::string> all;
  for (;;) {
    std::vector<std::string> texts;
    bool missed = false;
    if (!hub.waitForChanges(cursor, texts, missed)) break;
    EXPECT_FALSE(missed);
    batchSizes.push_back(texts.size());
    all.insert(all.end(), texts.begin(), texts.end());
    EXPECT_EQ(cursor, all.size());
  }
  EXPECT_EQ(batchSizes, (std::vector<std::size_t>{4, 2, 1, 1}));
  EXPECT_EQ(all, published);
}

TEST_F(HubTest, AskingStreamsToCheckWakesOnlyWaitersThatListenForIt) {
  hub.waitLimit = std::chrono::milliseconds(30000);
  std::uint64_t cursor = 0;
  std::uint64_t checkSeen = 0;
  std::vector<std::string> texts;
  bool missed = false;
  std::thread asker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    hub.askStreamsToCheck();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(hub.waitForChanges(cursor, texts, missed, &checkSeen));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  asker.join();
  EXPECT_EQ(checkSeen, 1u);
  EXPECT_EQ(cursor, 0u);
  EXPECT_TRUE(texts.empty());
  // A waiter without a check round to compare sleeps through it.
  hub.waitLimit = std::chrono::milliseconds(200);
  start = std::chrono::steady_clock::now();
  hub.askStreamsToCheck();
  EXPECT_FALSE(hub.waitForChanges(cursor, texts, missed));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  // News wins over a check asked for at the same time.
  hub.askStreamsToCheck();
  hub.publishChange(eventText(1));
  EXPECT_TRUE(hub.waitForChanges(cursor, texts, missed, &checkSeen));
  EXPECT_EQ(texts, std::vector<std::string>{eventText(1)});
}

}  // namespace

namespace {

std::size_t threadsOfThisProcess() {
  auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Publishing happens under stateMutex: it must never start a thread there.
// The waker starts only when asked, as main asks beside the other threads.
TEST(HubThreads, OnlyStartWakerStartsTheWaker) {
  ChangeHub hub;
  const std::size_t before = threadsOfThisProcess();
  hub.publishChange("one");
  hub.askStreamsToCheck();
  EXPECT_EQ(threadsOfThisProcess(), before);
  hub.startWaker();
  EXPECT_EQ(threadsOfThisProcess(), before + 1);
}

}  // namespace
