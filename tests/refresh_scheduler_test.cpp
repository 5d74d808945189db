// The refresh scheduler's timing, through its pass with a short period and
// recording runs in place of the real refreshes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "refresh/refresh_requests.h"
#include "refresh/scheduler.h"
#include "support/server_process.h"

using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

// Runs scheduler passes on a thread of its own and records each run.
class SchedulerHarness {
 public:
  explicit SchedulerHarness(SchedulerClock::duration period) : period_(period) {
    {
      std::lock_guard<std::mutex> lock(refreshMutex);
      weatherFresh = false;  // as at process start
      feedsFresh = false;
    }
    runs_.weather = [this] { record("weather"); };
    runs_.feeds = [this] { record("feeds"); };
  }
  ~SchedulerHarness() { stop(); }

  void start() {
    deadline_ = SchedulerClock::now();
    thread_ = std::thread([this] {
      while (!stopping_) {
        schedulerTurn(deadline_, period_, runs_);
      }
    });
  }
  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    release();
    requestWeatherRefresh();  // wakes the pass so the thread can see the stop
    thread_.join();
  }

  // While held, the next run blocks until release().
  void hold() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(gateMutex_);
      held_ = false;
    }
    gate_.notify_all();
  }
  void failFeedsOnce() { failFeeds_ = true; }

  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
  }
  std::vector<SchedulerClock::time_point> times() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return times_;
  }
  std::size_t count() { return log().size(); }
  bool running() const { return inRun_; }

 private:
  void record(const char* what) {
    {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(what);
      times_.push_back(SchedulerClock::now());
    }
    inRun_ = true;
    {
      std::unique_lock<std::mutex> lock(gateMutex_);
      gate_.wait_for(lock, 10s, [this] { return !held_; });
    }
    inRun_ = false;
    if (std::string(what) == "feeds" && failFeeds_.exchange(false)) throw std::runtime_error("disk on fire");
  }

  SchedulerClock::duration period_;
  SchedulerClock::time_point deadline_;
  SchedulerRuns runs_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> inRun_{false};
  std::atomic<bool> failFeeds_{false};
  std::mutex logMutex_;
  std::vector<std::string> log_;
  std::vector<SchedulerClock::time_point> times_;
  std::mutex gateMutex_;
  std::condition_variable gate_;
  bool held_ = false;
};

using Log = std::vector<std::string>;

TEST(RefreshScheduler, FirstPassRunsWeatherThenFeedsAndRequestsRunOnlyTheirRefresh) {
  SchedulerHarness scheduler(1h);
  scheduler.start();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 2; }, 5s));
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds"}));

  requestWeatherRefresh();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 3; }, 5s));
  requestFeedsRefresh();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 4; }, 5s));
  // A wake-up with no refresh due starts nothing.
  refreshCond.notify_one();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "weather", "feeds"}));
}

TEST(RefreshScheduler, RequestsDuringARunGiveExactlyOneMoreRun) {
  SchedulerHarness scheduler(1h);
  scheduler.hold();
  scheduler.start();
  ASSERT_TRUE(waitUntil([&] { return scheduler.running(); }, 5s));  // inside the first weather run
  for (int i = 0; i < 5; ++i) requestWeatherRefresh();
  scheduler.release();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 3; }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "weather"}));

  scheduler.hold();
  requestFeedsRefresh();
  ASSERT_TRUE(waitUntil([&] { return scheduler.running(); }, 5s));
  requestWeatherRefresh();
  requestFeedsRefresh();
  scheduler.release();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 6; }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "weather", "feeds", "weather", "feeds"}));
}

TEST(RefreshScheduler, PeriodCountsFromStartToStartAndRequestsDoNotMoveIt) {
  // Long enough that a deadline moved by the request (to about 1.7 s) stands
  // well apart from the right one (1 s), even on a loaded machine.
  const auto period = 1000ms;
  SchedulerHarness scheduler(period);
  scheduler.start();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 2; }, 5s));
  std::this_thread::sleep_for(700ms);
  requestWeatherRefresh();  // a requested run between the periodic ones
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 3; }, 5s));
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 5; }, 5s));
  auto t = scheduler.times();
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "weather", "weather", "feeds"}));
  auto gap = t[3] - t[0];
  EXPECT_GE(gap, period - 20ms);
  EXPECT_LT(gap, period + 500ms);  // the requested run did not move the deadline
}

TEST(RefreshScheduler, RunLongerThanThePeriodIsFollowedAtOnce) {
  // A deadline counted from the end of the run would wait a whole second more.
  const auto period = 1000ms;
  SchedulerHarness scheduler(period);
  scheduler.hold();
  scheduler.start();
  ASSERT_TRUE(waitUntil([&] { return scheduler.running(); }, 5s));
  std::this_thread::sleep_for(1500ms);  // the weather run outlasts the period
  scheduler.release();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 4; }, 5s));
  auto t = scheduler.times();
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "weather", "feeds"}));
  EXPECT_LT(t[2] - t[1], 500ms);
}

TEST(RefreshScheduler, FailureLeavingARunKeepsTheScheduleAndFreesTheWorkLock) {
  SchedulerHarness scheduler(1h);
  scheduler.failFeedsOnce();
  testing::internal::CaptureStdout();
  scheduler.start();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 2 && !scheduler.running(); }, 5s));
  {
    std::unique_lock<std::mutex> work(refreshWorkMutex, std::defer_lock);
    EXPECT_TRUE(waitUntil([&] { return work.try_lock(); }, 2s));
  }
  requestFeedsRefresh();
  ASSERT_TRUE(waitUntil([&] { return scheduler.count() == 3; }, 5s));
  EXPECT_EQ(scheduler.log(), (Log{"weather", "feeds", "feeds"}));
  scheduler.stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Refresh problem: disk on fire\n");
}

TEST(RefreshScheduler, AnotherHolderOfTheWorkLockDelaysTheRun) {
  SchedulerHarness scheduler(1h);
  std::unique_lock<std::mutex> work(refreshWorkMutex);  // a refresh request's run
  scheduler.start();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(scheduler.count(), 0u);
  work.unlock();
  EXPECT_TRUE(waitUntil([&] { return scheduler.count() == 2; }, 5s));
}

}  // namespace
